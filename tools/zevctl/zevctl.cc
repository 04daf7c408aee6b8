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
//   zevctl component port|pipe|version|desc|entry ID [--bits N] [--port N] [--host H] [--pipe]
//       what the control server knows of component ID (getComponentData;
//       bits 32 or 64, default 64)
//   zevctl register port ID [PORT] [--unregister] [--app APP] [--version V] [--port N] [--host H] [--pipe]
//   zevctl register pipe ID [NAME] [--unregister] [--app APP] [--version V] [--port N] [--host H] [--pipe]
//       registers (or with --unregister withdraws) the port or the pipe name
//       that component ID serves on (registerPort, registerPipeName); a
//       withdrawal without PORT or NAME withdraws both
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
#include <Poco/Exception.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "strategy/server_strategy.h"
#include "common/zevclasses/ZEVControlIntfs.pb.h"
#include "common/zevclasses/ZEVRPCDefine.pb.h"
#include "hosting/manager.h"
#include "hosting/port_guard.h"
#include "platform/named_mutex.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "platform/wait.h"
#include "rpc/control_server.h"
#include "rpc/echo_server.h"
#include "rpc/http_server.h"
#include "rpc/ipc_server.h"
#include "crypto/payload_envelope.h"
#include "hosting/host_status.h"
#include "rpc/pipe_processor.h"

namespace {

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
          "  zevctl component port|pipe|version|desc|entry ID [--bits N] [--port N] [--host H] [--pipe]\n"
          "  zevctl register port ID [PORT] [--unregister] [--app APP] [--version V] [--port N] [--host H] [--pipe]\n"
          "  zevctl register pipe ID [NAME] [--unregister] [--app APP] [--version V] [--port N] [--host H] [--pipe]\n"
          "  (PORT and NAME are required unless --unregister is given; without them it withdraws both)\n"
          "ROOT: HKCR | HKLM\n");
  return 2;
}

int Registry(std::vector<std::string> args) {
  RegView view = RegView::kDefault;
  for (auto it = args.begin(); it != args.end();) {
    if (*it == "--32") {
      view = RegView::kWow64_32;
      it = args.erase(it);
    } else {
      ++it;
    }
  }
  if (args.size() < 2) return Usage();
  const std::string& verb = args[0];
  RegRoot root;
  if (!ParseRegRoot(args[1], &root)) {
    fprintf(stderr, "zevctl: unknown root '%s' (use HKCR or HKLM)\n", args[1].c_str());
    return 2;
  }
  std::string path = RegistryDatabasePath();
  if (path.empty()) {
    fprintf(stderr, "zevctl: no common data folder (set ZEV_COMMON_APPDATA)\n");
    return 1;
  }
  if (verb == "get" && (args.size() == 3 || args.size() == 4)) {
    std::string name = args.size() == 4 ? args[3] : std::string();
    std::string value;
    if (!RegReadString(root, args[2], name, &value, view)) {
      fprintf(stderr, "zevctl: %s\\%s: value '%s' not found\n", RegRootName(root),
              RegResolveKey(root, args[2], view).c_str(), name.c_str());
      return 1;
    }
    printf("%s\n", value.c_str());
    return 0;
  }
  if (verb == "set" && args.size() == 5) {
    if (!RegWriteString(root, args[2], args[3], args[4], view)) {
      fprintf(stderr, "zevctl: cannot write %s\\%s (store %s): %s\n", RegRootName(root),
              RegResolveKey(root, args[2], view).c_str(), path.c_str(), RegLastError().c_str());
      return 1;
    }
    return 0;
  }
  if (verb == "delete" && (args.size() == 3 || args.size() == 4)) {
    bool ok = args.size() == 4 ? RegDeleteValue(root, args[2], args[3], view)
                               : RegDeleteTree(root, args[2], view);
    if (!ok) {
      fprintf(stderr, "zevctl: nothing to delete at %s\\%s\n", RegRootName(root),
              RegResolveKey(root, args[2], view).c_str());
      return 1;
    }
    return 0;
  }
  if (verb == "list" && (args.size() == 2 || args.size() == 3)) {
    std::vector<RegEntry> entries;
    if (!RegList(root, args.size() == 3 ? args[2] : std::string(), &entries, view)) {
      fprintf(stderr, "zevctl: cannot read the store %s\n", path.c_str());
      return 1;
    }
    for (const RegEntry& e : entries) {
      printf("%s\\%s\t%s\t%s\n", RegRootName(root), e.key.c_str(),
             e.name.empty() ? "(default)" : e.name.c_str(), e.value.c_str());
    }
    return 0;
  }
  return Usage();
}

struct CallOptions {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string in_file;
  std::string out_file;
  bool pipe = false;
  // The longest a call may take, connecting included.
  int limit_ms = 30000;
};

