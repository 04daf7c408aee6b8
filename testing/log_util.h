// Reading the process log from a test: the log is flushed first, so a line
// logged before the call is either in the file or was never written.
#ifndef ZEV_TESTING_LOG_UTIL_H_
#define ZEV_TESTING_LOG_UTIL_H_

#include <string>

#include "base/log.h"
#include "platform/paths.h"

namespace zev {

inline bool LogFileContains(const std::string& path, const std::string& text) {
  LogFlush();
  std::string data;
  return ReadFileToString(path, &data) && data.find(text) != std::string::npos;
}

}  // namespace zev

#endif  // ZEV_TESTING_LOG_UTIL_H_
