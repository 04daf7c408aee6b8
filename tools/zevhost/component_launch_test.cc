#include "tools/zevhost/component_launch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "testing/test_util.h"
#include "tools/zevhost/test_component.h"

namespace zev {

namespace {

std::string NameOf(CZEVArchType arch) {
  static const char* kNames[] = {"None", "x86", "x64", "ARMv7", "Mips64el", "Loongarch"};
  return kNames[arch];
}

TEST(InstallDir, FollowsTheCatalogueLayoutUnderTheDownloadRoot) {
  CZEVComponentContext c = MakeContext("app", "comp", "1.2");
  EXPECT_EQ(InstallDirFor(c, atx64, "/data"), "/data/Varnel/ZEV/download/app/comp/1.2/x64");
  c.mutable_manifest()->set_downloaddir("\"/opt/zev dl\"");
  EXPECT_EQ(InstallDirFor(c, atx86, "/data"), "/opt/zev dl/app/comp/1.2/x86");
  c.mutable_manifest()->set_downloaddir("\"\"");
  EXPECT_EQ(InstallDirFor(c, atARMv7, "/data"), "/data/Varnel/ZEV/download/app/comp/1.2/ARMv7");
}

TEST(InstallDir, PrefersThisMachinesArchitectureAndFallsBackToAnother) {
  ScopedTempDir common;
  const std::vector<CZEVArchType> order = ArchitectureOrder();
  ASSERT_EQ(order.size(), 5u);
#if defined(__x86_64__)
  EXPECT_EQ(order.front(), atx64);
#endif
  CZEVComponentContext c = MakeContext("app", "comp", "1");
  std::string dir, why;
  EXPECT_FALSE(FindInstallDir(c, common.path(), &dir, &why));

  const std::string other = InstallDirFor(c, order.back(), common.path());
  ASSERT_TRUE(CreateDirectories(other));
  ASSERT_TRUE(FindInstallDir(c, common.path(), &dir, &why)) << why;
  EXPECT_EQ(dir, other);
  EXPECT_NE(dir.find("/" + NameOf(order.back())), std::string::npos);

  const std::string own = InstallDirFor(c, order.front(), common.path());
  ASSERT_TRUE(CreateDirectories(own));
  ASSERT_TRUE(FindInstallDir(c, common.path(), &dir, &why));
  EXPECT_EQ(dir, own);
}

TEST(EntryPoint, ResolvesInsideTheInstallFolderOnly) {
  ScopedTempDir root;
  const std::string dir = root.Sub("install");
  ASSERT_TRUE(CreateDirectories(dir + "/bin"));
  ASSERT_TRUE(WriteFileAtomically(dir + "/bin/run.sh", "#!/bin/sh\n"));
  ASSERT_TRUE(WriteFileAtomically(root.Sub("outside.sh"), "#!/bin/sh\n"));
  ASSERT_EQ(symlink(root.Sub("outside.sh").c_str(), (dir + "/escape.sh").c_str()), 0);
  ASSERT_EQ(symlink("bin/run.sh", (dir + "/inner.sh").c_str()), 0);

  std::string path, why;
  ASSERT_TRUE(ResolveEntryPoint(dir, "bin\\run.sh", &path, &why)) << why;
  EXPECT_EQ(path, dir + "/bin/run.sh");
  ASSERT_TRUE(ResolveEntryPoint(dir, "inner.sh", &path, &why)) << why;
  EXPECT_EQ(path, dir + "/bin/run.sh");

  for (const char* bad : {"", "../outside.sh", "bin/../../outside.sh", "..\\outside.sh", "/bin/sh", "\\bin\\sh",
                          "escape.sh", "missing.sh", "bin", ".", "bin/.."}) {
    EXPECT_FALSE(ResolveEntryPoint(dir, bad, &path, &why)) << bad;
  }
  // A folder on the way or the file itself that others could change.
  ASSERT_EQ(chmod((dir + "/bin").c_str(), 0777), 0);
  EXPECT_FALSE(ResolveEntryPoint(dir, "bin/run.sh", &path, &why));
  EXPECT_NE(why.find("is writable by others"), std::string::npos) << why;
  ASSERT_EQ(chmod((dir + "/bin").c_str(), 0755), 0);
  ASSERT_EQ(chmod((dir + "/bin/run.sh").c_str(), 0666), 0);
  EXPECT_FALSE(ResolveEntryPoint(dir, "bin/run.sh", &path, &why));
}

TEST(ComponentArgv, RunsExecutablesDirectlyAndOthersThroughTheirShebang) {
  ScopedTempDir dir;
  std::vector<std::string> argv;
  std::string why;
  const std::string exe = dir.Sub("exe.sh");
  ASSERT_TRUE(WriteFileAtomically(exe, "#!/bin/sh\n"));
  chmod(exe.c_str(), 0755);
  ASSERT_TRUE(BuildComponentArgv(exe, &argv, &why));
  EXPECT_EQ(argv, std::vector<std::string>{exe});

  const std::string plain = dir.Sub("plain.sh");
  ASSERT_TRUE(WriteFileAtomically(plain, "#!  /bin/sh   -e  \r\necho\n"));
  chmod(plain.c_str(), 0644);
  ASSERT_TRUE(BuildComponentArgv(plain, &argv, &why)) << why;
  EXPECT_EQ(argv, (std::vector<std::string>{"/bin/sh", "-e", plain}));

  ASSERT_TRUE(WriteFileAtomically(plain, "#!/usr/bin/env python3\n"));
  ASSERT_TRUE(BuildComponentArgv(plain, &argv, &why));
  EXPECT_EQ(argv, (std::vector<std::string>{"/usr/bin/env", "python3", plain}));

  for (const char* text : {"echo hi\n", "#!\n", "#!   \n", ""}) {
    ASSERT_TRUE(WriteFileAtomically(plain, text));
    EXPECT_FALSE(BuildComponentArgv(plain, &argv, &why)) << text;
  }
}

TEST(ComponentEnvironment, SetsTheEightVariablesOverInheritedOnes) {
  setenv("ZEV_APP_CODE", "inherited", 1);
  setenv("ZEVHOST_TEST_KEEP", "kept", 1);
  setenv("ZEV_INSTANCE_ID", "host-only", 1);
  const std::vector<std::string> env =
      ComponentEnvironment(MakeContext("app", "comp", "2.0"), "/inst", "grp:1", "/common");
  unsetenv("ZEV_APP_CODE");
  unsetenv("ZEVHOST_TEST_KEEP");
  unsetenv("ZEV_INSTANCE_ID");
  auto has = [&](const std::string& entry) { return std::count(env.begin(), env.end(), entry); };
  EXPECT_EQ(has("ZEV_APP_CODE=app"), 1);
  EXPECT_EQ(has("ZEV_APP_CODE=inherited"), 0);
  EXPECT_EQ(has("ZEV_COMPONENT_ID=comp"), 1);
  EXPECT_EQ(has("ZEV_COMPONENT_VERSION=2.0"), 1);
  EXPECT_EQ(has("ZEV_COMPONENT_DIR=/inst"), 1);
  EXPECT_EQ(has("ZEV_PROCESS_GROUP=grp:1"), 1);
  EXPECT_EQ(has("ZEV_EXTEND_PARAMS=--verbose x"), 1);
  EXPECT_EQ(has("ZEV_PORT_RANGE=7000-7010"), 1);
  EXPECT_EQ(has("ZEV_COMMON_APPDATA=/common"), 1);
  EXPECT_EQ(has("ZEVHOST_TEST_KEEP=kept"), 1);
  EXPECT_EQ(has("ZEV_INSTANCE_ID=host-only"), 0);
}

int WaitChild(int pidfd) {
  siginfo_t info{};
  waitid(static_cast<idtype_t>(3 /* P_PIDFD */), static_cast<id_t>(pidfd), &info, WEXITED);
  close(pidfd);
  return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
}

TEST(SpawnComponent, GivesTheChildACleanStartInItsOwnGroup) {
  ScopedTempDir dir;
  const std::string out = dir.Sub("out");
  // A descriptor that would leak into the child unless everything from 3 up
  // is closed, and a signal mask the child must not inherit.
  const int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &old);
  LaunchPlan plan;
  // `exec >` moves the shell's own output without keeping a copy, so the
  // shell's descriptors are exactly what the child was given.
  plan.argv = {"/bin/sh", "-c",
               "exec > " + out + "; pwd; ls /proc/$$/fd; readlink /proc/$$/fd/0; cut -d' ' -f5 /proc/$$/stat;"
               " echo \"$MARK\"; exec grep SigBlk /proc/self/status"};
  plan.env = {"MARK=marked", "PATH=/usr/bin:/bin"};
  plan.working_dir = dir.path();
  pid_t pid = 0;
  int pidfd = -1;
  std::string why;
  ASSERT_TRUE(SpawnComponent(plan, &pid, &pidfd, &why)) << why;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(leaked);
  EXPECT_EQ(WaitChild(pidfd), 0);

