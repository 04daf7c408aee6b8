#include "download/zip_extractor.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "base/log.h"
#include "download/archive_library.h"
#include "download/archive_item_path.h"
#include "download/extract_sink.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace zev {

bool FreeDiskSpace(const std::string& path, uint64_t* free_bytes) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  std::string probe = path;
  for (;;) {
    struct statvfs info;
    if (statvfs(probe.c_str(), &info) == 0) {
      unsigned long long bytes = info.f_bavail;
      // f_bavail * f_frsize with saturation; a forged file system cannot wrap.
      *free_bytes = info.f_frsize && bytes > ~0ULL / info.f_frsize ? ~0ULL : bytes * info.f_frsize;
      return true;
    }
    if (errno != ENOENT && errno != ENOTDIR) return false;
    while (probe.size() > 1 && probe.back() == '/') probe.pop_back();
    size_t cut = probe.find_last_of('/');
    if (cut == std::string::npos) {
      probe = ".";
    } else if (cut == 0) {
      if (probe == "/") return false;
      probe = "/";
    } else {
      probe.erase(cut);
    }
  }
}

bool CZEVZipExtractor::init7zLib() {
  // What can fail is loading the library, or a build of it without 7z
  // support.
  ArchiveLibrary library;
  struct archive* probe = library.loaded() ? Archive().read_new() : nullptr;
  bool ok = probe && Archive().read_support_format_7zip(probe) == ARCHIVE_OK;
  if (probe) Archive().read_free(probe);
  initialised_ = ok;
  if (!ok) last_error_ = "init7zLib failed";
  return ok;
}

void CZEVZipExtractor::release() { initialised_ = false; }

bool CZEVZipExtractor::CheckSpaceAndTarget(const std::string& target, uint64_t required) {
  uint64_t free_bytes = 0;
  if (!FreeDiskSpace(target, &free_bytes)) {
    last_error_ = "GetDiskFreeSpaceEx failed for " + target + " , errno = " + std::to_string(static_cast<unsigned>(errno));
    return false;
  }
  if (required < free_bytes) {
    if (access(target.c_str(), F_OK) == 0 || CreateDirectories(target)) return true;
    last_error_ = "Failed to create decompression path: " + target + ", skip";
    return false;
  }
  last_error_ = target + " has no enough space for requirement: " + SizeToText(required) + " " + SizeToText(free_bytes);
  return false;
}

bool CZEVZipExtractor::extractZip(const std::string& archive, const std::string& target) {
  if (!initialised_) return false;
  outcome_ = ArchiveOutcome();
  // O_NONBLOCK: a FIFO put at the path must not hold the caller; it is
  // refused below as not a regular file.
  const int fd = open(archive.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const std::string text = "Error: Can not open archive file " + archive +
                             (fd < 0 && errno == ELOOP ? " (a link)" : fd < 0 ? "" : " (not a regular file)");
    LogWrite(kLogError, "%s", text.c_str());
    outcome_.messages.push_back(text);
    if (fd >= 0) close(fd);
    last_error_ = "view zip content failed";
    return false;
  }
  const bool ok = Unpack(fd, archive, target);
  close(fd);
  return ok;
}

bool CZEVZipExtractor::extractZipFromFd(int fd, const std::string& name, const std::string& target) {
  if (!initialised_) return false;
  outcome_ = ArchiveOutcome();
  return Unpack(fd, name, target);
}

bool CZEVZipExtractor::Unpack(int fd, const std::string& name, const std::string& target) {
  ArchiveInput input;
  input.path = name;
  input.fd = fd;
  uint64_t total = 0;
  if (fd < 0 || !ListArchive(input, &total, &outcome_)) {
    last_error_ = "view zip content failed";
    return false;
  }
  if (listed_hook_) listed_hook_();
  if (!CheckSpaceAndTarget(target, total)) {
    LogWrite(kLogError, "%s", last_error_.c_str());
    return false;
  }
  DirectorySink sink(target);
  if (!sink.Open() || !ExtractArchive(input, &sink, stop_, &outcome_)) {
    if (!sink.error().empty() && outcome_.messages.empty()) outcome_.messages.push_back(sink.error());
    last_error_ = "extract zip failed:" + name;
    LogWrite(kLogError, "%s", last_error_.c_str());
    return false;
  }
  return true;
}

}  // namespace zev
