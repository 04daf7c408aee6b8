// The port guard with real lock files on a fake clock; the probe is scripted
// except in the last test, which probes a real endpoint on loopback.
#include "hosting/port_guard.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "rpc/http_server.h"
#include "testing/fake_clock.h"
#include "testing/free_ports.h"
#include "testing/log_util.h"
#include "testing/scoped_user.h"
#include "testing/sync.h"
#include "testing/test_util.h"

namespace zev {

namespace {

// Sets (or, for nullopt, removes) environment variables and puts back what
// was there at the end of the scope.
class ScopedEnv {
 public:
  using Values = std::vector<std::pair<std::string, std::optional<std::string>>>;
  explicit ScopedEnv(const Values& values) {
    for (const auto& [name, value] : values) {
      const char* old = getenv(name.c_str());
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      Set(name, value);
    }
  }
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) Set(name, value);
  }

 private:
  static void Set(const std::string& name, const std::optional<std::string>& value) {
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  }
  Values saved_;
};

class PortGuard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    log_dir_ = new ScopedTempDir();
    LogInit(log_dir_->path(), "zevservice");  // nothing when another suite made the log
  }
  static size_t LogCount(const std::string& text) {
    std::string data;
    LogFlush();
    ReadFileToString(LogCurrentPath(), &data);
    size_t count = 0;
    for (size_t at = data.find(text); at != std::string::npos; at = data.find(text, at + 1)) ++count;
    return count;
  }

  CZEVPortGuard::Options Options(CZEVPortGuard::Probe probe = nullptr) {
    CZEVPortGuard::Options options;
    options.clock = &clock_;
    options.probe = probe ? std::move(probe) : [this](const std::string& url) {
      probes_.Hit(clock_.MonotonicMillis());
      last_url_ = url;
      if (throws_) throw std::runtime_error("probe failed");
      return alive_.load();
    };
    options.run_dir = run_.path();
    return options;
  }
  // Moves the clock to the timer's next check and waits until it is done
  // (the timer waits for the following one).
  void RunCheck() {
    ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
    clock_.Advance(clock_.NextDeadline() - clock_.MonotonicMillis());
    ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
  }
  bool Held(int port = 61024) { return PortMutexIsHeld(port, run_.path()); }

  static ScopedTempDir* log_dir_;
  ScopedTempDir run_;
  FakeClock clock_;
  Counter probes_;
  std::string last_url_;  // written by the probe, read after RunCheck
  std::atomic<bool> alive_{true};
  std::atomic<bool> throws_{false};
};
ScopedTempDir* PortGuard::log_dir_ = nullptr;

TEST_F(PortGuard, NamesTheMutexAfterThePortAndHoldsItFromStart) {
  EXPECT_EQ(PortMutexName(61024), "Global\\{A83804EB-0F71-49BA-B27F-A42348E854F0}_61024");
  EXPECT_FALSE(Held());  // no lock file yet
  CZEVPortGuard guard(Options());
  ASSERT_TRUE(guard.start("http://127.0.0.1", 61024));
  EXPECT_TRUE(guard.holdsPortMutex());
  EXPECT_TRUE(Held());
  EXPECT_TRUE(Held());  // the client's look leaves the guard holding it
  bool exists = false;
  auto other = NamedMutex::CreateIn(run_.path(), PortMutexName(61024), &exists, LockFileAccess::kReadableByAll);
  ASSERT_NE(other, nullptr);
  EXPECT_TRUE(exists);
  EXPECT_EQ(other->path(), run_.Sub("Global_{A83804EB-0F71-49BA-B27F-A42348E854F0}_61024"));
}

TEST_F(PortGuard, ChecksAfterFiveSecondsThenEveryMinuteDroppingTheMutexWhileDead) {
  CZEVPortGuard guard(Options());
  const int64_t started = clock_.MonotonicMillis();
  guard.start("http://127.0.0.1", 61024);
  const size_t failed = LogCount("Localhost check failed.");
  RunCheck();
  EXPECT_EQ(last_url_, "http://127.0.0.1:61024");
  EXPECT_TRUE(Held());

  alive_ = false;
  RunCheck();
  EXPECT_FALSE(Held());
  EXPECT_FALSE(guard.holdsPortMutex());
  EXPECT_EQ(LogCount("Localhost check failed."), failed + 1);

  throws_ = true;  // a throwing probe is logged and leaves the state alone
  RunCheck();
  EXPECT_FALSE(Held());
  EXPECT_GE(LogCount("Localhost check unknown error."), 1u);

  throws_ = false;
  alive_ = true;
  RunCheck();
  EXPECT_TRUE(Held());
  EXPECT_EQ(probes_.values(), (std::vector<int64_t>{started + 5000, started + 65000, started + 125000,
                                                    started + 185000}));
}

