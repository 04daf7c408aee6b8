#include "tools/zevdownloader/command_line.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace zev::downloader {

namespace {

constexpr char kFileAllocation[] = "--file-allocation=";
constexpr char kStallSeconds[] = "--stall-seconds=";
constexpr char kMaxSize[] = "--max-size";
constexpr char kCaCertificate[] = "--ca-certificate=";

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

template <typename T>
bool ParsePositive(const std::string& text, T* number) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno != 0 || value <= 0 || value > std::numeric_limits<T>::max()) return false;
  *number = static_cast<T>(value);
  return true;
}

}  // namespace

bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool ParseCommandLine(const std::vector<std::string>& args, DownloadRequest* request, std::string* error) {
  bool have_url = false, have_dir = false, have_name = false, have_alloc = false, have_stall = false;
  bool have_max = false, have_ca = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-d" || arg == "-o") {
      bool& seen = arg == "-d" ? have_dir : have_name;
      if (seen) {
        *error = "option " + arg + " given twice";
        return false;
      }
      if (i + 1 >= args.size()) {
        *error = "option " + arg + " needs a value";
        return false;
      }
      seen = true;
      (arg == "-d" ? request->directory : request->file_name) = args[++i];
    } else if (StartsWith(arg, kFileAllocation)) {
      if (have_alloc) {
        *error = "option --file-allocation given twice";
        return false;
      }
      have_alloc = true;
    } else if (StartsWith(arg, kStallSeconds)) {
      if (have_stall) {
        *error = "option --stall-seconds given twice";
        return false;
      }
      if (!ParsePositive(arg.substr(std::char_traits<char>::length(kStallSeconds)), &request->stall_seconds)) {
        *error = "bad value in " + arg;
        return false;
      }
      have_stall = true;
    } else if (arg == kMaxSize || StartsWith(arg, "--max-size=")) {
      if (have_max) {
        *error = "option --max-size given twice";
        return false;
      }
      if (arg == kMaxSize && i + 1 >= args.size()) {
        *error = "option --max-size needs a value";
        return false;
      }
      const std::string value = arg == kMaxSize ? args[++i] : arg.substr(std::char_traits<char>::length(kMaxSize) + 1);
      if (!ParsePositive(value, &request->max_size)) {
        *error = "bad value for --max-size: " + value;
        return false;
      }
      have_max = true;
    } else if (StartsWith(arg, kCaCertificate)) {
      request->ca_file = arg.substr(std::char_traits<char>::length(kCaCertificate));
      if (have_ca || request->ca_file.empty()) {
        *error = have_ca ? "option --ca-certificate given twice" : "option --ca-certificate needs a value";
        return false;
      }
      have_ca = true;
    } else if (!arg.empty() && arg[0] == '-') {
      *error = "unknown option " + arg;
      return false;
    } else {
      if (have_url) {
        *error = "more than one URL";
        return false;
      }
      if (arg.empty()) {
        *error = "empty URL";
        return false;
      }
      have_url = true;
      request->url = arg;
    }
  }
  if (!have_url) {
    *error = "no URL";
    return false;
  }
  if (!have_dir || request->directory.empty()) {
    *error = "no target directory (-d)";
    return false;
  }
  if (!have_name) {
    *error = "no target file name (-o)";
    return false;
  }
  if (!IsPlainFileName(request->file_name)) {
    *error = "target file name is not a plain file name";
    return false;
  }
  return true;
}

}  // namespace zev::downloader
