#include "host/systemd_unit.h"

namespace zev {

const char kServiceUnitName[] = "zevsvc.service";
// A short title: systemd prints it in "Starting ...", "Started ..." lines.
const char kServiceDescription[] = "ZEV component platform base service";

bool RenderServiceUnit(const std::string& program, std::string* unit, std::string* error) {
  if (program.empty() || program[0] != '/') {
    *error = "the program path \"" + program + "\" is not absolute";
    return false;
  }
  std::string quoted = "\"";
  for (char c : program) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      *error = "the program path holds a control character; move the program to a plain path";
      return false;
    }
    if (c == '"' || c == '\'' || c == '\\') {
      *error = std::string("the program path holds the character ") + c +
               ", which a unit file cannot carry unchanged; move the program to a plain path";
      return false;
    }
    if (c == '%') quoted += '%';  // systemd expands %-specifiers
    quoted += c;
  }
  quoted += '"';
  *unit =
      "[Unit]\n"
      "Description=" + std::string(kServiceDescription) + "\n"
      "Documentation=man:zevsvc(8)\n"
      "After=network-online.target\n"
      "Wants=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "NotifyAccess=main\n"
      "ExecStart=" + quoted + "\n"
      // The service counts its components afresh and reports its status.
      "ExecReload=/bin/kill -HUP $MAINPID\n"
      // SIGTERM to the service alone: it sends "stopall" and its hosts end
      // by themselves instead of dying (and being restarted) mid-stop.
      "KillMode=mixed\n"
      // A component killed for memory must not take the service down.
      "OOMPolicy=continue\n"
      "Restart=on-failure\n"
      "RestartSec=5\n"
      // A start that failed for good (unusable or unsafe folders) says so
      // once instead of failing every five seconds.
      "RestartPreventExitStatus=78\n"
      "TimeoutStopSec=90\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";
  return true;
}

}  // namespace zev
