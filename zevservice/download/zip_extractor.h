// CZEVZipExtractor: measures a 7z package, checks the free disk space, makes
// the target folder and unpacks the package into it, keeping a last error
// text. Held by the download task manager and by the platform built-in
// strategy, one object each.
#ifndef ZEV_DOWNLOAD_ZIP_EXTRACTOR_H_
#define ZEV_DOWNLOAD_ZIP_EXTRACTOR_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "download/archive_engine.h"

namespace zev {

class CZEVZipExtractor {
 public:
  CZEVZipExtractor() = default;
  CZEVZipExtractor(const CZEVZipExtractor&) = delete;
  CZEVZipExtractor& operator=(const CZEVZipExtractor&) = delete;

  // Makes the 7z reader ready. Calling it again is harmless. On failure the
  // last error becomes "init7zLib failed" and the object stays uninitialised.
  bool init7zLib();

  // Unpacks `archive` (read as 7z whatever its name) into `target`, which is
  // made with its missing parents. False, with the last error set, when the
  // object is not initialised (no text then), the archive cannot be listed
  // ("view zip content failed"), the free space is not strictly more than
  // the unpacked size or the folder cannot be made (see CheckSpaceAndTarget),
  // or an item fails ("extract zip failed:" + archive). Files unpacked before
  // a failure stay.
  //
  // The package is opened once, not through a link at its last part, and
  // must be a regular file ("view zip content failed" otherwise); the
  // listing for the space check and the extraction both read that one open
  // file (see extractZipFromFd).
  bool extractZip(const std::string& archive, const std::string& target);

  // extractZip on a package the caller has open as `fd` (a regular file),
  // for callers that check the package (its owner, its hash) on the same
  // open file they unpack. The listing, the space check and the extraction
  // all read `fd` from its start, so that a file renamed over the package's
  // path meanwhile changes nothing. `fd` stays open and its offset moves;
  // `name` stands for the package in messages. Calls on one descriptor must
  // not overlap.
  bool extractZipFromFd(int fd, const std::string& name, const std::string& target);

  bool isInitialised() const { return initialised_; }
  std::string getLastError() const { return last_error_; }

  // Makes this object uninitialised; other extractors are not affected.
  void release();

  // An owner's stop flag, read between data blocks; once true a running
  // extraction ends and fails. Null (the default) means none. The flag must
  // outlive the extractor or be reset first.
  void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

  // Details of the last extractZip's listing or extraction (item results,
  // "Password is not defined"); those texts also go to the log.
  const ArchiveOutcome& lastOutcome() const { return outcome_; }

  // The space check and folder creation of extractZip: true when `required`
  // is strictly less than FreeDiskSpace(target) and the target exists or
  // could be made; otherwise false with the last error set.
  bool CheckSpaceAndTarget(const std::string& target, uint64_t required);

  // Runs `hook` between the listing and the space check of every
  // extraction, so that a test can change the package's path there. Empty
  // (the default) means none.
  void SetListedHookForTesting(std::function<void()> hook) { listed_hook_ = std::move(hook); }

 private:
  // Lists, checks and unpacks the open package; the caller has reset the outcome.
  bool Unpack(int fd, const std::string& name, const std::string& target);

  bool initialised_ = false;
  std::string last_error_;
  const std::atomic<bool>* stop_ = nullptr;  // not owned
  ArchiveOutcome outcome_;
  std::function<void()> listed_hook_;
};

// Bytes available to the caller on the file system of `path` or, when it
// does not exist yet, of its nearest existing parent. False when none can be
// asked (errno tells why).
bool FreeDiskSpace(const std::string& path, uint64_t* free_bytes);

}  // namespace zev

#endif  // ZEV_DOWNLOAD_ZIP_EXTRACTOR_H_
