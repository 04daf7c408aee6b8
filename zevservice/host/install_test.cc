// Installation and removal run against a temporary unit folder and a
// stand-in for systemctl: systemd is not PID 1 where these tests run, so the
// real systemctl can neither show nor stop a unit (and "enable" would write
// into the real /etc). The stand-in is a shell script that keeps the unit's
// state in a file, logs every call and answers "show" as systemctl does.
// Everything else is real: the files and links, the install log, the
// processes and the kill.
#include "host/install.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "base/log.h"
#include "host/systemd_unit.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "testing/fake_clock.h"
#include "testing/test_util.h"

namespace zev {

namespace {

const char kFakeSystemctl[] = R"sh(#!/bin/sh
d="$(dirname "$0")"
echo "$*" >> "$d/calls"
state=inactive pid=0 left=0
[ -f "$d/state" ] && . "$d/state"
case "$1" in
  show)
    if [ "$state" = deactivating ]; then
      if [ "$left" -le 0 ]; then state=inactive pid=0; else left=$((left - 1)); fi
    fi
    printf 'MainPID=%s\nActiveState=%s\nId=zevsvc.service\n' "$pid" "$state" ;;
  stop)
    [ "$state" = inactive ] || state=deactivating ;;
esac
printf 'state=%s\npid=%s\nleft=%s\n' "$state" "$pid" "$left" > "$d/state"
)sh";

std::set<std::string> List(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.insert(e.path().filename().string());
  return names;
}

std::string ExpectedUnit() {
  char real[PATH_MAX];
  std::string unit, error;
  EXPECT_NE(realpath(ZEVSVC_PATH, real), nullptr);
  EXPECT_TRUE(RenderServiceUnit(real, &unit, &error)) << error;
  return unit;
}

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // One data directory for the process: the install log opens only once.
    static ScopedCommonDataDir common;
    mkdir(tmp_.Sub("fake").c_str(), 0755);
    ASSERT_TRUE(WriteFileAtomically(tmp_.Sub("fake/systemctl"), kFakeSystemctl));
    chmod(tmp_.Sub("fake/systemctl").c_str(), 0755);
    options_.clock = &clock_;
    options_.systemctl = tmp_.Sub("fake/systemctl");
    options_.unit_dir = tmp_.Sub("units");
    options_.package_unit_dir = tmp_.Sub("package");
    options_.systemd_marker = tmp_.Sub("run-systemd");
    options_.program = ZEVSVC_PATH;
    ExpectLogged({});
  }

  // Runs Install or Remove on its own thread and moves the clock on to each
  // of its waits until it returns; *took_ms := the clock time it used.
  bool Run(bool install, int64_t* took_ms = nullptr) {
    const int64_t start = clock_.MonotonicMillis();
    std::atomic<bool> done{false};
    bool result = false;
    std::thread runner([&] {
      ServiceInstaller installer(options_);
      result = install ? installer.Install() : installer.Remove();
      done = true;
    });
    while (!done) {
      if (clock_.AwaitTimedWaiters(1, 20)) clock_.Advance(clock_.NextDeadline() - clock_.MonotonicMillis());
    }
    runner.join();
    if (took_ms != nullptr) *took_ms = clock_.MonotonicMillis() - start;
    return result;
  }

  // The unit as the stand-in reports it; `left` more queries still say
  // "deactivating" after a stop.
  void SetState(const std::string& state, pid_t pid, int left) {
    std::ofstream(tmp_.Sub("fake/state")) << "state=" << state << "\npid=" << pid << "\nleft=" << left << "\n";
  }
  size_t CountCalls(const std::string& call) {
    std::ifstream in(tmp_.Sub("fake/calls"));
    size_t n = 0;
    for (std::string line; std::getline(in, line);) n += line == call;
    return n;
  }
  // Each of `lines` ("[level] text") is in the install log written since the
  // last call.
  void ExpectLogged(const std::vector<std::string>& lines) {
    LogFlush();
    std::string data;
    ReadFileToString(LogCurrentPath(), &data);
    const std::string fresh = data.size() > log_seen_ ? data.substr(log_seen_) : std::string();
    log_seen_ = data.size();
    for (const std::string& line : lines) EXPECT_NE(fresh.find(line), std::string::npos) << line;
  }

  ScopedTempDir tmp_;
  FakeClock clock_;
  InstallOptions options_;
  size_t log_seen_ = 0;
};

