// The host-messaging layer's own diagnostics, apart from the service's log:
// one line per message, "[%Y-%m-%d %X][P:<pid>][T:<tid>]<message>\n",
// formatted into at most 10239 characters.
//
// CLogSinkToDataDir appends to <common>/Varnel/NUVPF/<program>_zev_runtime.log
// (program = this executable's file name, without ".exe" when it ends so);
// a file of kRuntimeLogLimit bytes or more is deleted when a sink is made.
// A sink is made for one message where it is used: open, one line, close.
// Lines from several processes interleave whole (O_APPEND, one write).
#ifndef ZEV_BUS_RUNTIME_LOG_H_
#define ZEV_BUS_RUNTIME_LOG_H_

#include <cstdint>
#include <string>

namespace pubsdk {

constexpr uint64_t kRuntimeLogLimit = 1000000;

class CSinkBase {
 public:
  virtual ~CSinkBase() = default;
  void Write(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // The line for `message` as every sink writes it.
  static std::string FormatLine(const std::string& message);

 protected:
  virtual void Emit(const std::string& line) = 0;
};

class CLogSinkToDataDir : public CSinkBase {
 public:
  CLogSinkToDataDir();
  ~CLogSinkToDataDir() override;
  CLogSinkToDataDir(const CLogSinkToDataDir&) = delete;
  CLogSinkToDataDir& operator=(const CLogSinkToDataDir&) = delete;

  // Where the lines go: the folder (made when missing) and file name.
  static std::string FilePath();

 protected:
  void Emit(const std::string& line) override;

 private:
  int fd_ = -1;
};

class CSinkConsole : public CSinkBase {
 protected:
  void Emit(const std::string& line) override;  // standard output
};

class CSinkDbgDirect : public CSinkBase {
 protected:
  void Emit(const std::string& line) override;  // the debugger output (DebugPrint)
};

// "zevsvc" for /usr/bin/zevsvc, "tool" for "tool.exe".
std::string RuntimeLogProgramName(const std::string& program_path);

// One line into the runtime log file.
void RuntimeLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace pubsdk

#endif  // ZEV_BUS_RUNTIME_LOG_H_
