// Helpers shared by the tests: a temporary folder that is removed afterwards,
// and a scope that points the common data folder (and with it the registry,
// the runtime folder and the logs) at a folder of the test's own.
#ifndef ZEV_TESTING_TEST_UTIL_H_
#define ZEV_TESTING_TEST_UTIL_H_

#include <dirent.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/paths.h"

namespace zev {

class ScopedTempDir {
 public:
  ScopedTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zevtest.XXXXXX").string();
    char* made = mkdtemp(&pattern[0]);
    path_ = made ? made : "";
  }
  ~ScopedTempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string Sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class ScopedCommonDataDir {
 public:
  ScopedCommonDataDir() {
    setenv("ZEV_COMMON_APPDATA", dir_.path().c_str(), 1);
    ForgetCommonDataDir();
  }
  ~ScopedCommonDataDir() {
    unsetenv("ZEV_COMMON_APPDATA");
    ForgetCommonDataDir();
  }
  const std::string& path() const { return dir_.path(); }

 private:
  ScopedTempDir dir_;
};

// Waits until the file holds `text` (the log is written by a background
// thread). False when it did not appear within the time.
inline bool WaitForFileContaining(const std::string& path, const std::string& text, int timeout_ms = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    std::string data;
    if (ReadFileToString(path, &data) && data.find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Threads of this process.
inline int ThreadCount() {
  int n = 0;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
  closedir(dir);
  return n;
}

// Threads of this process named `name`.
inline int ThreadsNamed(const std::string& name) {
  int count = 0;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string comm;
    const std::string path = std::string("/proc/self/task/") + entry->d_name + "/comm";
    if (ReadFileToString(path, &comm) && comm == name + "\n") ++count;
  }
  closedir(dir);
  return count;
}

// Whether the process comes to have `n` threads within 5 s: a thread whose
// join has returned stays listed for a moment, until the kernel releases it.
inline bool ThreadCountSettlesAt(int n) {
  for (int i = 0; i < 5000; ++i) {
    if (ThreadCount() == n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// The thread count once it has stayed the same for 50 ms: threads that a
// previous test joined may still be listed when this one begins.
inline int SettledThreadCount() {
  int last = ThreadCount();
  for (int steady = 0, i = 0; steady < 10 && i < 1000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int now = ThreadCount();
    steady = now == last ? steady + 1 : 0;
    last = now;
  }
  return last;
}

}  // namespace zev

#endif  // ZEV_TESTING_TEST_UTIL_H_
