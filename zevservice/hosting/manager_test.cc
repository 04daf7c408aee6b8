#include "hosting/manager.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>
#include <vector>

#include "base/log.h"
#include "platform/ports.h"
#include "platform/registry.h"
#include "rpc/echo_server.h"
#include "testing/fake_clock.h"
#include "testing/log_util.h"
#include "testing/sync.h"
#include "testing/free_ports.h"
#include "testing/test_util.h"

namespace zev {

namespace {

// Listens on a port so that it is taken.
class Listener {
 public:
  explicit Listener(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;  // as the endpoint binds: beside the closing ends an earlier one left
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && listen(fd_, 1) == 0;
  }
  ~Listener() { close(fd_); }
  bool ok() const { return ok_; }

 private:
  int fd_;
  bool ok_;
};

class Manager : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    log_dir_ = new ScopedTempDir();
    LogInit(log_dir_->path(), "zevservice");
  }
  static std::string LogPath() { return log_dir_->Sub("zevservice.1.txt"); }

  // Deps on the test's own folder and registry store.
  ManagerDeps Deps(CZEVPipeServerImpl* pipe = nullptr) {
    ManagerDeps deps;
    deps.clock = Clock::Real();
    deps.registry = &registry_;
    deps.methods = &methods_;
    deps.pipe_server = pipe;
    deps.run_dir = common_.Sub("run");
    deps.common_dir = common_.path();
    return deps;
  }

  // Start ends the hosts left over by this instance: with a folder of its
  // own the test never takes another program's hosts for those.
  ScopedCommonDataDir data_;
  ScopedTempDir common_;
  RegistryStore registry_{common_.path()};
  CZEVMethodRegistry methods_;
  static ScopedTempDir* log_dir_;
};
ScopedTempDir* Manager::log_dir_ = nullptr;

}  // namespace

TEST_F(Manager, ListensOnTheFirstFreePortAndPublishesIt) {
  int first = FreePortRange(5, 47100);
  ASSERT_NE(first, 0);
  Listener a(first), b(first + 1);
  ASSERT_TRUE(a.ok() && b.ok());
  ManagerOptions options;
  options.first_port = first;
  options.last_port = first + 4;
  CZEVManager manager(Deps(), options);
  ASSERT_TRUE(manager.Start());
  EXPECT_EQ(manager.port(), first + 2);
  for (const char* key : {kPortKey, kPortKeyWow64}) {
    std::string value;
    ASSERT_TRUE(registry_.ReadString(RegRoot::kClassesRoot, key, kPortValueName, &value));
    EXPECT_EQ(value, std::to_string(first + 2));
  }
  EXPECT_FALSE(IsPortAvailable(first + 2));
  EXPECT_TRUE(LogFileContains(LogPath(), "The port(" + std::to_string(first + 1) + ") is not available."));
  EXPECT_TRUE(LogFileContains(LogPath(), "Successfully written to the discovered port(" +
                                                   std::to_string(first + 2) + ")."));
  manager.Quit();
  EXPECT_TRUE(LogFileContains(LogPath(), "ZEVService quit"));
  Listener again(first + 2);
  EXPECT_TRUE(again.ok());  // the endpoint is gone
}

// Another program takes the free port before the endpoint binds it: the
// next free one of the range is used and published.
TEST_F(Manager, APortTakenBeforeTheBindGivesWayToTheNext) {
  int first = FreePortRange(3, 47150);
  ASSERT_NE(first, 0);
  ManagerOptions options;
  options.first_port = first;
  options.last_port = first + 2;
  CZEVManager manager(Deps(), options);
  std::unique_ptr<Listener> thief;
  std::vector<int> tried;
  CZEVManager::Hooks hooks;
  hooks.before_listen = [&](int port) {
    tried.push_back(port);
    if (!thief) thief = std::make_unique<Listener>(port);
  };
  manager.set_hooks(hooks);
  ASSERT_TRUE(manager.Start());
  ASSERT_TRUE(thief && thief->ok());
  EXPECT_EQ(tried, (std::vector<int>{first, first + 1}));
  EXPECT_EQ(manager.port(), first + 1);
  std::string value;
  ASSERT_TRUE(registry_.ReadString(RegRoot::kClassesRoot, kPortKey, kPortValueName, &value));
  EXPECT_EQ(value, std::to_string(first + 1));
  EXPECT_TRUE(LogFileContains(LogPath(), "The port(" + std::to_string(first) +
                                             ") was taken before the server listened on it; trying the next."));
  manager.Quit();
}

