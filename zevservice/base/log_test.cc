#include "base/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <thread>

#include "platform/paths.h"
#include "platform/process.h"
#include "testing/fake_clock.h"
#include "testing/sync.h"
#include "testing/test_util.h"

namespace zev {

namespace {

std::vector<std::string> ReadLines(const std::string& path) {
  std::string data;
  ReadFileToString(path, &data);
  std::vector<std::string> lines;
  std::istringstream in(data);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void SetModifiedTime(const std::string& path, time_t seconds) {
  struct timeval times[2] = {{seconds, 0}, {seconds, 0}};
  utimes(path.c_str(), times);
}

// The permission bits of a file or folder; -1 when it is missing.
int Mode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Sets the process umask for the life of the scope.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(umask(mask)) {}
  ~ScopedUmask() { umask(old_); }

 private:
  const mode_t old_;
};

}  // namespace

TEST(LogLine, HasTheFixedFormat) {
  std::string line = FormatLogLine(3, "zevsvc", "Http server start ok");
  std::regex shape(
      R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \d+ *\d+ *zevsvc {9} \[3\] Http server start ok\n$)");
  EXPECT_TRUE(std::regex_match(line, shape)) << line;

  std::string long_module = FormatLogLine(1, "averyveryverylongmodulename", "m");
  EXPECT_NE(long_module.find(" averyveryverylo [1] m\n"), std::string::npos) << long_module;
}

// A text from outside (a version in Config.json) must never make a line of
// its own that reads like a genuine one.
TEST(LogLine, EscapesControlCharactersSoNoTextStartsALine) {
  const std::string forged = "1.0\n2026-12-09 11:36:53.123 4242  4243  zevsvc          [1] Installed";
  struct Case {
    std::string text, written;
  } cases[] = {
      {forged, "1.0\\n2026-12-09 11:36:53.123 4242  4243  zevsvc          [1] Installed"},
      {"a\rb\tc\x1b[31md\x7f", "a\\rb\\x09c\\x1b[31md\\x7f"},
      {"ends with its own line feed\n\n", "ends with its own line feed"},
      {"caf\xc3\xa9 \xff stays", "caf\xc3\xa9 \xff stays"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscapeControlCharacters(c.text), c.written);
    const std::string line = FormatLogLine(1, "m", c.text);
    EXPECT_EQ(line.substr(line.find("] ") + 2), c.written + "\n");
  }
}

TEST(LogLine, IsCutAt8191CharactersWithoutLineFeed) {
  std::string line = FormatLogLine(1, "m", std::string(9000, 'x'));
  EXPECT_EQ(line.size(), 8191u);
  EXPECT_EQ(line.back(), 'x');
  EXPECT_EQ(FormatLogLine(1, "m", "short").back(), '\n');
}

TEST(LogQueue, CreatesTheFirstFileWhenNoneExists) {
  ScopedTempDir tmp;
  CZEVLogQueue log(tmp.Sub("logs/deep"), "zevservice");
  ASSERT_TRUE(log.Open());
  EXPECT_EQ(log.index(), 1);
  EXPECT_EQ(log.path(), tmp.Sub("logs/deep/zevservice.1.txt"));
  log.Start();
  log.Push("one\n");
  log.Stop();
  EXPECT_EQ(ReadLines(tmp.Sub("logs/deep/zevservice.1.txt")), std::vector<std::string>{"one"});
  EXPECT_FALSE(FileExists(tmp.Sub("logs/deep/zevservice.2.txt")));
}

TEST(LogQueue, AppendsToTheNewerOfTheTwoFiles) {
  ScopedTempDir tmp;
  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("zevservice.1.txt"), "old1\n"));
  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("zevservice.2.txt"), "old2\n"));
  SetModifiedTime(tmp.Sub("zevservice.1.txt"), 1000);
  SetModifiedTime(tmp.Sub("zevservice.2.txt"), 2000);
  {
    CZEVLogQueue log(tmp.path(), "zevservice");
    ASSERT_TRUE(log.Open());
    EXPECT_EQ(log.index(), 2);
    log.Start();
    log.Push("new\n");
  }  // the destructor stops and flushes
  EXPECT_EQ(ReadLines(tmp.Sub("zevservice.2.txt")), (std::vector<std::string>{"old2", "new"}));

  // Equal times pick the first file.
  SetModifiedTime(tmp.Sub("zevservice.1.txt"), 3000);
  SetModifiedTime(tmp.Sub("zevservice.2.txt"), 3000);
  CZEVLogQueue again(tmp.path(), "zevservice");
  ASSERT_TRUE(again.Open());
  EXPECT_EQ(again.index(), 1);
}