// Takes "--name value" options out of args.
bool TakeOptions(std::vector<std::string>* args, CallOptions* options) {
  for (size_t i = 0; i < args->size();) {
    const std::string& a = (*args)[i];
    if (a == "--pipe") {
      options->pipe = true;
      args->erase(args->begin() + static_cast<long>(i));
      continue;
    }
    if (a == "--port" || a == "--host" || a == "--in" || a == "--out") {
      if (i + 1 >= args->size()) return false;
      const std::string value = (*args)[i + 1];
      if (a == "--port") options->port = atoi(value.c_str());
      if (a == "--host") options->host = value;
      if (a == "--in") options->in_file = value;
      if (a == "--out") options->out_file = value;
      args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    } else {
      ++i;
    }
  }
  return true;
}

std::string ReadStdin() {
  std::string data;
  char buf[65536];
  ssize_t n;
  while ((n = read(STDIN_FILENO, buf, sizeof(buf))) > 0) data.append(buf, static_cast<size_t>(n));
  return data;
}

// Sends one sealed call over the service's socket within options.limit_ms;
// true with the reply's extended response and body, false with the reason
// in *error.
bool PipeExchange(const CallOptions& options, const std::string& etag, const std::string& body,
                  std::string* extend, std::string* reply_body, std::string* error) {
  const int64_t deadline = DeadlineAfter(options.limit_ms);
  const std::string path = PipeSocketPath(kServicePipeName);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("no socket: ") + strerror(errno);
    return false;
  }
  // Bounds the connect (a listener whose backlog is full keeps it waiting)
  // and every write.
  timeval limit = {options.limit_ms / 1000, (options.limit_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    *error = "cannot connect to " + path + ": " + strerror(errno);
    close(fd);
    return false;
  }
  std::string tag = "zevctl-" + std::to_string(getpid());
  std::string frame = EncodeFrame({tag, "key:" + etag, body});
  for (size_t sent = 0; sent < frame.size();) {
    ssize_t n = write(fd, frame.data() + sent, frame.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "cannot send to " + path;
      close(fd);
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  std::string in;
  char buf[65536];
  for (;;) {
    Frame reply;
    size_t used = 0;
    FrameStatus status = DecodeFrame(in.data(), in.size(), &reply, &used);
    if (status == FrameStatus::kComplete) {
      *extend = reply.header;
      *reply_body = reply.body;
      close(fd);
      return true;
    }
    pollfd readable = {fd, POLLIN, 0};
    if (status != FrameStatus::kBad && PollUntil(&readable, 1, deadline) == 0) {
      *error = "no reply from " + path + " within " + std::to_string(options.limit_ms) + " ms";
      close(fd);
      return false;
    }
    ssize_t n = status == FrameStatus::kBad ? -1 : read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "no valid reply from " + path;
      close(fd);
      return false;
    }
    in.append(buf, static_cast<size_t>(n));
  }
}

// Seals and posts one call to "/rpc" (or sends it over the pipe). True when
// a reply was opened; *exr and *answer hold its flag and bytes. False with
// the reason in *error.
bool PostCall(const CallOptions& options, const std::string& server_id, const std::string& method,
              const std::string& request, std::string* exr, std::string* answer, std::string* error) {
  int port = options.port;
  if (port == 0 && !options.pipe) {
    std::string text;
    if (!RegReadString(RegRoot::kClassesRoot, kPortKey, kPortValueName, &text)) {
      *error = "no service port in the registry of " + GetCommonDataDir() +
               " (is the service running? or give --port)";
      return false;
    }
    port = atoi(text.c_str());
  }
  CZEVComponentDescriptor descriptor;
  descriptor.set_componentid("zevctl");
  descriptor.set_serverid(server_id);
  descriptor.set_methodcode(method);
  descriptor.set_clientidentifier("zevctl");
  CZEVRPCCommandData command;
  command.set_componentdescriptor(descriptor.SerializeAsString());
  command.set_request(request);
  std::string body, etag;
  encodePayload(command.SerializeAsString(), &body, &etag);
  if (options.pipe) {
    std::string extend, reply;
    if (!PipeExchange(options, etag, body, &extend, &reply, error)) return false;
    std::map<std::string, std::string> items = SplitExtend(extend);
    *exr = items.count("exr") ? items["exr"] : "";
    if (!decodePayload(reply, items.count("etag") ? items["etag"] : "", answer)) {
      *error = "the reply could not be opened";
      return false;
    }
    return true;
  }
  const std::string where = options.host + ":" + std::to_string(port);
  try {
    Poco::Net::HTTPClientSession session(options.host, static_cast<Poco::UInt16>(port));
    session.setTimeout(Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(options.limit_ms) * 1000));
    Poco::Net::HTTPRequest http(Poco::Net::HTTPRequest::HTTP_POST, "/rpc?key=" + etag,
                                Poco::Net::HTTPMessage::HTTP_1_1);
    http.setContentType("text/plain");
    http.setContentLength64(static_cast<int64_t>(body.size()));
    session.sendRequest(http) << body;
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    std::string reply;
    Poco::StreamCopier::copyToString(in, reply);
    if (response.getStatus() != Poco::Net::HTTPResponse::HTTP_OK) {
      *error = "HTTP " + std::to_string(static_cast<int>(response.getStatus())) + " from " + where;
      return false;
    }
    *exr = response.get("exr", "");
    if (!decodePayload(reply, response.get("etag", ""), answer)) {
      *error = "the reply could not be opened";
      return false;
    }
    return true;
  } catch (const Poco::Exception& e) {
    *error = "cannot call " + where + ": " + e.displayText();
  } catch (const std::exception& e) {
    *error = "cannot call " + where + ": " + e.what();
  }
  return false;
}

