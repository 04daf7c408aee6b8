// zevctl's parts: zevctl.cc holds the main, the usage and the text helpers;
// each other file a group of commands. Every command returns the exit
// status.
#ifndef ZEV_TOOLS_ZEVCTL_ZEVCTL_H_
#define ZEV_TOOLS_ZEVCTL_ZEVCTL_H_

#include <cstdint>
#include <string>
#include <vector>

namespace zev::ctl {

// Prints the usage; returns the exit status 2.
int Usage();

// A whole decimal int32, or false.
bool ParseInt32(const std::string& text, int32_t* value);
// `text` on one line: backslashes, line feeds and other control characters
// escaped, since answers carry texts that components chose.
std::string OneLine(const std::string& text);

// zevctl_reg.cc
int Registry(std::vector<std::string> args);

// zevctl_calls.cc
int Echo(std::vector<std::string> args);
int Call(std::vector<std::string> args);
int Seal();
int Open(const std::vector<std::string>& args);
int Component(std::vector<std::string> args);
int RegisterCommand(std::vector<std::string> args);

struct CallOptions {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string in_file;
  std::string out_file;
  bool pipe = false;
  // The longest a call may take, connecting included.
  int limit_ms = 30000;
};
// Seals and posts one call to "/rpc" (or sends it over the pipe). True when
// a reply was opened; *exr and *answer hold its flag and bytes. False with
// the reason in *error.
bool PostCall(const CallOptions& options, const std::string& server_id, const std::string& method,
              const std::string& request, std::string* exr, std::string* answer, std::string* error);

// zevctl_status.cc
int Status(const std::vector<std::string>& args);
int Hosts(const std::vector<std::string>& args);
int Strategy(const std::vector<std::string>& args);

// zevctl_events.cc
int Events(const std::vector<std::string>& args);
int Metrics(const std::vector<std::string>& args);

// zevctl_config.cc
int Config(const std::vector<std::string>& args);

// zevctl_gc.cc
int Gc(const std::vector<std::string>& args);

// zevctl_update.cc
int Update(const std::vector<std::string>& args);
// hold (true) or unhold (false).
int Hold(const std::vector<std::string>& args, bool hold);
int Holds(const std::vector<std::string>& args);

}  // namespace zev::ctl

#endif  // ZEV_TOOLS_ZEVCTL_ZEVCTL_H_