TEST(LogQueue, SwitchesToTheOtherFileEmptyOnceThreeMegabytesAreReached) {
  ScopedTempDir tmp;
  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("zevservice.1.txt"), std::string(3145727, 'a') + "\n"));
  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("zevservice.2.txt"), "stale\n"));
  SetModifiedTime(tmp.Sub("zevservice.2.txt"), 1000);
  CZEVLogQueue log(tmp.path(), "zevservice");
  ASSERT_TRUE(log.Open());
  ASSERT_EQ(log.index(), 1);
  log.Push("after switch\n");
  log.Start();
  // index() is read while the writer may be switching files.
  int seen = log.index();
  EXPECT_TRUE(seen == 1 || seen == 2);
  ASSERT_TRUE(log.Flush());
  EXPECT_EQ(log.index(), 2);
  log.Stop();
  EXPECT_FALSE(log.Flush());  // nothing writes any more
  EXPECT_EQ(ReadLines(tmp.Sub("zevservice.2.txt")), std::vector<std::string>{"after switch"});

  // One byte under the limit keeps the file.
  ScopedTempDir tmp2;
  ASSERT_TRUE(WriteFileAtomically(tmp2.Sub("z.1.txt"), std::string(3145727, 'a')));
  CZEVLogQueue small(tmp2.path(), "z");
  ASSERT_TRUE(small.Open());
  small.Start();
  small.Push("x\n");
  small.Stop();
  EXPECT_EQ(small.index(), 1);
}

TEST(LogQueue, DropsLinesBeyondTenThousandWaiting) {
  ScopedTempDir tmp;
  CZEVLogQueue log(tmp.path(), "zevservice");
  ASSERT_TRUE(log.Open());
  // The writer has not started, so every line waits.
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(log.Push(std::to_string(i) + "\n"));
  EXPECT_FALSE(log.Push("dropped\n"));
  log.Start();
  log.Stop();
  std::vector<std::string> lines = ReadLines(log.path());
  ASSERT_EQ(lines.size(), 10000u);
  EXPECT_EQ(lines.front(), "0");
  EXPECT_EQ(lines.back(), "9999");
}

TEST(LogQueue, ManyThreadsLoseNoLineAndLinesStayWhole) {
  ScopedTempDir tmp;
  CZEVLogQueue log(tmp.path(), "zevservice");
  ASSERT_TRUE(log.Open());
  log.Start();
  std::vector<std::thread> threads;
  std::atomic<int> dropped{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 1000; ++i) {
        std::string line = FormatLogLine(1, "t", "thread " + std::to_string(t) + " line " +
                                                     std::to_string(i) + " " + std::string(100, 'p'));
        while (!log.Push(line)) {  // retry on a full queue so the count is exact
          dropped++;
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  log.Stop();
  std::vector<std::string> lines = ReadLines(log.path());
  ASSERT_EQ(lines.size(), 8000u);
  std::regex shape(R"(^.* \[1\] thread \d line \d+ p{100}$)");
  for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, shape)) << line;
  // After the stop, lines are written directly.
  EXPECT_TRUE(log.Push("late\n"));
  EXPECT_EQ(ReadLines(log.path()).back(), "late");
}

TEST(LogQueue, FlushWaitsForEveryEarlierLineWithoutTheBatchWindow) {
  ScopedTempDir tmp;
  CZEVLogQueue log(tmp.path(), "zevservice");
  ASSERT_TRUE(log.Open());
  EXPECT_FALSE(log.Flush());  // the writer has not started
  log.Start();
  for (int round = 0; round < 50; ++round) {
    log.Push("line " + std::to_string(round) + "\n");
    ASSERT_TRUE(log.Flush());
    std::vector<std::string> lines = ReadLines(log.path());
    ASSERT_EQ(lines.size(), static_cast<size_t>(round + 1));
    EXPECT_EQ(lines.back(), "line " + std::to_string(round));
  }
  log.Stop();
}

// Written lines reach the disk a second after the first of them at the
// latest, whatever follows; an error line and the stop sync at once.
TEST(LogQueue, SyncsASecondAfterTheFirstUnsyncedLineAndAtOnceForErrors) {
  ScopedTempDir tmp;
  FakeClock clock;
  Counter syncs;
  CZEVLogQueue::Options options;
  options.clock = &clock;
  options.synced = [&] { syncs.Hit(); };
  CZEVLogQueue log(tmp.path(), "zevservice", options);
  ASSERT_TRUE(log.Open());
  log.Start();
  struct Step {
    int64_t advance_ms;
    int32_t level;  // of the line pushed after the advance; 0: none
    bool stop;
    int syncs;
  } steps[] = {
      {0, kLogInfo, false, 0},    {600, kLogInfo, false, 0}, {400, 0, false, 1},
      {0, kLogError, false, 2},   {0, kLogInfo, false, 2},   {1000, 0, false, 3},
      {0, kLogWarning, true, 4},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(&step - steps);
    clock.Advance(step.advance_ms);
    if (step.level != 0) log.Push("line\n", step.level);
    if (step.stop) log.Stop();
    if (step.level != 0 && !step.stop) {
      ASSERT_TRUE(log.Flush());
    }
    ASSERT_TRUE(syncs.WaitFor(step.syncs));
    EXPECT_EQ(syncs.count(), step.syncs);
  }
  EXPECT_EQ(ReadLines(log.path()).size(), 5u);
}

