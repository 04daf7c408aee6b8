// zevctl: the command-line client of the ZEV service.
//
//   zevctl echo TEXT [--port N] [--host H] [--pipe]
//   zevctl call SERVERID METHOD [--in FILE] [--out FILE] [--port N] [--host H] [--pipe]
//       request bytes from FILE or standard input; the answer's bytes go to
//       FILE, or are printed in hexadecimal
//   zevctl seal            standard input sealed: the etag line, then the body line
//   zevctl open ETAG       the sealed body on standard input opened to standard output
//   zevctl reg get ROOT KEY [NAME] [--32]
//   zevctl reg set ROOT KEY NAME VALUE [--32]
//   zevctl reg delete ROOT KEY [NAME] [--32]     (without NAME: the key and all below it)
//   zevctl reg list ROOT [KEY] [--32]
//   zevctl config list     every setting of the service: its value (or
//                          "(default)" and the default), meaning, allowed
//                          values, key, and when a change takes effect
//   zevctl config get NAME the value in effect, as the service reads the store
//   zevctl config set NAME VALUE
//                          checks VALUE (stricter than the service, which
//                          clamps numbers and falls back on bad text), writes
//                          it as the default value of the setting's key and
//                          says when it takes effect; an unknown NAME or a
//                          refused VALUE writes nothing and exits with 2.
//                          NAME matches in any case, as registry keys do.
//   zevctl status          one fact a line: whether a service instance holds
//                          its instance lock, the HTTP address the registry
//                          sets (the service reads it when it starts), the
//                          published port and its port mutex, whether "/"
//                          answers on 127.0.0.1:PORT, an echo over the
//                          service's local socket, the last strategy pass,
//                          the hosts, and systemd's view of zevsvc.service.
//                          Every probe gives up after a few seconds. Exit
//                          status 0 when the lock is held, "/" answers,
//                          the echo comes back and the strategy has made a
//                          pass within two intervals, else 1: a health check.
//                          --test-probe-ms N (for tests only) gives each
//                          probe N ms.
//   zevctl events [--since TIME] [--component ID]
//                          the events the service reported (the last 10,000,
//                          kept in the data folder), oldest first, one a
//                          line: time, code, app/component version, message.
//                          TIME is a UTC time ("2027-01-15 08:00") or an age
//                          ("30m", "2h", "7d"). Any user may run it.
//   zevctl metrics [--port N]
//                          the service's metrics in the Prometheus text
//                          format, from "GET /metrics" on 127.0.0.1 (the
//                          endpoint answers loopback peers only)
//   zevctl component port|pipe|version|desc|entry ID [--bits N] [--port N] [--host H] [--pipe]
//       what the control server knows of component ID (getComponentData;
//       bits 32 or 64, default 64)
//   zevctl register port ID [PORT] [--unregister] [--app APP] [--version V] [--port N] [--host H] [--pipe]
//   zevctl register pipe ID [NAME] [--unregister] [--app APP] [--version V] [--port N] [--host H] [--pipe]
//       registers (or with --unregister withdraws) the port or the pipe name
//       that component ID serves on (registerPort, registerPipeName); a
//       withdrawal without PORT or NAME withdraws both
//   zevctl gc [--dry-run]
//       the versions of the download folder that are neither recorded,
//       loaded, held nor among the newest 2 of their component: with
//       --dry-run listed with the bytes they hold, else removed by the
//       running service (over its local socket; root or its user only)
//   zevctl update [--wait SECONDS]
//       a pass of the server strategy at once and a rescan of the product
//       packages; prints the pass's result, what it listed, installed and
//       failed, and the time it took (exit status 0 when the server answered
//       and nothing failed). Waits up to SECONDS (600) for the pass.
//   zevctl hold APP COMPONENT [VERSION]
//       keeps the component at VERSION (default: the one loaded now): newer
//       versions are neither installed nor started while the hold stands
//   zevctl unhold APP COMPONENT
//   zevctl holds           the holds, one "APP COMPONENT VERSION" a line
//       These go over the service's local socket; update, hold and unhold
//       are for root or the service's user only.
//
// The component and register commands print one line per answer: the data
// (or "ok") when the answer says success, otherwise "failed: " and the
// answer's error text, with exit status 1; an exception response prints
// "exception CODE: MESSAGE". Line feeds, backslashes and other control
// characters of answers are escaped (\n, \\, \xNN), so that an answer stays on
// one line.
//
// ROOT is HKCR or HKLM (or their long names). The store is the one of the
// instance that ZEV_COMMON_APPDATA names (see GetCommonDataDir). Use "" for
// the default value's empty NAME. Calls find the service's port in the
// registry ("zevservicePort") unless --port is given; with --pipe they go
// over the service's local socket instead of HTTP. Exit status: 0
// success, 1 failure (including an exception response), 2 usage.
#include "tools/zevctl/zevctl.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace zev::ctl {

