#include "platform/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "platform/named_mutex.h"
#include "platform/paths.h"
#include "platform/ports.h"
#include "platform/session.h"
#include "platform/wait.h"
#include "testing/test_util.h"

namespace zev {

using Args = std::vector<std::string>;

TEST(CommandLine, SplitsByTheWindowsRules) {
  EXPECT_EQ(SplitCommandLine("prog a b"), (Args{"prog", "a", "b"}));
  EXPECT_EQ(SplitCommandLine("  prog\t a  "), (Args{"prog", "a"}));
  EXPECT_EQ(SplitCommandLine("prog a\" \"b"), (Args{"prog", "a b"}));
  EXPECT_EQ(SplitCommandLine("\"C:/Program Files/x.exe\" -d \"D E\""),
            (Args{"C:/Program Files/x.exe", "-d", "D E"}));
  EXPECT_EQ(SplitCommandLine("p \"a\"\"b\""), (Args{"p", "a\"b"}));
  EXPECT_EQ(SplitCommandLine("p a\\\\\"b c\""), (Args{"p", "a\\b c"}));  // 2n: n, then quote groups
  EXPECT_EQ(SplitCommandLine("p a\\\"b"), (Args{"p", "a\"b"}));          // 2n+1: literal quote
  EXPECT_EQ(SplitCommandLine("p a\\b\\\\"), (Args{"p", "a\\b\\\\"}));    // no quote: literal
  EXPECT_EQ(SplitCommandLine("p \"\""), (Args{"p", ""}));
  EXPECT_EQ(SplitCommandLine("p \"open"), (Args{"p", "open"}));
  EXPECT_TRUE(SplitCommandLine("   ").empty());
}

TEST(Process, ExitCodesIncludeSignals) {
  auto ok = StartProcess("/bin/sh -c \"exit 3\"");
  ASSERT_NE(ok, nullptr);
  ASSERT_TRUE(ok->Wait(kInfinite));
  EXPECT_EQ(ok->ExitCode(), 3);

  auto sleeper = StartProcess("sleep 30");
  ASSERT_NE(sleeper, nullptr);
  EXPECT_EQ(sleeper->ExitCode(), kStillActive);
  EXPECT_FALSE(sleeper->Wait(10));
  EXPECT_TRUE(sleeper->Terminate());
  ASSERT_TRUE(sleeper->Wait(kInfinite));
  EXPECT_EQ(sleeper->ExitCode(), 128 + 9);
  EXPECT_TRUE(sleeper->Terminate());  // already ended

  std::string error;
  EXPECT_EQ(StartProcess("/nonexistent/program", StartOptions(), &error), nullptr);
  EXPECT_NE(error.find("/nonexistent/program"), std::string::npos);
  EXPECT_EQ(StartProcess("", StartOptions(), &error), nullptr);
}

TEST(Process, StartsInTheGivenFolderWithArgumentsIntact) {
  ScopedTempDir tmp;
  StartOptions options;
  options.working_dir = tmp.path();
  auto p = StartProcess("/bin/sh -c \"printf '%s' \\\"$1\\\" > out\" sh \"a b\"", options);
  ASSERT_NE(p, nullptr);
  ASSERT_TRUE(p->Wait(kInfinite));
  EXPECT_EQ(p->ExitCode(), 0);
  std::string data;
  ASSERT_TRUE(ReadFileToString(tmp.Sub("out"), &data));
  EXPECT_EQ(data, "a b");
}

TEST(Wait, ProcessesAndEventsAreWaitedOnTogether) {
  Event stop;
  auto sleeper = StartProcess("sleep 30");
  ASSERT_NE(sleeper, nullptr);
  EXPECT_EQ(WaitForAny({sleeper.get(), &stop}, 20), kWaitTimeout);

  std::thread setter([&] { stop.Set(); });
  EXPECT_EQ(WaitForAny({sleeper.get(), &stop}, kInfinite), 1);
  setter.join();
  EXPECT_EQ(WaitForAny({sleeper.get(), &stop}, 0), kWaitTimeout);  // auto-reset

  sleeper->Terminate();
  EXPECT_EQ(WaitForAny({sleeper.get(), &stop}, kInfinite), 0);
  stop.Set();
  EXPECT_EQ(WaitForAny({sleeper.get(), &stop}, kInfinite), 0);  // lowest index first
  EXPECT_EQ(sleeper->ExitCode(), 137);
}

TEST(Wait, ManualEventsStaySetUntilReset) {
  Event manual(Event::ResetMode::kManual);
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));

  Event automatic(Event::ResetMode::kAuto, /*initially_set=*/true);
  automatic.Set();  // several sets before a wait wake it once
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
}

