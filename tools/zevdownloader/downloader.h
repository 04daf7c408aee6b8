// One download of one URL into one file, the work of the zevdownloader
// program. The body streams straight into DIR/NAME.part, which becomes
// DIR/NAME by a rename once complete, so that NAME never names a partial
// file. Both stay private (0600): the file is the caller's to check before
// anyone else may read it.
#ifndef ZEV_TOOLS_ZEVDOWNLOADER_DOWNLOADER_H_
#define ZEV_TOOLS_ZEVDOWNLOADER_DOWNLOADER_H_

#include <curl/curl.h>
#include <sys/types.h>

#include <chrono>
#include <string>

#include "tools/zevdownloader/command_line.h"

namespace zev::downloader {

class Downloader {
 public:
  // `stop_fd` becomes readable when the download must stop (a signalfd for
  // SIGTERM and SIGINT); -1 for none. It is not owned and must stay open
  // while Run runs. curl_global_init must have been called.
  Downloader(DownloadRequest request, int stop_fd);
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Runs the download on the calling thread and answers one of the codes of
  // contract/downloader_exit_codes.h; on failure error() holds a one-line
  // reason.
  //
  // The directory is created with its parents. NAME.part is made anew with
  // O_EXCL and O_NOFOLLOW, mode 0600; whatever was at its place is removed
  // first, never written through. For http and https an existing NAME.part
  // that is a regular file of this user with one link is resumed instead,
  // with a Range request: a 206 whose Content-Range starts at the partial
  // file's end appends, a 200 starts again from zero, a 416 or a 206 at
  // another offset fetches the whole file again. A failure removes
  // NAME.part, except when an http(s) transfer broke off (network failure,
  // stall, stop) with bytes already written: then it stays for the next
  // run.
  //
  // A file: URL is read here, not by libcurl. Its host must be empty or
  // "localhost", and it must name a regular file that every user could
  // read: readable by others, every folder above it searchable by others
  // (as the file opened is found, links resolved). Anything else fails with
  // kExitSource, so that root never copies out a file others may not read.
  //
  // With a size limit, a file that would grow beyond it fails with
  // kExitTooLarge as soon as that shows (an announced length or a file:
  // source beyond it, or the first block that would cross it), before
  // anything beyond the limit is written; the partial file is removed.
  int Run();

  const std::string& error() const { return error_; }

 private:
  // What one request came to; kRestart asks for the whole file again.
  enum class Attempt { kDone, kFailed, kRestart };

  Attempt Fetch();
  // Copies the file of a file: URL into the partial file.
  Attempt CopyLocal();
  // Opens NAME.part as Run describes; -1 with errno on failure.
  int OpenPart();
  bool StartBody();
  // False, failing with kExitDiskFull, when the target's file system has
  // less free space than `length` bytes; true for an unknown length (<= 0).
  bool HasRoomFor(long long length);
  // False, failing with kExitTooLarge, when a file of `length` bytes would
  // pass the size limit.
  bool WithinLimit(long long length);
  void Fail(int code, const std::string& reason, bool keep_part);
  int Finish();

  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);

  const DownloadRequest request_;
  const int stop_fd_;
  const std::string final_path_;
  const std::string part_path_;
  const std::string part_name_;  // NAME.part, relative to dir_fd_
  const bool local_;      // a file: URL
  const bool resumable_;  // http or https

  int dir_fd_ = -1;  // the target directory, open for the whole run

  // State of the request under way. Everything below is used on the thread
  // that runs Run only: libcurl calls OnBody and OnHeader from inside
  // curl_multi_perform.
  int fd_ = -1;          // the open partial file
  off_t offset_ = 0;     // bytes of the partial file this request extends
  long long size_ = 0;   // bytes in the partial file once the body has started
  bool body_started_ = false;
  bool restart_ = false;  // the answer cannot extend the partial file
  long long content_range_start_ = -1;  // of the last response's headers
  std::chrono::steady_clock::time_point last_activity_;  // of the last byte received
  CURL* curl_ = nullptr;  // the easy handle of the request under way, not owned

  int exit_code_ = 0;
  bool keep_part_ = false;
  std::string error_;
};

}  // namespace zev::downloader

#endif  // ZEV_TOOLS_ZEVDOWNLOADER_DOWNLOADER_H_
