#include "tools/zevdownloader/downloader.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "tools/zevdownloader/exit_codes.h"

namespace zevdownloader {

namespace {

// Large enough to keep the number of write calls low on a fast link, small
// enough to keep the resident size small.
constexpr long kReceiveBuffer = 128 * 1024;
constexpr long kMaxRedirects = 10;
// How often the transfer loop looks at the stall limit when nothing happens.
constexpr int kPollMs = 250;

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

bool HasSchemePrefix(const std::string& url, const char* prefix) {
  return strncasecmp(url.c_str(), prefix, std::strlen(prefix)) == 0;
}

// mkdir -p: every missing component is created with mode 0755.
bool MakeDirectories(const std::string& path) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    size_t next = path.find('/', pos + 1);
    partial = path.substr(0, next);
    pos = next;
    if (partial.empty() || partial == "/") continue;
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

Downloader::Downloader(DownloadRequest request, int stop_fd)
    : request_(std::move(request)),
      stop_fd_(stop_fd),
      final_path_(request_.directory + "/" + request_.file_name),
      part_path_(final_path_ + ".part"),
      resumable_(HasSchemePrefix(request_.url, "http://") || HasSchemePrefix(request_.url, "https://")) {}

void Downloader::Fail(int code, const std::string& reason, bool keep_part) {
  exit_code_ = code;
  keep_part_ = keep_part;
  error_ = OneLine(reason);
}

int Downloader::Run() {
  if (!MakeDirectories(request_.directory)) {
    Fail(kExitFolder, "cannot create directory " + request_.directory + ": " + std::strerror(errno), false);
    return exit_code_;
  }
  // A file: source is local and cheap to read again, so only http(s) resumes.
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (resumable_ ? 0 : O_TRUNC);
  fd_ = open(part_path_.c_str(), flags, 0644);
  if (fd_ < 0) {
    Fail(kExitWrite, "cannot open " + part_path_ + ": " + std::strerror(errno), false);
    return exit_code_;
  }
  offset_ = lseek(fd_, 0, SEEK_END);
  if (offset_ < 0) offset_ = 0;

  Attempt attempt = Fetch();
  if (attempt == Attempt::kRestart) {
    if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0) {
      Fail(kExitWrite, "cannot truncate " + part_path_ + ": " + std::strerror(errno), false);
    } else {
      offset_ = 0;
      attempt = Fetch();
      // A full request never asks for a restart; treat one as a failure.
      if (attempt == Attempt::kRestart) Fail(kExitSource, "server does not answer a full request", false);
    }
  }
  if (attempt == Attempt::kDone) exit_code_ = kExitOk;
  return Finish();
}

int Downloader::Finish() {
  struct stat st;
  bool has_bytes = fstat(fd_, &st) == 0 && st.st_size > 0;
  if (close(fd_) != 0 && exit_code_ == kExitOk) {
    Fail(errno == ENOSPC || errno == EDQUOT ? kExitDiskFull : kExitWrite,
         "cannot write " + part_path_ + ": " + std::strerror(errno), false);
  }
  fd_ = -1;
  if (exit_code_ == kExitOk) {
    if (rename(part_path_.c_str(), final_path_.c_str()) == 0) return kExitOk;
    Fail(kExitRename, "cannot rename " + part_path_ + ": " + std::strerror(errno), false);
  }
  if (!(keep_part_ && has_bytes)) unlink(part_path_.c_str());
  return exit_code_;
}

Downloader::Attempt Downloader::Fetch() {
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!easy || !multi) {
    Fail(kExitNetwork, "cannot initialise libcurl", true);
    return Attempt::kFailed;
  }
  CURL* e = easy.get();
  char curl_error[CURL_ERROR_SIZE] = {0};
  std::string range = std::to_string(static_cast<long long>(offset_)) + "-";
  curl_easy_setopt(e, CURLOPT_URL, request_.url.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https,file");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, request_.stall_seconds);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBuffer);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, curl_error);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Downloader::OnBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Downloader::OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
  // CURLOPT_RANGE rather than CURLOPT_RESUME_FROM: libcurl would refuse a 200
  // answer to a resume, where we want to start again from zero.
  if (offset_ > 0) curl_easy_setopt(e, CURLOPT_RANGE, range.c_str());

  curl_ = e;
  body_started_ = false;
  content_range_start_ = -1;
  exit_code_ = kExitOk;
  restart_ = false;
  curl_multi_add_handle(multi.get(), e);
  int running = 1;
  bool stopped = false;
  bool stalled = false;
  const auto stall_limit = std::chrono::seconds(request_.stall_seconds);
  last_activity_ = std::chrono::steady_clock::now();
  while (running > 0) {
    CURLMcode mc = curl_multi_perform(multi.get(), &running);
    if (mc != CURLM_OK) {
      Fail(kExitNetwork, curl_multi_strerror(mc), true);
      break;
    }
    if (running == 0) break;
    struct curl_waitfd stop = {stop_fd_, CURL_WAIT_POLLIN, 0};
    mc = curl_multi_poll(multi.get(), stop_fd_ >= 0 ? &stop : nullptr, stop_fd_ >= 0 ? 1 : 0, kPollMs, nullptr);
    if (mc != CURLM_OK) {
      Fail(kExitNetwork, curl_multi_strerror(mc), true);
      break;
    }
    if (stop.revents != 0) {
      stopped = true;
      break;
    }
    // libcurl's low-speed check averages over a few seconds, so a transfer
    // that goes silent after a burst would outlive the limit by that much;
    // silence alone is measured here, the trickle below 1 byte/s by libcurl.
    if (std::chrono::steady_clock::now() - last_activity_ >= stall_limit) {
      stalled = true;
      break;
    }
  }
  CURLcode rc = CURLE_OK;
  bool finished = false;
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left)) {
    if (msg->msg == CURLMSG_DONE) {
      rc = msg->data.result;
      finished = true;
    }
  }
  long status = 0;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  curl_multi_remove_handle(multi.get(), e);
  curl_ = nullptr;

  if (stopped) {
    Fail(kExitStopped, "stopped", true);
    return Attempt::kFailed;
  }
  if (restart_) return Attempt::kRestart;
  if (stalled) {
    Fail(kExitStall, "no data for " + std::to_string(request_.stall_seconds) + " seconds", true);
    return Attempt::kFailed;
  }
  if (!finished) {
    if (exit_code_ == kExitOk) Fail(kExitNetwork, "transfer did not finish", true);
    return Attempt::kFailed;
  }
  switch (rc) {
    case CURLE_OK:
      // An empty whole-file answer to a Range request never reached OnBody.
      if (!body_started_ && offset_ > 0 && status != 206) {
        if (ftruncate(fd_, 0) != 0) {
          Fail(kExitWrite, "cannot truncate " + part_path_ + ": " + std::strerror(errno), false);
          return Attempt::kFailed;
        }
      }
      return Attempt::kDone;
    case CURLE_HTTP_RETURNED_ERROR:
      if (status == 416 && offset_ > 0) return Attempt::kRestart;
      Fail(kExitSource, "HTTP status " + std::to_string(status), false);
      return Attempt::kFailed;
    case CURLE_WRITE_ERROR:
      if (exit_code_ == kExitOk) Fail(kExitWrite, curl_error[0] ? curl_error : "write error", false);
      return Attempt::kFailed;
    case CURLE_UNSUPPORTED_PROTOCOL:
      Fail(kExitProtocol, curl_error[0] ? curl_error : "protocol not allowed", false);
      return Attempt::kFailed;
    case CURLE_URL_MALFORMAT:
      Fail(kExitUsage, curl_error[0] ? curl_error : "malformed URL", false);
      return Attempt::kFailed;
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_FILE_COULDNT_READ_FILE:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_REMOTE_ACCESS_DENIED:
      Fail(kExitSource, curl_error[0] ? curl_error : curl_easy_strerror(rc), false);
      return Attempt::kFailed;
    case CURLE_OPERATION_TIMEDOUT:
      Fail(kExitStall, curl_error[0] ? curl_error : "transfer stalled", true);
      return Attempt::kFailed;
    case CURLE_RANGE_ERROR:
    case CURLE_BAD_DOWNLOAD_RESUME:
      if (offset_ > 0) return Attempt::kRestart;
      [[fallthrough]];
    default:
      Fail(kExitNetwork, curl_error[0] ? curl_error : curl_easy_strerror(rc), true);
      return Attempt::kFailed;
  }
}