TEST(Process, TerminateByNameMatchesTheExactExecutableName) {
  ScopedTempDir tmp;
  std::string copy = tmp.Sub("zevTestSleeper");
  ASSERT_TRUE(CopyFileTo("/bin/sleep", copy));
  auto p = StartProcess(copy + " 30");
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(TerminateProcessesByName("zevtestsleeper"));
  EXPECT_FALSE(p->Wait(50));
  EXPECT_EQ(FindProcessesByName("zevTestSleeper").size(), 1u);
  EXPECT_TRUE(TerminateProcessesByName("zevTestSleeper"));
  ASSERT_TRUE(p->Wait(kInfinite));
  EXPECT_EQ(p->ExitCode(), 137);
  EXPECT_TRUE(TerminateProcessesByName("zevTestSleeper"));  // none left
}

TEST(NamedMutex, SecondOpenSeesItExistsUntilTheHolderReleases) {
  ScopedTempDir common;
  const std::string run = common.path() + "/run";
  const std::string name = "Global\\{A83804EB-0F71-49BA-B27F-A42348E854F0}_61024";
  bool exists = true;
  auto first = NamedMutex::CreateIn(run, name, &exists);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(exists);
  EXPECT_TRUE(first->owned());
  EXPECT_EQ(first->path(), common.path() + "/run/Global_{A83804EB-0F71-49BA-B27F-A42348E854F0}_61024");

  auto second = NamedMutex::CreateIn(run, name, &exists);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(exists);
  EXPECT_FALSE(second->owned());

  // Another process sees it held too.
  auto probe = StartProcess("flock -n \"" + first->path() + "\" true");
  ASSERT_NE(probe, nullptr);
  ASSERT_TRUE(probe->Wait(kInfinite));
  EXPECT_EQ(probe->ExitCode(), 1);

  first.reset();
  EXPECT_TRUE(second->TryAcquire());
  EXPECT_EQ(NamedMutexFileName("a/b\\c"), "a_b_c");
}

