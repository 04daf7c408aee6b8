#include "host/systemd_unit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/paths.h"
#include "platform/process.h"
#include "testing/test_util.h"

namespace zev {

namespace {

TEST(SystemdUnit, RefusesProgramPathsAUnitCannotCarry) {
  for (const std::string program :
       {"", "zevsvc", "bin/zevsvc", "/opt/zev\nExecStartPre=/bin/sh", "/opt/zev\t/zevsvc", "/opt/zev\x7f/zevsvc",
        "/opt/\"zev\"/zevsvc", "/opt/zev's/zevsvc", "/opt/zev\\x20/zevsvc"}) {
    std::string unit, error;
    EXPECT_FALSE(RenderServiceUnit(program, &unit, &error)) << program;
    EXPECT_FALSE(error.empty()) << program;
  }
}

// What the package, "systemctl reload" and the restart policy rely on; the
// title is printed in systemd's "Starting ..." lines and must stay short.
TEST(SystemdUnit, CarriesTheDirectivesOthersRelyOn) {
  std::string unit, error;
  ASSERT_TRUE(RenderServiceUnit("/usr/lib/zev/zevsvc", &unit, &error)) << error;
  for (const char* line : {"Description=ZEV component platform base service", "Documentation=man:zevsvc(8)",
                           "ExecReload=/bin/kill -HUP $MAINPID", "RestartPreventExitStatus=78"}) {
    EXPECT_NE(unit.find(std::string("\n") + line + "\n"), std::string::npos) << line;
  }
}

// systemd-analyze checks the unit as systemd would load it, including that
// ExecStart names an executable file: a quoting fault shows up as a path
// that does not exist.
void ExpectVerifies(const std::string& program, const ScopedTempDir& tmp) {
  std::string unit, error;
  ASSERT_TRUE(RenderServiceUnit(program, &unit, &error)) << error;
  const std::string path = tmp.Sub(kServiceUnitName);
  ASSERT_TRUE(WriteFileAtomically(path, unit));
  const std::string errors = tmp.Sub("stderr");
  int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  StartOptions start;
  start.stdout_fd = fd;
  start.stderr_fd = fd;
  // The manual page that Documentation= names is installed by the package only.
  auto verify = StartProcessArgv({"systemd-analyze", "verify", "--man=no", path}, start);
  close(fd);
  ASSERT_NE(verify, nullptr);
  ASSERT_TRUE(verify->Wait(60000));
  std::string said;
  ReadFileToString(errors, &said);
  EXPECT_EQ(verify->ExitCode(), 0) << said;
  EXPECT_EQ(said, "") << program;
}

TEST(SystemdUnit, PassesSystemdAnalyzeVerify) {
  if (access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  ScopedTempDir tmp;
  char real[PATH_MAX];
  ASSERT_NE(realpath(ZEVSVC_PATH, real), nullptr);
  ExpectVerifies(real, tmp);

  // A blank would split an unquoted path, and "%" is a specifier to systemd.
  const std::string odd = tmp.Sub("a b%n");
  ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
  ASSERT_TRUE(WriteFileAtomically(odd + "/zevsvc", "#!/bin/sh\n"));
  chmod((odd + "/zevsvc").c_str(), 0755);
  std::string unit, error;
  ASSERT_TRUE(RenderServiceUnit(odd + "/zevsvc", &unit, &error));
  EXPECT_NE(unit.find("ExecStart=\"" + tmp.Sub("a b%%n") + "/zevsvc\"\n"), std::string::npos);
  ExpectVerifies(odd + "/zevsvc", tmp);
}

}  // namespace

}  // namespace zev