// Called before the first byte of the final answer's body is written: decides
// whether that body extends the partial file, and checks the free space.
bool Downloader::StartBody() {
  body_started_ = true;
  CURL* e = curl_;
  long status = 0;
  curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
  if (offset_ > 0) {
    if (status == 206) {
      if (content_range_start_ != static_cast<long long>(offset_)) {
        restart_ = true;
        return false;
      }
    } else {
      // The server ignored the Range: its body is the whole file.
      if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0) {
        Fail(kExitWrite, "cannot truncate " + part_path_ + ": " + std::strerror(errno), false);
        return false;
      }
      offset_ = 0;
    }
  }
  curl_off_t length = -1;
  curl_easy_getinfo(e, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  struct statvfs fs;
  if (length > 0 && fstatvfs(fd_, &fs) == 0) {
    unsigned long long available = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
    if (static_cast<unsigned long long>(length) > available) {
      Fail(kExitDiskFull,
           "not enough space in " + request_.directory + ": " + std::to_string(length) + " bytes needed, " +
               std::to_string(available) + " free",
           false);
      return false;
    }
  }
  return true;
}

size_t Downloader::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* d = static_cast<Downloader*>(self);
  size_t length = size * count;
  d->last_activity_ = std::chrono::steady_clock::now();
  if (!d->body_started_ && !d->StartBody()) return 0;
  if (!WriteAll(d->fd_, data, length)) {
    int err = errno;
    d->Fail(err == ENOSPC || err == EDQUOT ? kExitDiskFull : kExitWrite,
            "cannot write " + d->part_path_ + ": " + std::strerror(err), false);
    return 0;
  }
  return length;
}

size_t Downloader::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* d = static_cast<Downloader*>(self);
  size_t length = size * count;
  d->last_activity_ = std::chrono::steady_clock::now();
  // Each response of a redirect chain starts with its status line.
  if (length >= 5 && std::strncmp(data, "HTTP/", 5) == 0) {
    d->content_range_start_ = -1;
  } else {
    static constexpr char kContentRange[] = "content-range:";
    constexpr size_t kPrefix = sizeof(kContentRange) - 1;
    if (length > kPrefix && strncasecmp(data, kContentRange, kPrefix) == 0) {
      std::string value(data + kPrefix, length - kPrefix);
      size_t bytes = value.find("bytes");
      if (bytes != std::string::npos) {
        const char* start = value.c_str() + bytes + 5;
        char* end = nullptr;
        errno = 0;
        long long first = std::strtoll(start, &end, 10);
        if (errno == 0 && end != start && *end == '-') d->content_range_start_ = first;
      }
    }
  }
  return length;
}

}  // namespace zevdownloader