  std::string text;
  ASSERT_TRUE(ReadFileToString(out, &text));
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  ASSERT_EQ(lines.size(), 8u) << text;
  EXPECT_EQ(lines[0], dir.path());
  EXPECT_EQ(lines[1] + lines[2] + lines[3], "012") << "only the standard descriptors are open";
  EXPECT_EQ(lines[4], "/dev/null");
  EXPECT_EQ(std::stol(lines[5]), pid) << "the child leads a process group of its own";
  EXPECT_EQ(lines[6], "marked");
  EXPECT_EQ(lines[7], "SigBlk:\t0000000000000000");
}

TEST(SpawnComponent, ChildDiesWithTheThreadThatStartedIt) {
  LaunchPlan plan;
  plan.argv = {"/bin/sleep", "100"};
  plan.working_dir = "/";
  pid_t pid = 0;
  int pidfd = -1;
  std::string why;
  bool ok = false;
  std::thread spawner([&] { ok = SpawnComponent(plan, &pid, &pidfd, &why); });
  spawner.join();
  ASSERT_TRUE(ok) << why;
  pollfd p = {pidfd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1) << "the child outlived its parent thread";
  EXPECT_EQ(WaitChild(pidfd), 128 + SIGKILL);
}

TEST(SpawnComponent, ReportsAChildThatCannotRunAndLeavesNothingBehind) {
  LaunchPlan plan;
  plan.argv = {"/nonexistent/program"};
  plan.working_dir = "/";
  pid_t pid = 0;
  int pidfd = -1;
  std::string why;
  EXPECT_FALSE(SpawnComponent(plan, &pid, &pidfd, &why));
  EXPECT_NE(why.find("cannot exec /nonexistent/program"), std::string::npos) << why;
  plan.argv = {"/bin/true"};
  plan.working_dir = "/nonexistent/folder";
  EXPECT_FALSE(SpawnComponent(plan, &pid, &pidfd, &why));
  EXPECT_NE(why.find("cannot enter /nonexistent/folder"), std::string::npos) << why;
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "the failed children were reaped";
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace

}  // namespace zev