TEST_F(PortGuard, KeepsTheHandleOfAMutexHeldElsewhereAndTakesItAtTheNextGoodCheck) {
  bool exists = false;
  auto other = NamedMutex::CreateIn(run_.path(), PortMutexName(61024), &exists, LockFileAccess::kReadableByAll);
  CZEVPortGuard guard(Options());
  guard.start("http://127.0.0.1", 61024);
  EXPECT_FALSE(guard.holdsPortMutex());
  other.reset();
  EXPECT_FALSE(Held());
  RunCheck();
  EXPECT_TRUE(guard.holdsPortMutex());
  EXPECT_TRUE(Held());
}

// Any user may tell from the mutex that the service is alive; another user
// can neither fake that with a lock of their own nor keep the guard from
// taking the mutex.
TEST_F(PortGuard, AnotherUserCanTestTheMutexButNeitherFakeNorBlockIt) {
  ScopedUser user;
  if (!user.ok()) GTEST_SKIP() << user.reason();
  ASSERT_EQ(chmod(run_.path().c_str(), 0711), 0);
  const std::string path = run_.Sub(NamedMutexFileName(PortMutexName(61024)));
  {
    CZEVPortGuard guard(Options());
    ASSERT_TRUE(guard.start("http://127.0.0.1", 61024));
    EXPECT_EQ(user.RunAs([&path] { return NamedMutexIsHeld(path) ? 0 : 1; }), 0);
    EXPECT_NE(user.Run("exec 3<>" + path), 0);  // readable, never writable
  }
  // The user holds a read lock on the file the stopped guard left.
  ScopedTempDir flag;
  ASSERT_EQ(chmod(flag.path().c_str(), 0777), 0);
  const std::string script = "import fcntl, time\nf = open('" + path + "')\nfcntl.lockf(f, fcntl.LOCK_SH)\nopen('" +
                             flag.Sub("locked") + "', 'w').close()\ntime.sleep(60)\n";
  ASSERT_EQ(user.Run("python3 -c \"" + script + "\" >/dev/null 2>&1 &"), 0);
  ASSERT_TRUE(PollUntil([&] { return FileExists(flag.Sub("locked")); }));
  EXPECT_FALSE(Held());
  CZEVPortGuard guard(Options());
  ASSERT_TRUE(guard.start("http://127.0.0.1", 61024));
  EXPECT_TRUE(guard.holdsPortMutex());
  EXPECT_TRUE(Held());
}

TEST_F(PortGuard, StopDuringAProbeLeavesNoMutexAndNothingRunsAfter) {
  Latch entered, release;
  std::atomic<bool> probe_done{false};
  CZEVPortGuard guard(Options([&](const std::string&) {
    entered.Open();
    release.Wait();
    probe_done = true;
    return true;
  }));
  guard.start("http://127.0.0.1", 61024);
  ASSERT_TRUE(clock_.AwaitTimedWaiters(1));
  clock_.AdvanceSeconds(5);
  ASSERT_TRUE(entered.Wait());

  std::atomic<bool> done_when_stopped{false};
  std::thread stopper([&] {
    guard.stop();
    done_when_stopped = probe_done.load();
  });
  ASSERT_TRUE(PollUntil([&] { return !Held(); }));  // stop released it
  release.Open();  // the probe now reports the endpoint alive
  stopper.join();
  EXPECT_TRUE(done_when_stopped);
  EXPECT_FALSE(guard.holdsPortMutex());
  EXPECT_FALSE(Held());
  EXPECT_EQ(clock_.NextDeadline(), Clock::kNoDeadline);  // the timer is gone
}

TEST_F(PortGuard, RealProbeSeesTheEndpointPastAProxyFromTheEnvironment) {
  const std::string dead_proxy = "http://127.0.0.1:" + std::to_string(FreePort());
  ScopedEnv env({{"http_proxy", dead_proxy}, {"HTTP_PROXY", dead_proxy}, {"all_proxy", dead_proxy},
                 {"ALL_PROXY", dead_proxy}, {"no_proxy", std::nullopt}, {"NO_PROXY", std::nullopt}});
  CZEVMethodRegistry methods;
  CZEVHttpServer endpoint(&methods);
  const int port = FreePort();
  endpoint.setIp("127.0.0.1");
  endpoint.setPort(port);
  ASSERT_TRUE(endpoint.start());
  const std::string url = "http://127.0.0.1:" + std::to_string(port);
  EXPECT_TRUE(ProbeLocalEndpoint(url));
  EXPECT_FALSE(ProbeLocalEndpoint(url + "/rpc/"));  // answers, but not the text

  CZEVPortGuard::Options options;  // the default probe
  options.clock = &clock_;
  options.run_dir = run_.path();
  CZEVPortGuard guard(options);
  guard.start("http://127.0.0.1", port);
  RunCheck();
  EXPECT_TRUE(Held(port));
  endpoint.stop();
  RunCheck();
  EXPECT_FALSE(Held(port));
}

}  // namespace

}  // namespace zev