TEST_F(InstallTest, InstallingTwiceLeavesOneUnitAndOneLink) {
  EXPECT_FALSE(Run(false));
  ExpectLogged({"[3] OpenService failed, errno = 2."});

  ASSERT_TRUE(Run(true));
  ExpectLogged({"[3] OpenService failed, errno = 2.", "[1] Service installed successfully!",
                "[1] Service description updated successfully!"});
  EXPECT_EQ(CountCalls("daemon-reload"), 0u);

  mkdir(options_.systemd_marker.c_str(), 0755);
  ASSERT_TRUE(Run(true));
  ExpectLogged({"[1] Service is already stopped.", "[1] ZEVService.exe is not running.",
                "[1] Service deleted successfully."});
  // One reload after the removal, one after the new unit; never "enable".
  EXPECT_EQ(CountCalls("daemon-reload"), 2u);
  std::string calls;
  ReadFileToString(tmp_.Sub("fake/calls"), &calls);
  EXPECT_EQ(calls.find("enable"), std::string::npos);

  ServiceInstaller installer(options_);
  EXPECT_EQ(List(options_.unit_dir), (std::set<std::string>{"zevsvc.service", "multi-user.target.wants"}));
  EXPECT_EQ(List(options_.unit_dir + "/multi-user.target.wants"), std::set<std::string>{"zevsvc.service"});
  std::string unit;
  ASSERT_TRUE(ReadFileToString(installer.UnitPath(), &unit));
  EXPECT_EQ(unit, ExpectedUnit());
  EXPECT_EQ(std::filesystem::read_symlink(installer.WantsLinkPath()).string(), installer.UnitPath());
}

TEST_F(InstallTest, RemoveStopsARunningServiceAndWaitsOnTheClock) {
  ASSERT_TRUE(Run(true));
  SetState("active", 0, 2);
  ExpectLogged({});
  int64_t took = 0;
  ASSERT_TRUE(Run(false, &took));
  EXPECT_EQ(CountCalls("stop --no-block zevsvc.service"), 1u);
  // Three one-second pauses until the third query finds it stopped, then
  // the five seconds before the kill.
  EXPECT_EQ(took, 3000 + 5000);
  ExpectLogged({"[1] Service stopped successfully."});
  EXPECT_FALSE(FileExists(options_.unit_dir + "/zevsvc.service"));

  // Already stopping: no second stop, only the wait.
  ASSERT_TRUE(Run(true));
  SetState("deactivating", 0, 1);
  ASSERT_TRUE(Run(false));
  EXPECT_EQ(CountCalls("stop --no-block zevsvc.service"), 1u);
  ExpectLogged({"[1] Service stop pending...", "[1] Service stopped successfully."});
}

TEST_F(InstallTest, RemoveKillsAServiceThatNeverStops) {
  ASSERT_TRUE(Run(true));
  std::unique_ptr<ProcessHandle> service = StartProcessArgv({"sleep", "100"});
  ASSERT_NE(service, nullptr);
  SetState("active", service->pid(), 1000000);
  ExpectLogged({});
  int64_t took = 0;
  ASSERT_TRUE(Run(false, &took));
  // 31 one-second pauses until more than 30 s have passed, then five.
  EXPECT_EQ(took, 31000 + 5000);
  ExpectLogged({"[3] Wait timed out.", "[1] Terminate ZEVService.exe successfully.",
                "[1] Service deleted successfully."});
  ASSERT_TRUE(service->Wait(5000));
  EXPECT_EQ(service->ExitCode(), 128 + SIGKILL);
  EXPECT_TRUE(List(options_.unit_dir + "/multi-user.target.wants").empty());
  EXPECT_FALSE(FileExists(options_.unit_dir + "/zevsvc.service"));
}

TEST_F(InstallTest, InstallFailsWithoutWritingHalfAnInstallation) {
  // CI runs as root, so a file in the way makes the folders unwritable
  // rather than their mode.
  ASSERT_TRUE(WriteFileAtomically(tmp_.Sub("file"), "x"));
  options_.unit_dir = tmp_.Sub("file/units");
  EXPECT_FALSE(Run(true));
  ExpectLogged({"[3] OpenSCManager failed, errno = 20.",
                "Cannot create the unit folder " + options_.unit_dir + ": Not a directory."});

  // The unit can be written but its link cannot: the unit goes again.
  options_.unit_dir = tmp_.Sub("units");
  mkdir(options_.unit_dir.c_str(), 0755);
  ASSERT_TRUE(WriteFileAtomically(options_.unit_dir + "/multi-user.target.wants", "x"));
  EXPECT_FALSE(Run(true));
  ExpectLogged({"[3] CreateService failed, errno = 20."});
  EXPECT_EQ(List(options_.unit_dir), std::set<std::string>{"multi-user.target.wants"});

  // A path that would add a directive is refused before anything is written.
  options_.unit_dir = tmp_.Sub("units2");
  options_.program = "/opt/zev\nExecStartPre=/bin/evil/zevsvc";
  EXPECT_FALSE(Run(true));
  ExpectLogged({"The service cannot be installed from here"});
  EXPECT_FALSE(DirectoryExists(options_.unit_dir));
}