// PostCall for the commands: the reason of a failure goes to standard error.
bool PostCall(const CallOptions& options, const std::string& server_id, const std::string& method,
              const std::string& request, std::string* exr, std::string* answer) {
  std::string error;
  if (PostCall(options, server_id, method, request, exr, answer, &error)) return true;
  fprintf(stderr, "zevctl: %s\n", error.c_str());
  return false;
}

// Prints an exception response; returns the exit status 1.
int PrintException(const std::string& answer) {
  CZEVRPCExceptionResponse e;
  if (!e.ParseFromString(answer)) {
    printf("exr: 1\n(undecodable exception response)\n");
    return 1;
  }
  printf("exr: 1\ncode: %s\nmessage: %s\n", e.code().c_str(), e.message().c_str());
  if (!e.class_().empty()) printf("class: %s\n", e.class_().c_str());
  if (!e.exceptcallstack().empty()) printf("exceptCallStack: %s\n", e.exceptcallstack().c_str());
  if (!e.data().empty()) printf("data: %s\n", e.data().c_str());
  if (!e.cause().empty()) printf("cause: %s\n", e.cause().c_str());
  return 1;
}

int Echo(std::vector<std::string> args) {
  CallOptions options;
  if (!TakeOptions(&args, &options) || args.size() != 1) return Usage();
  CZEVEchoRequest request;
  request.set_request(args[0]);
  std::string exr, answer;
  if (!PostCall(options, kEchoServerId, "echo", request.SerializeAsString(), &exr, &answer)) return 1;
  if (exr != "0") return PrintException(answer);
  CZEVEchoResponse response;
  if (!response.ParseFromString(answer)) {
    fprintf(stderr, "zevctl: the echo answer does not parse\n");
    return 1;
  }
  printf("exr: 0\nresponse: %s\n", response.response().c_str());
  return 0;
}

int Call(std::vector<std::string> args) {
  CallOptions options;
  if (!TakeOptions(&args, &options) || args.size() != 2) return Usage();
  std::string request;
  if (options.in_file.empty()) {
    request = ReadStdin();
  } else if (!ReadFileToString(options.in_file, &request)) {
    fprintf(stderr, "zevctl: cannot read %s\n", options.in_file.c_str());
    return 1;
  }
  std::string exr, answer;
  if (!PostCall(options, args[0], args[1], request, &exr, &answer)) return 1;
  if (exr != "0") return PrintException(answer);
  printf("exr: 0\n");
  if (!options.out_file.empty()) {
    if (!WriteFileAtomically(options.out_file, answer)) {
      fprintf(stderr, "zevctl: cannot write %s\n", options.out_file.c_str());
      return 1;
    }
    printf("answer: %zu bytes written to %s\n", answer.size(), options.out_file.c_str());
    return 0;
  }
  printf("answer:");
  for (unsigned char c : answer) printf(" %02x", c);
  printf("\n");
  return 0;
}

int Seal() {
  std::string body, etag;
  encodePayload(ReadStdin(), &body, &etag);
  printf("%s\n%s\n", etag.c_str(), body.c_str());
  return 0;
}