// Failed calls are logged with what the caller sent, so other local users
// must not be able to read the logs, whatever umask the service started with.
TEST(LogQueue, FilesAndTheirFolderAreForTheServiceUserAlone) {
  ScopedTempDir tmp;
  ScopedUmask open_umask(0);
  CZEVLogQueue::Options options;
  options.switch_size = 8;  // the second batch goes to the other file
  {
    CZEVLogQueue log(tmp.Sub("logs"), "zevservice", options);
    ASSERT_TRUE(log.Open());
    EXPECT_EQ(Mode(tmp.Sub("logs")), 0700);
    EXPECT_EQ(Mode(tmp.Sub("logs/zevservice.1.txt")), 0600);
    log.Start();
    log.Push("first batch\n");
    ASSERT_TRUE(log.Flush());
    log.Push("second batch\n");
    ASSERT_TRUE(log.Flush());
    EXPECT_EQ(log.index(), 2);
    EXPECT_EQ(Mode(tmp.Sub("logs/zevservice.2.txt")), 0600);
  }

  // Logs that an earlier version left readable by everyone are narrowed
  // when they are opened again.
  ASSERT_EQ(chmod(tmp.Sub("logs/zevservice.1.txt").c_str(), 0644), 0);
  ASSERT_EQ(chmod(tmp.Sub("logs/zevservice.2.txt").c_str(), 0644), 0);
  SetModifiedTime(tmp.Sub("logs/zevservice.1.txt"), 2000);
  SetModifiedTime(tmp.Sub("logs/zevservice.2.txt"), 1000);
  CZEVLogQueue again(tmp.Sub("logs"), "zevservice", options);
  ASSERT_TRUE(again.Open());
  ASSERT_EQ(again.index(), 1);
  EXPECT_EQ(Mode(tmp.Sub("logs/zevservice.1.txt")), 0600);
  again.Start();
  again.Push("to the other file\n");
  ASSERT_TRUE(again.Flush());
  EXPECT_EQ(again.index(), 2);
  EXPECT_EQ(Mode(tmp.Sub("logs/zevservice.2.txt")), 0600);
}

TEST(LogQueue, FailsWithoutNames) {
  EXPECT_FALSE(CZEVLogQueue("", "x").Open());
  EXPECT_FALSE(CZEVLogQueue("/tmp", "").Open());
  EXPECT_FALSE(CZEVLogQueue("/proc/no/such/dir", "x").Open());
}

TEST(ProcessLog, WritesEveryQueuedLineWhenTheProcessExits) {
  ScopedTempDir tmp;
  auto helper = StartProcessArgv({LOG_EXIT_HELPER_PATH, tmp.path(), "9000"});
  ASSERT_NE(helper, nullptr);
  ASSERT_TRUE(helper->Wait(kInfinite));
  EXPECT_EQ(helper->ExitCode(), 0);
  std::vector<std::string> lines = ReadLines(tmp.Sub("zevservice.1.txt"));
  // Fewer lines than the queue holds, so none may be dropped however slow
  // the disk, plus the line a static destructor writes after the writer stopped.
  ASSERT_EQ(lines.size(), 9002u);
  EXPECT_NE(lines[0].find("[1] start"), std::string::npos);
  EXPECT_NE(lines[9000].find("[1] line 8999"), std::string::npos);
  EXPECT_NE(lines.back().find("[3] static destructor"), std::string::npos);
  EXPECT_NE(lines[0].find(" log_exit_helper "), std::string::npos) << lines[0];
}

TEST(ProcessLog, InitialisesOnceAndDropsLinesBefore) {
  ScopedTempDir tmp;
  LogWrite(kLogInfo, "before init %d", 1);  // dropped, not a crash
  EXPECT_FALSE(LogInit("", "zevservice"));
  ASSERT_TRUE(LogInit(tmp.path(), "zevservice"));
  EXPECT_FALSE(LogInit(tmp.path(), "other"));
  EXPECT_EQ(LogCurrentPath(), tmp.Sub("zevservice.1.txt"));
  LogWrite(kLogWarning, "value %s %d", "x", 42);
  LogWrite(kLogInfo, "%s", std::string(9000, 'y').c_str());
  LogShutdown();
  std::vector<std::string> lines = ReadLines(tmp.Sub("zevservice.1.txt"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("[2] value x 42"), std::string::npos);
  EXPECT_EQ(lines[1].size(), 8191u);
  DebugPrint("debug %d", 7);  // to standard error; must not crash
}

}  // namespace zev
