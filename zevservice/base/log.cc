#include "base/log.h"
#include "base/metrics.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/file_modes.h"
#include "platform/paths.h"

namespace zev {

namespace {

pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// getpid() is a system call in current glibc; the id is taken once and again
// in a forked child.
std::atomic<unsigned> cached_pid{0};
void ForgetPid() { cached_pid.store(0); }
unsigned ProcessId() {
  unsigned pid = cached_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    static const int registered = pthread_atfork(nullptr, nullptr, ForgetPid);
    (void)registered;
    pid = static_cast<unsigned>(getpid());
    cached_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

// Appends `text` left-aligned in a field of `width` (longer text is kept whole).
void AppendPadded(std::string* out, const std::string& text, size_t width) {
  out->append(text);
  if (text.size() < width) out->append(width - text.size(), ' ');
}

// The executable's file name without folder and extension, at most 259 bytes.
std::string ModuleName() {
  std::string name;
  GetFileName(GetModulePath(), &name);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  if (name.size() > 259) name.resize(259);
  return name;
}

int64_t ModifiedNanos(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// The process-wide log. Never deleted: threads and static destructors may
// still write while the process ends.
struct ProcessLog {
  std::mutex init_mu;
  std::atomic<CZEVLogQueue*> queue{nullptr};
  std::string module;  // fixed before `queue` is published
};

ProcessLog& TheLog() {
  static ProcessLog* log = new ProcessLog();
  return *log;
}

void ShutdownAtExit() { LogShutdown(); }

}  // namespace

void AppendEscaped(std::string* out, const char* text, size_t len) {
  // A line feed at the end adds nothing: every line ends with one.
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) --len;
  static const char kHex[] = "0123456789abcdef";
  size_t run = 0;
  for (size_t i = 0; i < len; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != 0x7f) continue;
    out->append(text + run, i - run);
    run = i + 1;
    if (c == '\n') {
      out->append("\\n");
    } else if (c == '\r') {
      out->append("\\r");
    } else {
      const char escaped[] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
      out->append(escaped, sizeof(escaped));
    }
  }
  out->append(text + run, len - run);
}

std::string EscapeControlCharacters(const std::string& text) {
  std::string out;
  AppendEscaped(&out, text.data(), text.size());
  return out;
}

std::string FormatLogLine(int32_t level, const std::string& module, const std::string& message) {
  // Built by hand rather than with snprintf, which dominated the cost of a
  // call; the result is the same as
  // "%02d-%02d-%02d %02d:%02d:%02d.%03d %-5u %-5u %-15.15s [%d] %s\n" cut at 8191.
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  // The date and time text changes once a second; each thread keeps its own.
  thread_local time_t cached_second = -1;
  thread_local char cached_time[48];
  thread_local size_t cached_len = 0;
  thread_local unsigned thread_id = 0;
  if (thread_id == 0) thread_id = static_cast<unsigned>(ThreadId());
  if (now.tv_sec != cached_second) {
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    int n = snprintf(cached_time, sizeof(cached_time), "%02d-%02d-%02d %02d:%02d:%02d",
                     local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                     local.tm_min, local.tm_sec);
    cached_len = n > 0 ? static_cast<size_t>(n) : 0;
    cached_second = now.tv_sec;
  }
  std::string line;
  line.reserve(cached_len + 48 + message.size());
  line.append(cached_time, cached_len);
  int ms = static_cast<int>(now.tv_nsec / 1000000);
  line.push_back('.');
  line.push_back(static_cast<char>('0' + ms / 100));
  line.push_back(static_cast<char>('0' + ms / 10 % 10));
  line.push_back(static_cast<char>('0' + ms % 10));
  line.push_back(' ');
  AppendPadded(&line, std::to_string(ProcessId()), 5);
  line.push_back(' ');
  AppendPadded(&line, std::to_string(thread_id), 5);
  line.push_back(' ');
  AppendPadded(&line, module.substr(0, 15), 15);
  line.append(" [");
  line.append(std::to_string(level));
  line.append("] ");
  // A text from outside (a version, a name) cannot start a line of its own.
  AppendEscaped(&line, message.data(), message.size());
  line.push_back('\n');
  if (line.size() > CZEVLogQueue::kMaxLineLength) line.resize(CZEVLogQueue::kMaxLineLength);
  return line;
}

CZEVLogQueue::CZEVLogQueue(std::string directory, std::string base_name, Options options)
    : directory_(std::move(directory)),
      base_name_(std::move(base_name)),
      options_(std::move(options)),
      clock_(options_.clock != nullptr ? options_.clock : Clock::Real()) {}

CZEVLogQueue::~CZEVLogQueue() {
  Stop();
  if (fd_ >= 0) close(fd_);
}

std::string CZEVLogQueue::PathFor(int index) const {
  return directory_ + "/" + base_name_ + "." + std::to_string(index) + ".txt";
}

bool CZEVLogQueue::OpenIndex(int index, bool truncate) {
  std::string path = PathFor(index);
  int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
  int fd = open(path.c_str(), flags, kPrivateFileMode);
  if (fd < 0) {
    DebugPrintAt(kJournalError, "create file failed: %s: %s", path.c_str(), strerror(errno));
    return false;
  }
  struct stat st;
  bool stated = fstat(fd, &st) == 0;
  // Logs that earlier versions left readable by everyone are narrowed too.
  if (stated && st.st_uid == geteuid() && (st.st_mode & 07777) != kPrivateFileMode) fchmod(fd, kPrivateFileMode);
  size_ = stated ? static_cast<uint64_t>(st.st_size) : 0;
  fd_ = fd;
  {
    std::lock_guard<std::mutex> lock(mu_);
    index_ = index;
    path_ = path;
  }
  DebugPrint("%s", path.c_str());
  return true;
}

bool CZEVLogQueue::Open() {
  if (directory_.empty() || base_name_.empty()) {
    DebugPrintAt(kJournalError, "initLog failed: m_strLogDir or m_strFileName is null");
    return false;
  }
  CreateDirectoryWithMode(directory_, kPrivateDirMode);  // the open below reports what is missing
  int index = ModifiedNanos(PathFor(2)) > ModifiedNanos(PathFor(1)) ? 2 : 1;
  return OpenIndex(index, /*truncate=*/false);
}

void CZEVLogQueue::Start() {
  if (started_.exchange(true)) return;
  writer_ = std::thread(&CZEVLogQueue::WriterLoop, this);
  pthread_setname_np(writer_.native_handle(), "zev-log");
}

bool CZEVLogQueue::Push(std::string line, int32_t level) {
  const bool sync = level >= kLogError;
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopped_) {
      // The writer is gone (process exit): write at once so nothing is lost.
      if (fd_ >= 0) {
        WriteAll(fd_, line.data(), line.size());
        unsynced_ = true;
        if (sync) SyncIfWritten();
      }
      return true;
    }
    if (queue_.size() >= options_.max_queued_lines) return false;
    // The writer sleeps on an empty queue, or while a batch gathers; only the
    // first line, an error line and a queue turning half full need to wake it.
    wake = queue_.empty() || (sync && !sync_now_) || queue_.size() + 1 == options_.max_queued_lines / 2;
    queue_.push_back(std::move(line));
    ++pushed_;
    sync_now_ = sync_now_ || sync;
  }
  if (wake) wake_.notify_one();
  return true;
}