// Whoever can open a lock file can hold its lock and so keep the service
// from starting: lock files are the service user's alone, in a runtime
// folder that only that user can write, whatever the umask.
TEST(NamedMutex, LockFilesAreTheServiceUsersAloneInAFolderOnlyItCanWrite) {
  ScopedTempDir common;
  const std::string run = common.path() + "/run";
  auto mode = [](const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
  };
  struct OpenUmask {
    const mode_t old = umask(0);
    ~OpenUmask() { umask(old); }
  } open_umask;
  bool exists = true;
  auto held = NamedMutex::CreateIn(run, "Global\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}", &exists);
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(held->owned());
  EXPECT_EQ(mode(held->path()), 0600);
  EXPECT_EQ(mode(common.path() + "/run"), 0711);

  // A lock file that an earlier version left open to everyone is narrowed
  // by the next open.
  const std::string old_file = common.path() + "/run/Global_{old}";
  int fd = open(old_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(mode(old_file), 0666);
  auto reopened = NamedMutex::CreateIn(run, "Global\\{old}", &exists);
  ASSERT_NE(reopened, nullptr);
  EXPECT_EQ(mode(old_file), 0600);

  // A folder the caller names is made the same way; one that exists keeps
  // its mode (it may be a shared folder that is not the service's).
  auto elsewhere = NamedMutex::CreateIn(common.path() + "/a/lock", "Global\\x", &exists);
  ASSERT_NE(elsewhere, nullptr);
  EXPECT_EQ(mode(common.path() + "/a/lock"), 0711);
  EXPECT_EQ(mode(elsewhere->path()), 0600);
  ASSERT_EQ(mkdir((common.path() + "/shared").c_str(), 0755), 0);
  auto shared = NamedMutex::CreateIn(common.path() + "/shared", "Global\\y", &exists);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(mode(common.path() + "/shared"), 0755);
  EXPECT_EQ(mode(shared->path()), 0600);
}

TEST(Ports, OnlyListenersAndSocketsThatForbidReuseTakeAPort) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;  // as the HTTP endpoint binds
  ASSERT_EQ(setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)), 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t len = sizeof(addr);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  int listen_port = ntohs(addr.sin_port);
  EXPECT_FALSE(IsPortAvailable(listen_port));

  // The side that closes first keeps its port in TIME_WAIT: the client, then the server.
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  int accepted = accept(listener, nullptr, nullptr);
  sockaddr_in local = {};
  len = sizeof(local);
  getsockname(client, reinterpret_cast<sockaddr*>(&local), &len);
  int client_port = ntohs(local.sin_port);
  close(client);
  char buf[1];
  EXPECT_EQ(read(accepted, buf, 1), 0);
  close(accepted);
  int second = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(second, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  close(accept(listener, nullptr, nullptr));
  EXPECT_EQ(read(second, buf, 1), 0);
  close(second);
  // The kernel's answer and the text table's agree, for a port in use and
  // for one that is not.
  std::string proc_table;
  ASSERT_TRUE(ReadFileToString("/proc/net/tcp", &proc_table));
  EXPECT_EQ(DiagListsListener(listen_port), 1);
  EXPECT_TRUE(TcpTableListsListener(proc_table, listen_port));
  int unused = 0;
  for (int p = 47990; p < 48090 && unused == 0; ++p) {
    if (!TcpTableListsListener(proc_table, p)) unused = p;
  }
  ASSERT_NE(unused, 0);
  EXPECT_EQ(DiagListsListener(unused), 0);
  close(listener);
  // A new listener binds beside the server's closing ends, not the client's.
  EXPECT_FALSE(IsPortAvailable(client_port));
  EXPECT_TRUE(IsPortAvailable(listen_port));

  EXPECT_FALSE(IsPortAvailable(0));
  EXPECT_FALSE(IsPortAvailable(70000));
  const std::string table =
      "  sl  local_address rem_address   st\n"
      "   0: 0100007F:EF60 00000000:0000 0A\n"
      "   1: 0100007F:EE20 0100007F:9C41 06\n";
  EXPECT_TRUE(TcpTableListsListener(table, 61280));
  EXPECT_FALSE(TcpTableListsListener(table, 60960));  // TIME_WAIT
  EXPECT_FALSE(TcpTableListsListener(table, 61024));
}

TEST(Session, ExpansionKnowsBothSyntaxesAndLeavesUnknownNamesAlone) {
  std::map<std::string, std::string> env = {{"HOME", "/home/u"}, {"APP", "x y"}};
  std::string out;
  ASSERT_TRUE(ExpandEnvironment("%HOME%/a $HOME/b ${HOME}c %NOPE% $NOPE ${NOPE} 100% $", env, &out));
  EXPECT_EQ(out, "/home/u/a /home/u/b /home/uc %NOPE% $NOPE ${NOPE} 100% $");
  EXPECT_FALSE(ExpandEnvironment(std::string(40000, 'a'), env, &out));

  setenv("ZEV_TEST_EXPAND", "with blank", 1);
  ASSERT_TRUE(ExpandForUser(nullptr, "$ZEV_TEST_EXPAND", &out));
  EXPECT_EQ(out, "\"with blank\"");
  EXPECT_FALSE(ExpandForUser(nullptr, "", &out));
  unsetenv("ZEV_TEST_EXPAND");
}

TEST(Process, ChildrenInheritOnlyTheStandardDescriptorsAndNoNotifySocket) {
  // A descriptor without close-on-exec, as a library might leave one.
  int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 0);
  int high = dup2(leaked, 77);
  ASSERT_EQ(high, 77);
  setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  StartOptions options;
  options.stdout_fd = out[1];
  auto child = StartProcessArgv({"/bin/sh", "-c", "ls /proc/$$/fd; echo notify=${NOTIFY_SOCKET-unset}"}, options);
  close(out[1]);
  unsetenv("NOTIFY_SOCKET");
  ASSERT_TRUE(child);
  std::string text;
  char buf[256];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
  close(out[0]);
  EXPECT_TRUE(child->Wait(kInfinite));
  close(leaked);
  close(high);
  EXPECT_EQ(text, "0\n1\n2\nnotify=unset\n");
}

}  // namespace zev
