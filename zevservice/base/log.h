// The process log: lines in a fixed format, queued by any thread and written
// by one background thread to two files in turn ("<base>.1.txt" and
// "<base>.2.txt"), each grown to about 3 MiB before the other is started anew.
//
// Line format (local time, process id, thread id, module name, level, text):
//   "2026-12-09 11:36:53.123 4242  4243  zevsvc          [1] message\n"
// Levels: 1 information, 2 warning or retry, 3 error. Every line is written
// at once; the disk is synced (fdatasync) at most once a second after a line
// was written, at once after an error line, and when the log stops. A crash
// of the machine loses at most the last second of lower lines.
#ifndef ZEV_BASE_LOG_H_
#define ZEV_BASE_LOG_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "base/clock.h"

namespace zev {

// Opens the process log in `directory` (created with mode 0700 if missing;
// an existing folder keeps its mode) with the file base name `base_name`
// and starts its writer thread. Log files are created 0600: what callers
// send may appear in them. Of the two files, the more
// recently modified one is appended to (the first when neither exists). False,
// with logging left off for the life of the process, when the log is already
// initialised, a name is empty or the file cannot be opened.
bool LogInit(const std::string& directory, const std::string& base_name);

// The levels of LogWrite, as the log labels them ("[1]" ... "[3]").
constexpr int32_t kLogInfo = 1;
constexpr int32_t kLogWarning = 2;  // also a retry
constexpr int32_t kLogError = 3;

// Formats one line and queues it. Does nothing before LogInit succeeded.
// Never throws and never waits for the disk; while 10000 lines are waiting the
// line is dropped. The message is cut at 8191 bytes, the whole line too (a cut
// line has no line feed). Safe from any thread, also during process exit.
void LogWrite(int32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Debugger output: "---ZEVService---:<pid> <tid> <message>\n" on standard
// error as one write, cut at 1023 bytes, the message escaped as in the log; with JournalPrefix(kJournalDebug)
// in front when standard error goes to the journal.
void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same with the journal priority of the line (kJournalError ...).
void DebugPrintAt(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Priorities of lines on standard error, as the journal files them.
constexpr int kJournalError = 3;
constexpr int kJournalWarning = 4;
constexpr int kJournalInfo = 6;
constexpr int kJournalDebug = 7;
// "<priority>" when standard error goes to the journal (systemd sets
// JOURNAL_STREAM for a service), so that the journal files the line with
// that priority; "" otherwise. Read once per process.
const char* JournalPrefix(int priority);

// Stops the writer thread after it has written every queued line, and joins it.
// Later lines are written directly by their callers. Runs by itself at
// process exit; calling it earlier is allowed.
void LogShutdown();

// Waits until every line queued before the call is in the file (tests read
// the log after it instead of polling). False when the log is off or its
// writer is gone.
bool LogFlush();

// Path of the log file in use; empty while the log is off.
std::string LogCurrentPath();

// The writer behind the process log. Usable on its own (tests, benchmarks).
class CZEVLogQueue {
 public:
  static constexpr size_t kSwitchSize = 3145728;  // 3 MiB
  static constexpr size_t kMaxQueuedLines = 10000;
  static constexpr size_t kMaxLineLength = 8191;
  // How long the writer lets a batch gather after its first line.
  static constexpr std::chrono::milliseconds kBatchWindow{2};
  // Written lines reach the disk at the latest this long after the first of
  // them was written (an error line at once).
  static constexpr int64_t kSyncIntervalMs = 1000;

  struct Options {
    size_t switch_size = kSwitchSize;
    size_t max_queued_lines = kMaxQueuedLines;
    // The clock of the sync interval (null: Clock::Real()).
    Clock* clock = nullptr;
    // Called on the writing thread after each fdatasync (tests count them).
    std::function<void()> synced;
  };

  CZEVLogQueue(std::string directory, std::string base_name, Options options);
  CZEVLogQueue(std::string directory, std::string base_name)
      : CZEVLogQueue(std::move(directory), std::move(base_name), Options()) {}
  ~CZEVLogQueue();  // Stop()
  CZEVLogQueue(const CZEVLogQueue&) = delete;
  CZEVLogQueue& operator=(const CZEVLogQueue&) = delete;

  // Creates the folder, picks the file by modification time and opens it for
  // appending. Call once, before Start().
  bool Open();
  // Starts the writer thread; later calls do nothing.
  void Start();
  // Queues a line (with its line feed, if any) of `level`; a line of
  // kLogError or above is synced together with its batch. False when it was
  // dropped because the queue is full. After Stop() the line is written at
  // once.
  bool Push(std::string line, int32_t level = kLogInfo);
  // Clears the running flag, wakes and joins the writer, then writes whatever
  // is still queued. Idempotent.
  void Stop();
  // Waits until every line pushed before the call has been written (the
  // writer does not let that batch gather); not necessarily synced. False, at once, when the writer
  // is not running.
  bool Flush();

  std::string path() const;
  int index() const;

 private:
  void WriterLoop();
  // Writes one batch; false when there is no file to write to.
  bool WriteBatch(const std::deque<std::string>& batch, bool check_size);
  // fdatasync of fd_ when lines were written since the last one.
  void SyncIfWritten();
  bool OpenIndex(int index, bool truncate);
  std::string PathFor(int index) const;

  const std::string directory_;
  const std::string base_name_;
  const Options options_;
  Clock* const clock_;

  mutable std::mutex mu_;
  std::condition_variable wake_;
  std::condition_variable flushed_;
  std::deque<std::string> queue_;  // guarded by mu_
  bool running_ = true;            // guarded by mu_
  bool stopped_ = false;           // guarded by mu_; set once the writer is gone
  bool writer_done_ = false;       // guarded by mu_; the writer thread has returned
  uint64_t pushed_ = 0;            // guarded by mu_; lines queued so far
  uint64_t written_ = 0;           // guarded by mu_; of those, lines written
  bool sync_now_ = false;          // guarded by mu_; an error line is queued
  int flush_waiters_ = 0;          // guarded by mu_
  std::atomic<bool> started_{false};
  std::thread writer_;

  // Owned by the writer thread while it runs; by Stop() and direct writes
  // (under mu_) after it has been joined.
  int fd_ = -1;
  uint64_t size_ = 0;
  bool unsynced_ = false;  // lines were written to fd_ since its last fdatasync
  // Written by the owner of fd_ under mu_, so that other threads may read
  // them under mu_.
  int index_ = 1;
  std::string path_;
};

// `text` with its control characters escaped ("\n", "\r", others as
// "\xNN") and the line feeds at its end dropped: what every log line does to
// the texts it is given.
std::string EscapeControlCharacters(const std::string& text);
void AppendEscaped(std::string* out, const char* text, size_t len);

// Builds one line from its parts, cut at kMaxLineLength (exposed for tests).
// Control characters of the message are escaped ("\n", "\r", others as
// "\xNN"; line feeds at its end are dropped), so that no text a caller
// passes on can make a line of its own.
std::string FormatLogLine(int32_t level, const std::string& module, const std::string& message);

}  // namespace zev

#endif  // ZEV_BASE_LOG_H_