void CZEVLogQueue::SyncIfWritten() {
  if (fd_ < 0 || !unsynced_) return;
  fdatasync(fd_);
  unsynced_ = false;
  if (options_.synced) options_.synced();
}

bool CZEVLogQueue::WriteBatch(const std::deque<std::string>& batch, bool check_size) {
  if (fd_ < 0) return false;
  if (check_size && size_ >= options_.switch_size) {
    SyncIfWritten();  // the file left behind holds no line that is not on disk
    close(fd_);
    fd_ = -1;
    if (!OpenIndex(index_ == 1 ? 2 : 1, /*truncate=*/true)) return false;
  }
  // One write per batch: the lines of a batch stay together.
  std::string buffer;
  size_t total = 0;
  for (const std::string& line : batch) total += line.size();
  buffer.reserve(total);
  for (const std::string& line : batch) buffer += line;
  if (!WriteAll(fd_, buffer.data(), buffer.size())) {
    DebugPrintAt(kJournalWarning, "log write failed: %s", strerror(errno));
  }
  unsynced_ = true;
  size_ += buffer.size();
  return true;
}

void CZEVLogQueue::WriterLoop() {
  // When the lines written so far must be on disk; none while all are.
  int64_t sync_due = Clock::kNoDeadline;
  for (;;) {
    std::deque<std::string> batch;
    bool running;
    bool sync_now;
    uint64_t taken;
    {
      std::unique_lock<std::mutex> lock(mu_);
      clock_->WaitUntil(lock, wake_, sync_due, [this] { return !queue_.empty() || !running_; });
      // Lines that follow within a moment join the batch: one write for many
      // lines instead of one for each. A queue half full, an error line, a
      // flush or the stop ends the wait at once.
      if (!queue_.empty()) {
        wake_.wait_for(lock, kBatchWindow, [this] {
          return !running_ || sync_now_ || flush_waiters_ > 0 || queue_.size() >= options_.max_queued_lines / 2;
        });
      }
      batch.swap(queue_);
      running = running_;
      sync_now = sync_now_;
      sync_now_ = false;
      taken = pushed_;
    }
    // The batch is written and synced outside the lock so that callers never
    // wait for the disk; the queue bound still holds for lines that wait
    // meanwhile.
    if (!batch.empty() && !WriteBatch(batch, running)) {
      // No file: the writer ends; later lines stay queued until it is full.
      std::lock_guard<std::mutex> lock(mu_);
      for (auto it = batch.rbegin(); it != batch.rend(); ++it) queue_.push_front(std::move(*it));
      writer_done_ = true;
      flushed_.notify_all();
      return;
    }
    // Stop() syncs what is written last.
    if (running && unsynced_) {
      if (sync_due == Clock::kNoDeadline) sync_due = clock_->MonotonicMillis() + kSyncIntervalMs;
      if (sync_now || clock_->MonotonicMillis() >= sync_due) SyncIfWritten();
    }
    if (!unsynced_) sync_due = Clock::kNoDeadline;
    std::lock_guard<std::mutex> lock(mu_);
    written_ = taken;
    if (flush_waiters_ > 0) flushed_.notify_all();
    if (!running) {
      writer_done_ = true;
      flushed_.notify_all();
      return;
    }
  }
}

void CZEVLogQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopped_) return;
    running_ = false;
    wake_.notify_one();
  }
  if (writer_.joinable()) writer_.join();
  std::lock_guard<std::mutex> lock(mu_);
  // Lines queued after the writer's last batch (or before it ever started).
  if (!queue_.empty() && fd_ >= 0) {
    std::deque<std::string> rest;
    rest.swap(queue_);
    WriteBatch(rest, false);
  }
  SyncIfWritten();
  stopped_ = true;
  flushed_.notify_all();
}

bool CZEVLogQueue::Flush() {
  std::unique_lock<std::mutex> lock(mu_);
  if (!started_.load() || stopped_ || writer_done_) return false;
  const uint64_t target = pushed_;
  ++flush_waiters_;
  wake_.notify_one();
  flushed_.wait(lock, [&] { return written_ >= target || writer_done_ || stopped_; });
  --flush_waiters_;
  return written_ >= target;
}

std::string CZEVLogQueue::path() const {
  std::lock_guard<std::mutex> lock(mu_);
  return path_;
}

int CZEVLogQueue::index() const {
  std::lock_guard<std::mutex> lock(mu_);
  return index_;
}

bool LogInit(const std::string& directory, const std::string& base_name) {
  ProcessLog& log = TheLog();
  std::lock_guard<std::mutex> lock(log.init_mu);
  if (log.queue.load() != nullptr) return false;
  log.module = ModuleName();
  auto* queue = new CZEVLogQueue(directory, base_name);
  if (!queue->Open()) {
    delete queue;
    return false;
  }
  queue->Start();
  log.queue.store(queue);
  std::atexit(ShutdownAtExit);
  return true;
}

void LogWrite(int32_t level, const char* format, ...) {
  CZEVLogQueue* queue = TheLog().queue.load(std::memory_order_acquire);
  if (queue == nullptr || format == nullptr) return;
  try {
    char message[CZEVLogQueue::kMaxLineLength + 1];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    if (n < 0) return;
    if (!queue->Push(FormatLogLine(level, TheLog().module, message), level)) zev::Metrics().log_dropped.Add({});
  } catch (...) {
    // Logging must never take its caller down.
  }
}

const char* JournalPrefix(int priority) {
  static const bool journal = getenv("JOURNAL_STREAM") != nullptr;
  static const char* const prefixes[] = {"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>"};
  if (!journal) return "";
  return prefixes[priority < 0 ? 0 : priority > 7 ? 7 : priority];
}

namespace {

void DebugPrintV(int priority, const char* format, va_list args) {
  if (format == nullptr) return;
  char message[1024];
  int n = vsnprintf(message, sizeof(message), format, args);
  if (n < 0) return;
  std::string escaped;
  AppendEscaped(&escaped, message, strnlen(message, sizeof(message)));
  char line[1024];
  n = snprintf(line, sizeof(line), "%s---ZEVService---:%-5d %-5d %s\n", JournalPrefix(priority),
               static_cast<int>(getpid()), static_cast<int>(ThreadId()), escaped.c_str());
  if (n < 0) return;
  WriteAll(STDERR_FILENO, line, std::min<size_t>(static_cast<size_t>(n), sizeof(line) - 1));
}

}  // namespace

void DebugPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  DebugPrintV(kJournalDebug, format, args);
  va_end(args);
}

void DebugPrintAt(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  DebugPrintV(priority, format, args);
  va_end(args);
}

void LogShutdown() {
  CZEVLogQueue* queue = TheLog().queue.load(std::memory_order_acquire);
  if (queue != nullptr) queue->Stop();
}

bool LogFlush() {
  CZEVLogQueue* queue = TheLog().queue.load(std::memory_order_acquire);
  return queue != nullptr && queue->Flush();
}

std::string LogCurrentPath() {
  CZEVLogQueue* queue = TheLog().queue.load(std::memory_order_acquire);
  return queue ? queue->path() : std::string();
}

}  // namespace zev
