// Helpers of the download tests that watch the downloader program run.
#ifndef ZEV_DOWNLOAD_DOWNLOAD_TEST_UTIL_H_
#define ZEV_DOWNLOAD_DOWNLOAD_TEST_UTIL_H_

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/paths.h"

namespace zev {

// Our own child running zevdownloader, or 0 when none appeared before the
// deadline. Only children of this process count, so other test programs that
// run beside this one do not disturb it.
inline pid_t AwaitChildDownloader(int timeout_ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const std::string self = std::to_string(getpid());
  do {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::string stat;
      if (!ReadFileToString("/proc/" + name + "/stat", &stat)) continue;
      // "pid (comm) state ppid ..."; comm may hold blanks, so cut at the last ')'.
      size_t close = stat.rfind(')');
      size_t open = stat.find('(');
      if (close == std::string::npos || open == std::string::npos) continue;
      if (stat.compare(open + 1, close - open - 1, "zevdownloader") != 0) continue;
      size_t ppid_at = stat.find(' ', close + 2);
      if (ppid_at == std::string::npos) continue;
      if (std::to_string(std::stol(stat.substr(ppid_at + 1))) == self) return std::stoi(name);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < deadline);
  return 0;
}

}  // namespace zev

#endif  // ZEV_DOWNLOAD_DOWNLOAD_TEST_UTIL_H_
