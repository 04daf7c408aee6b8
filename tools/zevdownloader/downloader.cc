#include "tools/zevdownloader/downloader.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "contract/downloader_exit_codes.h"

namespace zev::downloader {

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

// The percent-decoded path of a file: URL; a code of
// contract/downloader_exit_codes.h, with a reason unless kExitOk. libcurl's
// own parser would also take 127.0.0.1 as the host, so the host is read here
// first.
int LocalSourcePath(const std::string& url, std::string* path, std::string* why) {
  const std::string rest = url.substr(std::strlen("file:"));
  if (rest.compare(0, 2, "//") == 0) {
    const size_t slash = rest.find('/', 2);
    const std::string host = rest.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
    if (!host.empty() && strcasecmp(host.c_str(), "localhost") != 0) {
      *why = "file: URL names the host \"" + host + "\"; only local files are read";
      return kExitSource;
    }
  }
  CURLU* parsed = curl_url();
  char* decoded = nullptr;
  const bool ok = parsed != nullptr && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
                  curl_url_get(parsed, CURLUPART_PATH, &decoded, CURLU_URLDECODE) == CURLUE_OK;
  if (ok) *path = decoded;
  curl_free(decoded);
  curl_url_cleanup(parsed);
  if (!ok || path->empty() || (*path)[0] != '/' || path->find('\0') != std::string::npos) {
    *why = "malformed file: URL " + url;
    return kExitUsage;
  }
  return kExitOk;
}

std::string ModeText(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Opens `path` for reading when every user could read it: a regular file,
// readable by others, every folder above it searchable by others. -1 with a
// reason otherwise. The file checked is the one opened, found again through
// its descriptor, so that a link or a rename on the way cannot swap in
// another file after the check.
int OpenReadableByAll(const std::string& path, struct stat* st, std::string* why) {
  // Looked at before the open: opening a fifo or a device may block or act.
  if (stat(path.c_str(), st) != 0) {
    *why = "cannot read " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (!S_ISREG(st->st_mode)) {
    *why = path + " is not a regular file";
    return -1;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *why = "cannot read " + path + ": " + std::strerror(errno);
    return -1;
  }
  char real[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(self.c_str(), real, sizeof(real) - 1);
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    *why = path + " is not a regular file";
  } else if ((st->st_mode & S_IROTH) == 0) {
    *why = path + " is not readable by every user (mode " + ModeText(st->st_mode) + ")";
  } else if (length <= 0 || real[0] != '/') {
    *why = "cannot find the folders of " + path;
  } else {
    const std::string found(real, static_cast<size_t>(length));
    why->clear();
    for (size_t slash = 0; slash != std::string::npos && why->empty(); slash = found.find('/', slash + 1)) {
      const std::string folder = slash == 0 ? "/" : found.substr(0, slash);
      struct stat dir;
      if (stat(folder.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode) || (dir.st_mode & S_IXOTH) == 0)
        *why = path + " lies in " + folder + ", which not every user may search";
    }
    if (why->empty()) return fd;
  }
  close(fd);
  return -1;
}

}  // namespace

Downloader::Downloader(DownloadRequest request, int stop_fd)
    : request_(std::move(request)),
      stop_fd_(stop_fd),
      final_path_(request_.directory + "/" + request_.file_name),
      part_path_(final_path_ + ".part"),
      part_name_(request_.file_name + ".part"),
      local_(HasSchemePrefix(request_.url, "file:")),
      resumable_(HasSchemePrefix(request_.url, "http://") || HasSchemePrefix(request_.url, "https://")) {}

Downloader::~Downloader() {
  if (fd_ >= 0) close(fd_);
  if (dir_fd_ >= 0) close(dir_fd_);
}

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
  dir_fd_ = open(request_.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd_ < 0) {
    Fail(kExitFolder, "cannot open directory " + request_.directory + ": " + std::strerror(errno), false);
    return exit_code_;
  }
  fd_ = OpenPart();
  if (fd_ < 0) {
    Fail(kExitWrite, "cannot open " + part_path_ + ": " + std::strerror(errno), false);
    return exit_code_;
  }
  offset_ = lseek(fd_, 0, SEEK_END);
  if (offset_ < 0) offset_ = 0;

  Attempt attempt = local_ ? CopyLocal() : Fetch();
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
  const bool stat_ok = fstat(fd_, &st) == 0;
  bool has_bytes = stat_ok && st.st_size > 0;
  // A resumed part that no body byte extended is checked here.
  if (exit_code_ == kExitOk && stat_ok) WithinLimit(st.st_size);
  if (close(fd_) != 0 && exit_code_ == kExitOk) {
    Fail(errno == ENOSPC || errno == EDQUOT ? kExitDiskFull : kExitWrite,
         "cannot write " + part_path_ + ": " + std::strerror(errno), false);
  }
  fd_ = -1;
  if (exit_code_ == kExitOk) {
    // Within the folder opened at the start: a link put in place of a
    // folder on the way meanwhile changes nothing.
    if (renameat(dir_fd_, part_name_.c_str(), dir_fd_, request_.file_name.c_str()) == 0) return kExitOk;
    Fail(kExitRename, "cannot rename " + part_path_ + ": " + std::strerror(errno), false);
  }
  if (!(keep_part_ && has_bytes)) unlinkat(dir_fd_, part_name_.c_str(), 0);
  return exit_code_;
}

// A partial file is only ever one this program made: whatever else sits at
// its name (a link to some other file, a second name of one, another user's
// file) is removed, never written through, and the file is made anew.
int Downloader::OpenPart() {
  const char* name = part_name_.c_str();
  // A file: source is local and cheap to read again, so only http(s) resumes.
  if (resumable_) {
    // O_NONBLOCK: a fifo at the name must not hold the open.
    const int fd = openat(dir_fd_, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
      struct stat st;
      if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1 &&
          fchmod(fd, 0600) == 0 && fcntl(fd, F_SETFL, 0) == 0) {
        return fd;
      }
      close(fd);
    }
  }
  if (unlinkat(dir_fd_, name, 0) != 0 && errno != ENOENT) return -1;
  return openat(dir_fd_, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

Downloader::Attempt Downloader::CopyLocal() {
  std::string path, why;
  const int code = LocalSourcePath(request_.url, &path, &why);
  if (code != kExitOk) {
    Fail(code, why, false);
    return Attempt::kFailed;
  }
  struct stat st;
  const int source = OpenReadableByAll(path, &st, &why);
  if (source < 0) {
    Fail(kExitSource, why, false);
    return Attempt::kFailed;
  }
  Attempt result = WithinLimit(st.st_size) && HasRoomFor(st.st_size) ? Attempt::kDone : Attempt::kFailed;
  long long copied = 0;
  std::vector<char> buffer(kReceiveBuffer);
  while (result == Attempt::kDone) {
    struct pollfd stop = {stop_fd_, POLLIN, 0};
    if (stop_fd_ >= 0 && poll(&stop, 1, 0) > 0) {
      Fail(kExitStopped, "stopped", false);
      result = Attempt::kFailed;
      break;
    }
    const ssize_t n = read(source, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(kExitSource, "cannot read " + path + ": " + std::strerror(errno), false);
      result = Attempt::kFailed;
    } else if (!WithinLimit(copied + n)) {
      // The file grew after it was measured.
      result = Attempt::kFailed;
    } else if (!WriteAll(fd_, buffer.data(), static_cast<size_t>(n))) {
      const int err = errno;
      Fail(err == ENOSPC || err == EDQUOT ? kExitDiskFull : kExitWrite,
           "cannot write " + part_path_ + ": " + std::strerror(err), false);
      result = Attempt::kFailed;
    } else {
      copied += n;
    }
  }
  close(source);
  return result;
}

bool Downloader::HasRoomFor(long long length) {
  struct statvfs fs;
  if (length <= 0 || fstatvfs(fd_, &fs) != 0) return true;
  const unsigned long long available = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
  if (static_cast<unsigned long long>(length) <= available) return true;
  Fail(kExitDiskFull,
       "not enough space in " + request_.directory + ": " + std::to_string(length) + " bytes needed, " +
           std::to_string(available) + " free",
       false);
  return false;
}

bool Downloader::WithinLimit(long long length) {
  if (request_.max_size <= 0 || length <= request_.max_size) return true;
  Fail(kExitTooLarge,
       request_.url + " is larger than its limit of " + std::to_string(request_.max_size) + " bytes", false);
  return false;
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
  // file: URLs never reach libcurl (CopyLocal reads them).
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  if (!request_.ca_file.empty()) {
    curl_easy_setopt(e, CURLOPT_CAINFO, request_.ca_file.c_str());
    curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
  }
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
  size_ = offset_;
  curl_off_t length = -1;
  curl_easy_getinfo(e, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  if (length > 0 && !WithinLimit(size_ + static_cast<long long>(length))) return false;
  return HasRoomFor(static_cast<long long>(length));
}

size_t Downloader::OnBody(char* data, size_t size, size_t count, void* self) {
  auto* d = static_cast<Downloader*>(self);
  size_t length = size * count;
  d->last_activity_ = std::chrono::steady_clock::now();
  if (!d->body_started_ && !d->StartBody()) return 0;
  // An endless body or one that outgrows its announced length ends here.
  if (!d->WithinLimit(d->size_ + static_cast<long long>(length))) return 0;
  if (!WriteAll(d->fd_, data, length)) {
    int err = errno;
    d->Fail(err == ENOSPC || err == EDQUOT ? kExitDiskFull : kExitWrite,
            "cannot write " + d->part_path_ + ": " + std::strerror(err), false);
    return 0;
  }
  d->size_ += static_cast<long long>(length);
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

}  // namespace zev::downloader
