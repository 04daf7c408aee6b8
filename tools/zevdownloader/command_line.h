// Parsing of the zevdownloader command line:
//   zevdownloader URL -d DIR --file-allocation=X -o NAME [--max-size N]
//                 [--ca-certificate=FILE]
// in any order, each option at most once, plus the hidden --stall-seconds=N
// that tests use to shorten the stall limit. --max-size=N is read as well.
// --ca-certificate names the PEM file of the CA certificates that https
// servers are checked against instead of the system's store.
#ifndef ZEV_TOOLS_ZEVDOWNLOADER_COMMAND_LINE_H_
#define ZEV_TOOLS_ZEVDOWNLOADER_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace zev::downloader {

// Seconds without one byte per second after which a transfer fails.
constexpr long kDefaultStallSeconds = 60;

struct DownloadRequest {
  std::string url;
  std::string directory;
  std::string file_name;
  long stall_seconds = kDefaultStallSeconds;
  // The most bytes the file may have; 0: no limit.
  long long max_size = 0;
  // The CA certificates trusted for https; empty: the system's store.
  std::string ca_file;
};

// Parses `args` (argv without the program name) into `request`. Returns
// false with a one-line reason in `error` when an option is unknown or
// repeated, a value is missing, there is no URL or more than one, -d or -o
// is missing, or NAME is not a plain file name (empty, ".", ".." or with a
// '/'), or a number (--stall-seconds, --max-size) is not a positive decimal.
// The value of --file-allocation is accepted and ignored.
bool ParseCommandLine(const std::vector<std::string>& args, DownloadRequest* request, std::string* error);

// True for a name that stays inside its directory: not empty, not "." or
// "..", no '/' and no NUL.
bool IsPlainFileName(const std::string& name);

}  // namespace zev::downloader

#endif  // ZEV_TOOLS_ZEVDOWNLOADER_COMMAND_LINE_H_
