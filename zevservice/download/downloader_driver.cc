#include "download/downloader_driver.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/log.h"
#include "platform/file_modes.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "contract/downloader_exit_codes.h"

namespace zev {

namespace {

constexpr int kPollMillis = 100;
// How long a killed downloader may take to be reaped. SIGKILL cannot be
// caught, so this is only a guard against a stuck kernel, not a grace time.
constexpr int kReapMillis = 5000;
constexpr char kProgramName[] = "zevdownloader";

// The system error number behind a start failure. StartProcessArgv reports
// the reason as text ending in strerror(n); the number is what the failure
// text carries.
unsigned ErrorNumberOf(const std::string& reason) {
  for (int n = 1; n < 256; ++n) {
    const char* text = strerror(n);
    size_t length = strlen(text);
    if (reason.size() >= length && reason.compare(reason.size() - length, length, text) == 0) {
      return static_cast<unsigned>(n);
    }
  }
  return 0;
}

// Kills the downloader and waits for it, so that it neither runs on nor stays
// behind as a zombie. A second signal is tried when the first one fails.
void EndAndReap(ProcessHandle* process) {
  if (!process->Terminate()) process->Terminate();
  if (!process->Wait(kReapMillis)) {
    LogWrite(kLogError, "zevdownloader %d did not end after kill", static_cast<int>(process->pid()));
  }
}

}  // namespace

CZEVDownLoaderBase::CZEVDownLoaderBase(Clock* clock, int32_t timeout)
    : clock_(clock != nullptr ? clock : Clock::Real()),
      stop_event_(std::make_unique<Event>(Event::ResetMode::kAuto, false)),
      initialised_(stop_event_->valid()),
      timeout_(timeout) {}

CZEVDownLoaderBase::~CZEVDownLoaderBase() { stop(); }

void CZEVDownLoaderBase::setParams(const std::string& url, const std::string& directory,
                                   const std::string& file_name, int32_t timeout, int64_t max_size) {
  url_ = url;
  directory_ = directory;
  file_name_ = file_name;
  timeout_ = timeout;
  max_size_ = max_size;
}

void CZEVDownLoaderBase::stop() {
  if (initialised_) stop_event_->Set();
}

CZEVAR2CDownLoader::CZEVAR2CDownLoader(Clock* clock) : CZEVAR2CDownLoader(GetModuleDir(), clock) {}

CZEVAR2CDownLoader::CZEVAR2CDownLoader(const std::string& program_dir, Clock* clock)
    : CZEVDownLoaderBase(clock), exe_path_(program_dir + kProgramName) {}

std::string CZEVAR2CDownLoader::BuildParameterText(const std::string& url, const std::string& directory,
                                                   const std::string& file_name, int64_t max_size) {
  std::string quoted_dir;
  for (char c : directory) {
    if (c == ' ') {
      quoted_dir += "\" \"";
    } else {
      quoted_dir += c;
    }
  }
  return "\"" + url + "\" -d " + quoted_dir + " --file-allocation=none -o " + file_name +
         (max_size > 0 ? " --max-size=" + std::to_string(max_size) : "");
}

std::vector<std::string> CZEVAR2CDownLoader::BuildArguments(const std::string& program, const std::string& url,
                                                            const std::string& directory,
                                                            const std::string& file_name, int64_t max_size) {
  std::vector<std::string> args = {program, url, "-d", directory, "--file-allocation=none", "-o", file_name};
  if (max_size > 0) args.push_back("--max-size=" + std::to_string(max_size));
  return args;
}

bool CZEVAR2CDownLoader::IsSafeArgument(const std::string& text) {
  return text.find_first_of(std::string("\0\r\n", 3)) == std::string::npos;
}

bool CZEVAR2CDownLoader::download() {
  if (!FileExists(exe_path_)) {
    last_error_ = "downloader not exists";
    return false;
  }
  if (url_.empty() || directory_.empty() || file_name_.empty()) {
    last_error_ = "down load paramers error";
    return false;
  }
  // The arguments travel as a list, so blanks and quotes reach the program
  // unchanged; line breaks and NUL have no place in a URL or a path and would
  // only forge lines in the log or cut an argument short.
  if (!IsSafeArgument(url_) || !IsSafeArgument(directory_) || !IsSafeArgument(file_name_)) {
    last_error_ = "down load paramers error";
    LogWrite(kLogError, "zevdownloader not started: a parameter holds NUL, CR or LF");
    return false;
  }

  // The CA file, like the other settings, may be changed at any time: it is
  // read for each download.
  std::string ca_file, reason;
  RegReadString(RegRoot::kLocalMachine, kTlsCaFileSettingKey, "", &ca_file);
  if (!ca_file.empty() && !IsSafeArgument(ca_file)) reason = "the path holds a line break";
  if (!ca_file.empty() && (!reason.empty() || !IsTrustedFile(ca_file, &reason))) {
    last_error_ = "TlsCaFile refused: " + reason;
    LogWrite(kLogError, "zevdownloader not started: %s", last_error_.c_str());
    return false;
  }
  std::vector<std::string> args = BuildArguments(exe_path_, url_, directory_, file_name_, max_size_);
  if (!ca_file.empty()) args.push_back("--ca-certificate=" + ca_file);
  LogWrite(kLogInfo, "%s %s%s", exe_path_.c_str(), BuildParameterText(url_, directory_, file_name_, max_size_).c_str(),
           ca_file.empty() ? "" : (" --ca-certificate=" + ca_file).c_str());
  std::unique_ptr<ProcessHandle> process = StartProcessArgv(args, StartOptions(), &reason);
  if (!process) {
    last_error_ = "down process error: " + std::to_string(ErrorNumberOf(reason));
    LogWrite(kLogError, "%s", reason.c_str());
    return false;
  }

  // timeout x 10 - 1 polls of 100 ms in 32-bit arithmetic: -1 and 0 both give
  // 4294967295 polls, which amounts to no limit. The limit is measured on the
  // clock, so a test can let it pass without waiting for it.
  const uint32_t polls = static_cast<uint32_t>(timeout_) * 10u - 1u;
  const int64_t limit_ms = static_cast<int64_t>(polls) * kPollMillis;
  const int64_t start_ms = clock_->MonotonicMillis();

  std::vector<Waitable*> objects = {process.get()};
  if (initialised_) objects.push_back(stop_event_.get());
  while (clock_->MonotonicMillis() - start_ms < limit_ms) {
    int which = WaitForAny(objects, kPollMillis);
    if (which == kWaitTimeout) continue;
    if (which == 0) break;
    if (which == 1) {
      EndAndReap(process.get());
      return false;
    }
    last_error_ = "down process error: " + std::to_string(static_cast<unsigned>(errno));
    EndAndReap(process.get());
    break;
  }

  int code = process->ExitCode();
  if (code == 0) return true;
  if (code == kStillActive) {
    EndAndReap(process.get());
    last_error_ = "download time out";
  } else if (code == downloader::kExitStopped) {
    last_error_ = "download task stoped";
  } else if (code == downloader::kExitTooLarge) {
    last_error_ = "download larger than declared size";
    LogWrite(kLogError, "download of %s refused: larger than the declared %lld bytes", url_.c_str(),
             static_cast<long long>(max_size_));
  } else {
    last_error_ = "down process ret:" + std::to_string(static_cast<uint32_t>(code));
  }
  return false;
}

}  // namespace zev