int Open(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage();
  std::string plain;
  if (!decodePayload(ReadStdin(), args[0], &plain)) {
    fprintf(stderr, "zevctl: the payload could not be opened\n");
    return 1;
  }
  fwrite(plain.data(), 1, plain.size(), stdout);
  return 0;
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

// Whether a service instance holds the instance lock, as the text of the
// status line; *held when it does.
// *readable: whether this user may open the lock file at all (the service
// keeps it private; other users learn from the port mutex instead).
std::string InstanceLockState(bool* held, bool* readable) {
  *held = false;
  *readable = true;
  const std::string path =
      JoinPath(JoinPath(GetCommonDataDir(), "run"), NamedMutexFileName(kInstanceMutexName));
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return "free (no service instance runs)";
  if (fd < 0) {
    *readable = errno != EACCES;
    return "unknown (" + path + ": " + strerror(errno) + ")";
  }
  // The service holds the lock exclusively, so a shared one is refused
  // exactly while it runs. Closing the file drops the shared lock at once; a
  // service that tries to start in that instant takes the lock at its next
  // attempt.
  int rc;
  do {
    rc = flock(fd, LOCK_SH | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  const int error = errno;
  close(fd);
  if (rc == 0) return "free (no service instance runs)";
  if (error != EWOULDBLOCK) return "unknown (" + path + ": " + strerror(error) + ")";
  *held = true;
  return "held (a service instance runs)";
}

// The monitor's view of its hosts, from the status file it rewrites on every
// change.
enum class HostTable { kRead, kNoFile, kUnreadable };
HostTable ReadHostTable(std::vector<pubsdk::MonitorHostInfo>* hosts, std::string* path) {
  *path = JoinPath(GetRuntimeDir(), pubsdk::kHostStatusFileName);
  if (!FileExists(*path)) return HostTable::kNoFile;
  return pubsdk::ReadHostStatus(*path, hosts) ? HostTable::kRead : HostTable::kUnreadable;
}

std::string HostLine(const pubsdk::MonitorHostInfo& host) {
  const std::string pid = host.pid > 0 ? std::to_string(host.pid) : "none";
  std::string components, refused;
  for (const std::string& id : host.components) components += (components.empty() ? "" : " ") + id;
  for (const std::string& id : host.refused) refused += " " + id;
  return "group " + host.group_name + ": node " + host.node_name + ", pid " + pid + ", restarts " +
         std::to_string(host.restart_count) +
         (host.restart_refused ? ", restarts refused until tomorrow (UTC)" : "") +
         (components.empty() ? std::string() : ", components " + components) +
         (refused.empty() ? std::string() : ", " + std::to_string(host.refused.size()) + " refused:" + refused);
}

// One line per process group.
int Hosts(const std::vector<std::string>& args) {
  if (!args.empty()) return Usage();
  if (GetRuntimeDir().empty()) {
    fprintf(stderr, "zevctl: no common data folder (set ZEV_COMMON_APPDATA)\n");
    return 1;
  }
  std::vector<pubsdk::MonitorHostInfo> hosts;
  std::string path;
  switch (ReadHostTable(&hosts, &path)) {
    case HostTable::kNoFile:
      printf("no hosts (%s does not exist: the service runs no components)\n", path.c_str());
      return 0;
    case HostTable::kUnreadable:
      fprintf(stderr, "zevctl: %s cannot be read or is not a host status file\n", path.c_str());
      return 1;
    case HostTable::kRead:
      break;
  }
  if (hosts.empty()) printf("no hosts\n");
  for (const pubsdk::MonitorHostInfo& host : hosts) printf("%s\n", HostLine(host).c_str());
  return 0;
}

std::string UtcText(int64_t millis) {
  const time_t seconds = static_cast<time_t>(millis / 1000);
  struct tm parts {};
  char text[64] = "?";
  if (gmtime_r(&seconds, &parts) != nullptr) strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

// The record that the server strategy leaves in the registry after every
// pass.
enum class StrategyRecord { kRead, kNone, kUnreadable };
StrategyRecord ReadLastPass(StrategyStatus* status) {
  std::string text;
  if (!RegReadString(RegRoot::kLocalMachine, kStrategyStatusKey, "", &text)) return StrategyRecord::kNone;
  return ParseStrategyStatus(text, status) ? StrategyRecord::kRead : StrategyRecord::kUnreadable;
}

// "2027-01-15 08:00:00 UTC, catalogue from the server"
std::string PassText(const StrategyStatus& status) {
  return UtcText(status.time_ms) + ", catalogue from " + (status.result == "server" ? "the server" : status.result);
}

std::string CountsText(const StrategyStatus& status) {
  return "listed " + std::to_string(status.listed) + ", installed " + std::to_string(status.installed) +
         ", failed " + std::to_string(status.failed);
}

int Strategy(const std::vector<std::string>& args) {
  if (!args.empty()) return Usage();
  StrategyStatus status;
  switch (ReadLastPass(&status)) {
    case StrategyRecord::kNone:
      printf("no strategy pass yet\n");
      return 0;
    case StrategyRecord::kUnreadable:
      fprintf(stderr, "zevctl: the strategy status in the registry is not readable\n");
      return 1;
    case StrategyRecord::kRead:
      break;
  }
  printf("last pass: %s\n", PassText(status).c_str());
  printf("%s\n", CountsText(status).c_str());
  if (!status.error.empty()) printf("server error: %s\n", status.error.c_str());
  if (status.next_pass_ms > 0) printf("next pass: %s\n", UtcText(status.next_pass_ms).c_str());
  return 0;
}

// How long each probe of the status command may take. Tests shorten it
// (ZEV_STATUS_PROBE_MS) to see a probe give up without waiting seconds.
int ProbeLimitMs() {
  const char* text = getenv("ZEV_STATUS_PROBE_MS");
  const int ms = text != nullptr ? atoi(text) : 0;
  return ms > 0 ? ms : 2000;
}

double MillisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// What "/" answers on 127.0.0.1:port within limit_ms; *alive when it
// answered as a working endpoint does.
std::string ProbeRoot(int port, int limit_ms, bool* alive) {
  *alive = false;
  const std::string where = "127.0.0.1:" + std::to_string(port);
  try {
    Poco::Net::HTTPClientSession session("127.0.0.1", static_cast<Poco::UInt16>(port));
    session.setTimeout(Poco::Timespan(static_cast<Poco::Timespan::TimeDiff>(limit_ms) * 1000));
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, "/", Poco::Net::HTTPMessage::HTTP_1_1);
    session.sendRequest(request);
    Poco::Net::HTTPResponse response;
    std::istream& in = session.receiveResponse(response);
    std::string body;
    Poco::StreamCopier::copyToString(in, body);
    if (body.size() > 200) body = body.substr(0, 200) + "...";
    const int code = static_cast<int>(response.getStatus());
    *alive = code == Poco::Net::HTTPResponse::HTTP_OK && body == kEndpointAliveText;
    return std::to_string(code) + " \"" + OneLine(body) + "\" from " + where;
  } catch (const Poco::Exception& e) {
    return "no answer from " + where + " (" + e.displayText() + ")";
  } catch (const std::exception& e) {
    return "no answer from " + where + " (" + e.what() + ")";
  }
}

// An echo over the service's local socket within limit_ms; *ok when the text
// came back.
std::string ProbePipeEcho(int limit_ms, bool* ok) {
  *ok = false;
  const std::string text = "zevctl status " + std::to_string(getpid());
  CZEVEchoRequest request;
  request.set_request(text);
  CallOptions options;
  options.pipe = true;
  options.limit_ms = limit_ms;
  std::string exr, answer, error;
  const auto start = std::chrono::steady_clock::now();
  if (!PostCall(options, kEchoServerId, "echo", request.SerializeAsString(), &exr, &answer, &error)) {
    return "failed (" + error + ")";
  }
  const double elapsed_ms = MillisSince(start);
  if (exr != "0") {
    CZEVRPCExceptionResponse e;
    if (!e.ParseFromString(answer)) return "failed (undecodable exception response)";
    return "failed (exception " + OneLine(e.code()) + ": " + OneLine(e.message()) + ")";
  }
  CZEVEchoResponse response;
  if (!response.ParseFromString(answer)) return "failed (the answer does not parse)";
  if (response.response() != text) return "failed (the answer \"" + OneLine(response.response()) + "\" is not the text sent)";
  *ok = true;
  char line[64];
  snprintf(line, sizeof(line), "ok (%.1f ms round trip)", elapsed_ms);
  return line;
}

// Runs argv with standard output and error into *output, for at most
// limit_ms; a program still running then is killed. kEnded with *exit_code,
// or the failure with the reason in *error.
enum class RunResult { kEnded, kNotStarted, kTimedOut };
RunResult RunWithLimit(const std::vector<std::string>& argv, int limit_ms, std::string* output, int* exit_code,
                       std::string* error) {
  const int64_t deadline = DeadlineAfter(limit_ms);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::string("no pipe: ") + strerror(errno);
    return RunResult::kNotStarted;
  }
  StartOptions options;
  options.stdout_fd = fds[1];
  options.stderr_fd = fds[1];
  std::unique_ptr<ProcessHandle> process = StartProcessArgv(argv, options, error);
  close(fds[1]);
  if (!process) {
    close(fds[0]);
    return RunResult::kNotStarted;
  }
  // Until the end of the output, which a child of the program may hold open
  // after the program itself has ended: the deadline still bounds it.
  char buf[4096];
  for (;;) {
    pollfd readable = {fds[0], POLLIN, 0};
    if (PollUntil(&readable, 1, deadline) <= 0) break;
    ssize_t n = read(fds[0], buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output->size() < 65536) output->append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  const int64_t left = deadline - MonotonicMillis();
  if (!process->Wait(static_cast<int>(std::max<int64_t>(left, 0)))) {
    process->Terminate();
    process->Wait(1000);
    *error = "no answer within " + std::to_string(limit_ms) + " ms";
    return RunResult::kTimedOut;
  }
  *exit_code = process->ExitCode();
  return RunResult::kEnded;
}

// systemd's view of the service's unit, when systemd runs this machine.
std::string SystemdState(int limit_ms) {
  // Tests point the marker elsewhere: here systemd is not the init process.
  const char* run_dir = getenv("ZEV_SYSTEMD_RUN_DIR");
  const std::string marker = run_dir != nullptr && *run_dir != '\0' ? run_dir : "/run/systemd/system";
  struct stat info;
  if (stat(marker.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return "not running here (no " + marker + ")";
  }
  const char* named = getenv("ZEV_SYSTEMCTL");
  const std::string program = named != nullptr && *named != '\0' ? named : "systemctl";
  std::string output, error;
  int exit_code = 0;
  const RunResult run = RunWithLimit({program, "show", "zevsvc.service", "-p", "ActiveState", "-p", "SubState",
                                      "-p", "MainPID", "-p", "StatusText"},
                                     limit_ms, &output, &exit_code, &error);
  if (run == RunResult::kNotStarted) return "not running here (" + error + ")";
  if (run == RunResult::kTimedOut) return program + " show: " + error;
  std::vector<std::string> lines;
  for (size_t begin = 0; begin < output.size();) {
    size_t end = output.find('\n', begin);
    if (end == std::string::npos) end = output.size();
    if (end > begin) lines.push_back(OneLine(output.substr(begin, end - begin)));
    begin = end + 1;
  }
  std::string joined;
  for (const std::string& line : lines) joined += (joined.empty() ? "" : ", ") + line;
  if (exit_code != 0) {
    return program + " show failed with exit status " + std::to_string(exit_code) +
           (joined.empty() ? "" : ": " + joined);
  }
  return joined.empty() ? program + " show printed nothing" : joined;
}

// Everything an operator asks first, one fact a line. Exit status 0 when the
// service holds its instance lock, "/" answers and an echo over the local
// socket comes back.
int Status(const std::vector<std::string>& args) {
  if (!args.empty()) return Usage();
  if (GetCommonDataDir().empty()) {
    fprintf(stderr, "zevctl: no common data folder (set ZEV_COMMON_APPDATA)\n");
    return 1;
  }
  const int limit_ms = ProbeLimitMs();
  bool lock_held = false;
  bool lock_readable = true;
  printf("instance lock: %s\n", InstanceLockState(&lock_held, &lock_readable).c_str());

  // The store is the service's user's alone: another user cannot tell the
  // settings or the last pass, and says so rather than show defaults.
  const std::string store = RegistryDatabasePath();
  const bool store_private = access(store.c_str(), F_OK) == 0 && access(store.c_str(), R_OK) != 0;
  const std::string private_store = "unknown (" + store + " is for the service's user only)";
  if (store_private) {
    printf("http address: %s\n", private_store.c_str());
  } else {
    std::string unrecognised;
    const std::string address = ReadHttpBindAddress(&RegistryStore::Default(), &unrecognised);
    std::string detail = address == "127.0.0.1" ? "loopback only" : "all interfaces";
    if (!unrecognised.empty()) {
      detail += "; " + std::string(kBindAddressValueName) + " \"" + unrecognised + "\" is not honoured";
    }
    printf("http address: %s (%s)\n", address.c_str(), detail.c_str());
  }

  std::string port_text;
  int port = 0;
  if (RegReadString(RegRoot::kClassesRoot, kPortKey, kPortValueName, &port_text)) {
    printf("http port: %s\n", port_text.c_str());
    int32_t number = 0;
    if (ParseInt32(port_text, &number) && number > 0 && number < 65536) port = number;
  } else {
    printf("http port: none published\n");
  }
  bool root_alive = false;
  bool port_mutex_held = false;
  if (port > 0) {
    port_mutex_held = PortMutexIsHeld(port);
    printf("port mutex: %s\n", port_mutex_held ? "held (the endpoint answered its guard's last check)"
                                               : "not held (the endpoint did not answer, or no guard runs)");
    printf("http \"/\": %s\n", ProbeRoot(port, limit_ms, &root_alive).c_str());
  } else {
    const char* why = port_text.empty() ? "no port published" : "the published port is not a port number";
    printf("port mutex: not held (%s)\n", why);
    printf("http \"/\": not asked (%s)\n", why);
  }

  bool echo_ok = false;
  printf("pipe echo: %s\n", ProbePipeEcho(limit_ms, &echo_ok).c_str());

  StrategyStatus pass;
  const StrategyRecord record = ReadLastPass(&pass);
  bool strategy_stalled = false;
  if (record == StrategyRecord::kRead) {
    printf("strategy: last pass %s; %s%s\n", PassText(pass).c_str(), CountsText(pass).c_str(),
           pass.next_pass_ms > 0 ? ("; next pass " + UtcText(pass.next_pass_ms)).c_str() : "");
    if (!pass.error.empty()) printf("strategy server error: %s\n", OneLine(pass.error).c_str());
    const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count();
    strategy_stalled =
        lock_held && StrategyStalled(pass, ReadIntervalSetting(&RegistryStore::Default()) * 1000, now_ms);
    if (strategy_stalled) {
      printf("strategy health: no pass for two intervals; the update thread is stuck or gone (see the log)\n");
    }
  } else if (store_private) {
    printf("strategy: %s\n", private_store.c_str());
  } else {
    printf("strategy: %s\n", record == StrategyRecord::kNone ? "no pass yet" : "the record in the registry is not readable");
  }

  std::vector<pubsdk::MonitorHostInfo> hosts;
  std::string hosts_path;
  switch (ReadHostTable(&hosts, &hosts_path)) {
    case HostTable::kNoFile:
      printf("hosts: 0 hosts, 0 components (no host status file)\n");
      break;
    case HostTable::kUnreadable:
      printf("hosts: unknown (%s cannot be read or is not a host status file)\n", hosts_path.c_str());
      break;
    case HostTable::kRead: {
      size_t running = 0, components = 0, refused = 0;
      for (const pubsdk::MonitorHostInfo& host : hosts) {
        if (host.pid > 0) ++running;
        components += host.components.size();
        refused += host.refused.size();
      }
      printf("hosts: %zu hosts (%zu running), %zu components%s\n", hosts.size(), running, components,
             refused > 0 ? (", " + std::to_string(refused) + " refused").c_str() : "");
      for (const pubsdk::MonitorHostInfo& host : hosts) printf("%s\n", HostLine(host).c_str());
      break;
    }
  }

  printf("systemd: %s\n", SystemdState(limit_ms).c_str());
  // A user who may not open the private instance lock has the port mutex,
  // which only a running service holds, to go by.
  const bool instance_runs = lock_held || (!lock_readable && port_mutex_held);
  return instance_runs && root_alive && echo_ok && !strategy_stalled ? 0 : 1;
}

// Takes "--name value" (or "--flag") options of the control commands out of
// args; false for a missing value.
bool TakeControlOptions(std::vector<std::string>* args, std::map<std::string, std::string>* options,
                        const std::vector<std::string>& with_value, const std::vector<std::string>& flags) {
  for (size_t i = 0; i < args->size();) {
    const std::string a = (*args)[i];
    if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
      (*options)[a] = "";
      args->erase(args->begin() + static_cast<long>(i));
    } else if (std::find(with_value.begin(), with_value.end(), a) != with_value.end()) {
      if (i + 1 >= args->size()) return false;
      (*options)[a] = (*args)[i + 1];
      args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    } else {
      ++i;
    }
  }
  return true;
}

// Calls the control server's `method`; prints the one-line outcome of a
// transport failure or an exception response and answers false for them.
bool ControlCall(const CallOptions& options, const std::string& method, const std::string& request,
                 std::string* answer, int* status) {
  std::string exr;
  if (!PostCall(options, kControlServerId, method, request, &exr, answer)) {
    *status = 1;
    return false;
  }
  if (exr != "0") {
    CZEVRPCExceptionResponse e;
    if (!e.ParseFromString(*answer)) {
      printf("exception: (undecodable exception response)\n");
    } else {
      printf("exception %s: %s\n", OneLine(e.code()).c_str(), OneLine(e.message()).c_str());
    }
    *status = 1;
    return false;
  }
  return true;
}

// Prints the outcome of an answer; returns the exit status.
int PrintOutcome(bool success, const std::string& text) {
  if (success) {
    printf("%s\n", OneLine(text).c_str());
    return 0;
  }
  printf("failed: %s\n", OneLine(text).c_str());
  return 1;
}

int Component(std::vector<std::string> args) {
  CallOptions options;
  std::map<std::string, std::string> extra;
  if (!TakeOptions(&args, &options) || !TakeControlOptions(&args, &extra, {"--bits"}, {}) || args.size() != 2) {
    return Usage();
  }
  static const std::map<std::string, CZEVComponentDataQueryType> kTypes = {
      {"port", qPort}, {"pipe", qPipeName}, {"version", qVersion}, {"desc", qDesc}, {"entry", qMainEntryPoint}};
  auto type = kTypes.find(args[0]);
  int32_t bits = 64;
  if (type == kTypes.end() || (extra.count("--bits") && !ParseInt32(extra["--bits"], &bits))) return Usage();
  CZEVGetComponentDataRequest request;
  request.set_datatype(type->second);
  request.set_componentid(args[1]);
  request.set_bits(bits);
  std::string answer;
  int status = 0;
  if (!ControlCall(options, "getComponentData", request.SerializeAsString(), &answer, &status)) return status;
  CZEVGetComponentDataResponse response;
  if (!response.ParseFromString(answer)) {
    fprintf(stderr, "zevctl: the getComponentData answer does not parse\n");
    return 1;
  }
  return PrintOutcome(response.success(), response.data());
}

int RegisterCommand(std::vector<std::string> args) {
  CallOptions options;
  std::map<std::string, std::string> extra;
  if (!TakeOptions(&args, &options) ||
      !TakeControlOptions(&args, &extra, {"--app", "--version"}, {"--unregister"})) {
    return Usage();
  }
  const bool unregister = extra.count("--unregister") != 0;
  if (args.size() != 3 && !(unregister && args.size() == 2)) return Usage();
  if (args[0] != "port" && args[0] != "pipe") return Usage();
  CZEVComponentContext context;
  context.set_componentid(args[1]);
  context.set_appcode(extra["--app"]);
  context.set_version(extra["--version"]);
  const std::string value = args.size() == 3 ? args[2] : std::string();
  std::string answer;
  int status = 0;
  if (args[0] == "port") {
    CZEVRegisterPortRequest request;
    int32_t port = 0;
    if (!value.empty() && !ParseInt32(value, &port)) return Usage();
    request.set_rttype(unregister ? rtUnRegisterPort : rtRegisterPort);
    *request.mutable_context() = context;
    request.set_port(port);
    if (!ControlCall(options, "registerPort", request.SerializeAsString(), &answer, &status)) return status;
    CZEVRegisterPortResponse response;
    if (!response.ParseFromString(answer)) {
      fprintf(stderr, "zevctl: the registerPort answer does not parse\n");
      return 1;
    }
    // A withdrawal of an id that held nothing fails with the text "ok".
    if (!response.success() && response.errormessage() == "ok") return PrintOutcome(false, "not registered");
    return PrintOutcome(response.success(), response.errormessage());
  }
  CZEVRegisterPipeRequest request;
  request.set_rttype(unregister ? rtUnRegisterPipe : rtRegisterPipe);
  *request.mutable_context() = context;
  request.set_pipename(value);
  if (!ControlCall(options, "registerPipeName", request.SerializeAsString(), &answer, &status)) return status;
  CZEVRegisterPipeResponse response;
  if (!response.ParseFromString(answer)) {
    fprintf(stderr, "zevctl: the registerPipeName answer does not parse\n");
    return 1;
  }
  if (!response.success() && response.errormessage() == "ok") return PrintOutcome(false, "not registered");
  return PrintOutcome(response.success(), response.errormessage());
}

// The settings of kSettings, by name. The store is read as the service reads
// it; a user who may not read it is told so instead of shown defaults.

// Whether the settings can be read here; otherwise false, with the reason
// on standard error.
bool SettingsReadable() {
  const std::string store = RegistryDatabasePath();
  if (store.empty()) {
    fprintf(stderr, "zevctl: no common data folder (set ZEV_COMMON_APPDATA)\n");
    return false;
  }
  if (access(store.c_str(), F_OK) == 0 && access(store.c_str(), R_OK) != 0) {
    fprintf(stderr,
            "zevctl: the settings are in %s, which is for the service's user only: "
            "run zevctl config as that user (for example with sudo)\n",
            store.c_str());
    return false;
  }
  std::string why;
  if (!RegistryStore::Default().Check(&why)) {
    fprintf(stderr, "zevctl: %s\n", why.c_str());
    return false;
  }
  return true;
}

// The value the service takes from the store, as its own code reads it.
std::string SettingInEffect(const Setting& setting, SettingSource source, const std::string& text) {
  if (&setting == &kBindAddressSetting) return ReadHttpBindAddress(&RegistryStore::Default());
  if (setting.type == SettingType::kSeconds) {
    return std::to_string(ParseSetting(source == SettingSource::kNone ? "" : text, setting.fallback, setting.low,
                                       setting.high));
  }
  return source == SettingSource::kNone ? SettingDefaultText(setting) : text;
}

void PrintSetting(const Setting& setting) {
  std::string text;
  const SettingSource source = ReadSettingText(&RegistryStore::Default(), setting, &text);
  const std::string in_effect = SettingInEffect(setting, source, text);
  if (source == SettingSource::kNone) {
    printf("%s: (default) %s\n", setting.name, in_effect.c_str());
  } else {
    printf("%s: %s%s\n", setting.name, OneLine(text).c_str(),
           text == in_effect ? "" : (" (in effect: " + OneLine(in_effect) + ")").c_str());
  }
  printf("  %s\n  allowed: %s; default %s\n", setting.meaning, SettingAllowedText(setting).c_str(),
         SettingDefaultText(setting).c_str());
  printf("  stored as: the default value of HKLM\\%s\n", setting.key);
  if (source == SettingSource::kOldValue) {
    printf("  (now read from the older named value %s of HKLM\\%s; config set writes the key)\n",
           setting.old_value_name, kServiceRegistryKey);
  }
  printf("  a change takes effect %s\n", setting.takes_effect);
}

int Config(const std::vector<std::string>& args) {
  const bool list = args.size() == 1 && args[0] == "list";
  const bool get = args.size() == 2 && args[0] == "get";
  const bool set = args.size() == 3 && args[0] == "set";
  if (!list && !get && !set) return Usage();
  const Setting* setting = list ? nullptr : FindSetting(args[1]);
  if (!list && setting == nullptr) {
    std::string names;
    for (const Setting* known : kSettings) names += std::string(names.empty() ? "" : ", ") + known->name;
    fprintf(stderr, "zevctl: unknown setting '%s' (the settings: %s)\n", args[1].c_str(), names.c_str());
    return 2;
  }
  std::string stored, why;
  if (set && !CheckSettingValue(*setting, args[2], &stored, &why)) {
    fprintf(stderr, "zevctl: %s not set: %s\n", setting->name, why.c_str());
    return 2;
  }
  if (!SettingsReadable()) return 1;
  if (list) {
    for (const Setting* each : kSettings) PrintSetting(*each);
    return 0;
  }
  if (get) {
    std::string text;
    const SettingSource source = ReadSettingText(&RegistryStore::Default(), *setting, &text);
    printf("%s\n", OneLine(SettingInEffect(*setting, source, text)).c_str());
    return 0;
  }
  if (!RegWriteString(RegRoot::kLocalMachine, setting->key, "", stored)) {
    fprintf(stderr, "zevctl: cannot write %s to %s: %s\n", setting->name, RegistryDatabasePath().c_str(),
            RegLastError().c_str());
    return 1;
  }
  printf("%s set to %s; it takes effect %s\n", setting->name, stored.c_str(), setting->takes_effect);
  // One form only from now on: the key, which wins over the older value.
  if (setting->old_value_name != nullptr &&
      RegDeleteValue(RegRoot::kLocalMachine, kServiceRegistryKey, setting->old_value_name)) {
    printf("(the older named value %s of HKLM\\%s, which the key replaces, was removed)\n", setting->old_value_name,
           kServiceRegistryKey);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
  fprintf(stderr, "zevctl: unknown command '%s'\n", args[0].c_str());
  return Usage();
}