int Usage() {
  fprintf(stderr,
          "usage:\n"
          "  zevctl echo TEXT [--port N] [--host H] [--pipe]\n"
          "  zevctl call SERVERID METHOD [--in FILE] [--out FILE] [--port N] [--host H] [--pipe]\n"
          "  zevctl seal < PLAIN\n"
          "  zevctl open ETAG < BODY\n"
          "  zevctl reg get ROOT KEY [NAME] [--32]\n"
          "  zevctl reg set ROOT KEY NAME VALUE [--32]\n"
          "  zevctl reg delete ROOT KEY [NAME] [--32]\n"
          "  zevctl reg list ROOT [KEY] [--32]\n"
          "  zevctl config list | get NAME | set NAME VALUE   (NAME as config list shows it, in any case)\n"
          "  zevctl status   (exit status 0 when the service holds its instance lock, \"/\" answers\n"
          "                   an echo over its local socket comes back and the strategy is not\n"
          "                   stuck; 1 otherwise)\n"
          "  zevctl hosts\n"
          "  zevctl strategy\n"
          "  zevctl events [--since TIME] [--component ID]   (TIME: UTC 2027-01-15 08:00, or an age: 30m, 2h, 7d)\n"
          "  zevctl metrics [--port N]\n"
          "  zevctl component port|pipe|version|desc|entry ID [--bits N] [--port N] [--host H] [--pipe]\n"
          "  zevctl register port ID [PORT] [--unregister] [--app APP] [--version V] [--port N] [--host H] [--pipe]\n"
          "  zevctl register pipe ID [NAME] [--unregister] [--app APP] [--version V] [--port N] [--host H] [--pipe]\n"
          "  (PORT and NAME are required unless --unregister is given; without them it withdraws both)\n"
          "  zevctl gc [--dry-run]   (old versions of the download folder: listed, or removed by the\n"
          "                           service; removal for root or the service's user only)\n"
          "  zevctl update [--wait SECONDS]\n"
          "  zevctl hold APP COMPONENT [VERSION]\n"
          "  zevctl unhold APP COMPONENT\n"
          "  zevctl holds\n"
          "ROOT: HKCR | HKLM\n");
  return 2;
}

// A whole decimal int32, or false.
bool ParseInt32(const std::string& text, int32_t* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

// `text` on one line: backslashes, line feeds and other control characters
// escaped, since answers carry texts that components chose.
std::string OneLine(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7f) {
      char hex[8];
      snprintf(hex, sizeof(hex), "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace zev::ctl

int main(int argc, char** argv) {
  using namespace zev;
  using namespace zev::ctl;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") return Usage();
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "reg") return Registry(rest);
  if (args[0] == "echo") return Echo(rest);
  if (args[0] == "call") return Call(rest);
  if (args[0] == "seal") return Seal();
  if (args[0] == "open") return Open(rest);
  if (args[0] == "status") return Status(rest);
  if (args[0] == "hosts") return Hosts(rest);
  if (args[0] == "strategy") return Strategy(rest);
  if (args[0] == "component") return Component(rest);
  if (args[0] == "register") return RegisterCommand(rest);
  if (args[0] == "config") return Config(rest);
  if (args[0] == "events") return Events(rest);
  if (args[0] == "metrics") return Metrics(rest);
  if (args[0] == "gc") return Gc(rest);
  if (args[0] == "update") return Update(rest);
  if (args[0] == "hold") return Hold(rest, true);
  if (args[0] == "unhold") return Hold(rest, false);
  if (args[0] == "holds") return Holds(rest);
  fprintf(stderr, "zevctl: unknown command '%s'\n", args[0].c_str());
  return Usage();
}