TEST_F(Manager, GivesUpWhileAnotherInstanceHoldsTheMutex) {
  bool exists = false;
  auto other = NamedMutex::CreateIn(common_.Sub("run"), kInstanceMutexName, &exists);
  ASSERT_TRUE(other && other->owned());
  ManagerOptions options;
  options.instance_attempts = 3;
  options.first_port = FreePortRange(2, 47100);
  options.last_port = options.first_port + 1;
  FakeClock clock;
  ManagerDeps deps = Deps();
  deps.clock = &clock;
  CZEVManager manager(deps, options);
  std::thread release([&] {
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(clock.AwaitTimedWaiters(1));
      clock.Advance(3000);  // the 3 s between attempts
    }
  });
  EXPECT_FALSE(manager.Start());
  release.join();
  EXPECT_EQ(manager.port(), 0);  // nothing else was done
  EXPECT_TRUE(manager.instance_held_elsewhere());
  EXPECT_TRUE(LogFileContains(LogPath(), "------last moudle still living-----"));
  EXPECT_TRUE(LogFileContains(LogPath(), "[3] Another instance holds the instance lock " + other->path() +
                                             "; this one serves nothing and stays idle."));
  std::string value;
  EXPECT_FALSE(registry_.ReadString(RegRoot::kClassesRoot, kPortKey, kPortValueName, &value));

  other.reset();  // the earlier instance ends: the next start succeeds
  EXPECT_TRUE(manager.Start());
  EXPECT_NE(manager.port(), 0);
  EXPECT_FALSE(manager.instance_held_elsewhere());
}

TEST_F(Manager, PickPortHandlesFullAndReversedRanges) {
  int first = FreePortRange(2, 47100);
  Listener a(first), b(first + 1);
  EXPECT_EQ(PickPort(first, first + 1), 0);
  EXPECT_EQ(PickPort(first + 1, first), first + 1);
  EXPECT_TRUE(LogFileContains(LogPath(), "maxPort is smaller than the incoming port."));
}

TEST_F(Manager, QuitEndsTheWaitForTheInstanceMutexAtOnce) {
  bool exists = false;
  auto other = NamedMutex::CreateIn(common_.Sub("run"), kInstanceMutexName, &exists);
  ASSERT_TRUE(other && other->owned());
  FakeClock clock;  // never moved: only the stop can end the waits
  ManagerDeps deps = Deps();
  deps.clock = &clock;
  CZEVManager manager(deps);
  std::atomic<bool> started{true};
  Latch returned;
  std::thread start([&] {
    started = manager.Start();
    returned.Open();
  });
  ASSERT_TRUE(clock.AwaitTimedWaiters(1));  // waiting between attempts
  manager.Quit();  // must not wait for the 33 s of attempts
  ASSERT_TRUE(returned.Wait());
  start.join();
  EXPECT_FALSE(started);
  EXPECT_EQ(manager.port(), 0);
  EXPECT_TRUE(LogFileContains(LogPath(), "Stop asked while waiting for the instance mutex."));
}