TEST_F(InstallTest, ThePackagesUnitAndLinkAreLeftToThePackage) {
  ServiceInstaller installer(options_);
  mkdir(options_.package_unit_dir.c_str(), 0755);
  std::filesystem::create_directories(options_.unit_dir + "/multi-user.target.wants");
  ASSERT_TRUE(WriteFileAtomically(installer.PackageUnitPath(), "[Unit]\n"));
  std::filesystem::create_symlink(installer.PackageUnitPath(), installer.WantsLinkPath());
  SetState("active", 0, 1);
  EXPECT_FALSE(Run(true));
  EXPECT_FALSE(Run(false));
  EXPECT_EQ(CountCalls("stop --no-block zevsvc.service"), 0u);
  // A unit that an earlier install wrote over the package's goes; the package's link stays.
  ASSERT_TRUE(WriteFileAtomically(installer.UnitPath(), "[Unit]\n"));
  EXPECT_TRUE(Run(false));
  EXPECT_EQ(std::filesystem::read_symlink(installer.WantsLinkPath()).string(), installer.PackageUnitPath());
}

// The real program with its short test delays; its exit code; *out: its steps, then the outcome.
int RunZevsvc(const std::string& verb, const ScopedTempDir& tmp, std::string* out) {
  int fds[2];
  EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
  StartOptions start;
  start.stdout_fd = fds[1];
  start.stderr_fd = fds[1];
  auto child = StartProcessArgv({"/usr/bin/env", "ZEV_SYSTEMD_UNIT_DIR=" + tmp.Sub("units"),
                                 "ZEV_PACKAGE_UNIT_DIR=" + tmp.Sub("package"),
                                 "ZEV_SYSTEMCTL=" + tmp.Sub("fake/systemctl"), "ZEV_COMMON_APPDATA=" + tmp.Sub("common"),
                                 ZEVSVC_PATH, verb, "ignored", "--test-timings"},
                                start);
  close(fds[1]);
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;) out->append(buf, static_cast<size_t>(n));
  close(fds[0]);
  return child != nullptr && child->Wait(60000) ? child->ExitCode() : -1;
}

// No empty line among the steps, and the outcome `last` at the end.
bool StepsThen(const std::string& out, const std::string& last) {
  return out.find("\n\n") == std::string::npos && out.size() > last.size() &&
         out.substr(out.size() - last.size()) == last;
}

TEST_F(InstallTest, ZevsvcInstallsAndUninstallsItself) {
  std::string out;
  EXPECT_EQ(RunZevsvc("INSTALL", tmp_, &out), 0);
  EXPECT_TRUE(StepsThen(out, "Success to install ZEVService\n")) << out;
  std::string unit, log;
  ASSERT_TRUE(ReadFileToString(tmp_.Sub("units/zevsvc.service"), &unit));
  EXPECT_EQ(unit, ExpectedUnit());
  ASSERT_TRUE(ReadFileToString(tmp_.Sub("common/Varnel/ZEV/2.0/zevsvc.1.txt"), &log));
  EXPECT_NE(log.find("[1] ###########################################"), std::string::npos);

  SetState("active", 0, 1);
  out.clear();
  EXPECT_EQ(RunZevsvc("uninstall", tmp_, &out), 0);
  EXPECT_TRUE(StepsThen(out, "Success to uninstall ZEVService\n")) << out;
  const size_t stopped = out.find("stopped successfully");
  EXPECT_TRUE(stopped != std::string::npos && stopped == out.rfind("stopped successfully")) << out;
  EXPECT_FALSE(FileExists(tmp_.Sub("units/zevsvc.service")));
  out.clear();
  EXPECT_EQ(RunZevsvc("uninstall", tmp_, &out), 255);
  EXPECT_TRUE(StepsThen(out, "Failed to uninstall ZEVService\n")) << out;
}

}  // namespace

}  // namespace zev
