// Helpers shared by the tests: a temporary folder that is removed afterwards,
// and a scope that points the common data folder (and with it the registry,
// the runtime folder and the logs) at a folder of the test's own.
#ifndef ZEV_TESTING_TEST_UTIL_H_
#define ZEV_TESTING_TEST_UTIL_H_

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/paths.h"

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
    ResetCommonDataDirForTesting();
  }
  ~ScopedCommonDataDir() {
    unsetenv("ZEV_COMMON_APPDATA");
    ResetCommonDataDirForTesting();
  }
  const std::string& path() const { return dir_.path(); }

 private:
  ScopedTempDir dir_;
};

#endif  // ZEV_TESTING_TEST_UTIL_H_