TEST_F(Manager, StartsThePipeServerAndLogsWhenItCannotStart) {
  int first = FreePortRange(2, 47100);
  ManagerOptions options;
  options.first_port = first;
  options.last_port = first + 1;
  {
    CZEVIPCServer server(Clock::Real());
    server.setRuntimeDir(common_.Sub("run"));
    CZEVPipeServerImpl pipe(&server, &methods_);
    CZEVManager manager(Deps(&pipe), options);
    ASSERT_TRUE(manager.Start());
    EXPECT_TRUE(FileExists(server.socket_path()));
    EXPECT_TRUE(manager.failed_front_ends().empty());
    manager.Quit();
    EXPECT_FALSE(FileExists(server.socket_path()));
  }
  // A socket path longer than the kernel takes: nothing listens, and it is said.
  CZEVIPCServer server(Clock::Real());
  server.setRuntimeDir(common_.Sub(std::string(120, 'd')));
  CZEVPipeServerImpl pipe(&server, &methods_);
  CZEVManager manager(Deps(&pipe), options);
  ASSERT_TRUE(manager.Start());
  EXPECT_TRUE(LogFileContains(LogPath(), "The pipe server did not start; calls over the socket are not served."));
}

TEST_F(Manager, NamesTheFrontEndsThatCouldNotStart) {
  int first = FreePortRange(2, 47100);
  ManagerOptions options;
  options.first_port = first;
  options.last_port = first + 1;
  CZEVIPCServer server(Clock::Real());
  server.setRuntimeDir(common_.Sub(std::string(120, 'd')));  // too long a path for a socket
  CZEVPipeServerImpl pipe(&server, &methods_);
  CZEVManager manager(Deps(&pipe), options);
  {
    Listener a(first), b(first + 1);  // no free port: the endpoint cannot listen
    ASSERT_TRUE(a.ok() && b.ok());
    ASSERT_TRUE(manager.Start());
  }
  EXPECT_EQ(manager.failed_front_ends(), (std::vector<std::string>{"http", "pipe"}));
  EXPECT_TRUE(LogFileContains(LogPath(), "[3] Http server start failed"));
  EXPECT_TRUE(LogFileContains(LogPath(), "[3] The pipe server did not start"));
  manager.Quit();

  // With the ports free the endpoint starts; the socket still cannot.
  ASSERT_TRUE(manager.Start());
  EXPECT_EQ(manager.failed_front_ends(), std::vector<std::string>{"pipe"});
  manager.Quit();
}

// With every port of the range taken the endpoint cannot listen: nothing
// is published for clients to find, and the socket front end serves anyway.
TEST_F(Manager, EveryPortTakenPublishesNothingAndThePipeStillServes) {
  int first = FreePortRange(3, 47120);
  ManagerOptions options;
  options.first_port = first;
  options.last_port = first + 2;
  ScopedTempDir run;
  CZEVIPCServer server(Clock::Real());
  server.setRuntimeDir(run.path());
  CZEVPipeServerImpl pipe(&server, &methods_);
  CZEVManager manager(Deps(&pipe), options);
  Listener a(first), b(first + 1), c(first + 2);
  ASSERT_TRUE(a.ok() && b.ok() && c.ok());
  ASSERT_TRUE(manager.Start());
  EXPECT_EQ(manager.port(), 0);
  EXPECT_EQ(manager.failed_front_ends(), std::vector<std::string>{"http"});
  std::string value;
  EXPECT_FALSE(registry_.ReadString(RegRoot::kClassesRoot, kPortKey, kPortValueName, &value)) << value;
  for (int port = first; port <= first + 2; ++port) {
    EXPECT_TRUE(LogFileContains(LogPath(), "The port(" + std::to_string(port) + ") is not available."));
  }
  EXPECT_TRUE(LogFileContains(LogPath(), "The ip or port is NULL: "));
  manager.Quit();
}

