#include "bus/runtime_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "base/log.h"
#include "platform/file_modes.h"
#include "platform/paths.h"

namespace pubsdk {

namespace {

constexpr size_t kMessageBuffer = 10240;

std::string FormatMessageV(const char* format, va_list args) {
  char message[kMessageBuffer];
  int n = vsnprintf(message, sizeof(message), format, args);
  if (n < 0) return std::string();
  return std::string(message, static_cast<size_t>(n) < sizeof(message) ? static_cast<size_t>(n) : sizeof(message) - 1);
}

// RuntimeLog is called from the bus library's callbacks and threads, which
// have no owner to hand a folder in; every process of an instance writes
// below the folder of its environment.
std::string RuntimeLogFolder() {
  std::string base = zev::GetCommonDataDir();
  // Root writes no log into the shared temporary folder, where another user
  // could have laid the folder or a link in its place.
  if (base.empty() && geteuid() == 0) return std::string();
  if (base.empty()) {
    const char* tmp = getenv("TMPDIR");
    base = (tmp && *tmp) ? tmp : "/tmp";
  }
  return zev::JoinPath(base, "Varnel/NUVPF");
}

}  // namespace

void CSinkBase::Write(const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  std::string message = FormatMessageV(format, args);
  va_end(args);
  Emit(FormatLine(message));
}

std::string CSinkBase::FormatLine(const std::string& message) {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char stamp[64];
  strftime(stamp, sizeof(stamp), "[%Y-%m-%d %X]", &local);
  char ids[64];
  snprintf(ids, sizeof(ids), "[P:%d][T:%ld]", static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)));
  return std::string(stamp) + ids + zev::EscapeControlCharacters(message) + "\n";
}

std::string RuntimeLogProgramName(const std::string& program_path) {
  size_t slash = program_path.find_last_of('/');
  std::string name = slash == std::string::npos ? program_path : program_path.substr(slash + 1);
  const std::string exe = ".exe";
  if (name.size() > exe.size() && name.compare(name.size() - exe.size(), exe.size(), exe) == 0) {
    name.resize(name.size() - exe.size());
  }
  return name;
}

std::string CLogSinkToDataDir::FilePath() {
  return zev::JoinPath(RuntimeLogFolder(), RuntimeLogProgramName(zev::GetModulePath()) + "_zev_runtime.log");
}

CLogSinkToDataDir::CLogSinkToDataDir() {
  std::string folder = RuntimeLogFolder();
  if (folder.empty()) return;
  if (!zev::DirectoryExists(folder)) zev::CreateDirectories(folder);
  std::string path = FilePath();
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) >= kRuntimeLogLimit) unlink(path.c_str());
  fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, zev::kPrivateFileMode);
}

CLogSinkToDataDir::~CLogSinkToDataDir() {
  if (fd_ >= 0) close(fd_);
}

void CLogSinkToDataDir::Emit(const std::string& line) {
  if (fd_ >= 0) zev::WriteAll(fd_, line.data(), line.size());
}

void CSinkConsole::Emit(const std::string& line) { zev::WriteAll(STDOUT_FILENO, line.data(), line.size()); }

void CSinkDbgDirect::Emit(const std::string& line) {
  // DebugPrint ends the line itself.
  int length = static_cast<int>(line.size() > 0 && line.back() == '\n' ? line.size() - 1 : line.size());
  zev::DebugPrint("%.*s", length, line.c_str());
}

void RuntimeLog(const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  std::string message = FormatMessageV(format, args);
  va_end(args);
  CLogSinkToDataDir sink;
  sink.Write("%s", message.c_str());
}

}  // namespace pubsdk