TEST_F(Manager, HoldsThePortMutexWhileTheEndpointAnswers) {
  int first = FreePortRange(2, 47150);
  ManagerOptions options;
  options.first_port = first;
  options.last_port = first + 1;
  FakeClock clock;
  ManagerDeps deps = Deps();
  deps.clock = &clock;
  deps.port_guard = true;
  CZEVManager manager(deps, options);
  ASSERT_TRUE(manager.Start());
  const int port = manager.port();
  ASSERT_NE(port, 0);
  EXPECT_TRUE(PortMutexIsHeld(port, deps.run_dir));
  // The first check probes the real endpoint over loopback and keeps it.
  ASSERT_TRUE(clock.AwaitTimedWaiters(1));
  EXPECT_EQ(clock.NextDeadline() - clock.MonotonicMillis(), 5000);
  clock.Advance(5000);
  ASSERT_TRUE(clock.AwaitTimedWaiters(1));
  EXPECT_EQ(clock.NextDeadline() - clock.MonotonicMillis(), 60000);
  EXPECT_TRUE(PortMutexIsHeld(port, deps.run_dir));
  EXPECT_FALSE(LogFileContains(LogPath(), "Localhost check failed."));
  // Quit drops the mutex and leaves no guard thread waiting.
  manager.Quit();
  EXPECT_FALSE(PortMutexIsHeld(port, deps.run_dir));
  EXPECT_EQ(clock.NextDeadline(), Clock::kNoDeadline);
}

// Clients find the service only through the port in the registry, so a full
// disk at start-up must not leave it unpublished for the life of the process.
TEST_F(Manager, WritesThePortAgainEveryMinuteUntilTheRegistryTakesIt) {
  int first = FreePortRange(2, 47100);
  ManagerOptions options;
  options.first_port = first;
  options.last_port = first + 1;
  FakeClock clock;
  ManagerDeps deps = Deps();
  deps.clock = &clock;
  registry_.SetPageLimitForTesting(1);  // the disk is full
  CZEVManager manager(deps, options);
  ASSERT_TRUE(manager.Start());
  const int port = manager.port();
  ASSERT_NE(port, 0);
  std::string value;
  EXPECT_FALSE(registry_.ReadString(RegRoot::kClassesRoot, kPortKey, kPortValueName, &value));
  EXPECT_TRUE(LogFileContains(LogPath(), "[3] Failed to write the obtained port number."));
  EXPECT_TRUE(LogFileContains(LogPath(), "The registry refused the port: database or disk is full."));

  // A minute later the disk is still full: the write fails and waits for the next minute.
  ASSERT_TRUE(clock.AwaitTimedWaiters(1));
  EXPECT_EQ(clock.NextDeadline() - clock.MonotonicMillis(), 60000);
  clock.Advance(60000);
  ASSERT_TRUE(clock.AwaitTimedWaiters(1));
  EXPECT_FALSE(registry_.ReadString(RegRoot::kClassesRoot, kPortKey, kPortValueName, &value));

  registry_.SetPageLimitForTesting(0);  // room again
  clock.Advance(60000);
  // The retry thread writes after the move; kPortKey is the second of the two writes.
  for (int i = 0; i < 1000 && !registry_.ReadString(RegRoot::kClassesRoot, kPortKey, kPortValueName, &value); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (const char* key : {kPortKey, kPortKeyWow64}) {
    ASSERT_TRUE(registry_.ReadString(RegRoot::kClassesRoot, key, kPortValueName, &value)) << key;
    EXPECT_EQ(value, std::to_string(port));
  }
  manager.Quit();

  // Quit ends retries that are still waiting, at once.
  ScopedTempDir full_dir;
  RegistryStore full(full_dir.path());
  full.SetPageLimitForTesting(1);
  deps.registry = &full;
  CZEVManager stuck(deps, options);
  ASSERT_TRUE(stuck.Start());
  ASSERT_TRUE(clock.AwaitTimedWaiters(1));
  stuck.Quit();  // joins the retry thread; time never moves
  EXPECT_EQ(clock.NextDeadline(), Clock::kNoDeadline);
}

}  // namespace zev
