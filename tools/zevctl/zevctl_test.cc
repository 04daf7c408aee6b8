// zevctl as an administrator uses it: a separate process on the same store.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "hosting/manager.h"
#include "platform/ports.h"
#include "platform/registry.h"
#include "rpc/echo_server.h"
#include "testing/test_util.h"

namespace {

struct Result {
  int status;
  std::string out;
};

Result Zevctl(const std::string& args) {
  std::string command = std::string(ZEVCTL_PATH) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  Result r{-1, ""};
  if (pipe == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) r.out.append(buf, n);
  int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// The local address of the socket that listens on `port`, from the
// kernel's table ("127.0.0.1", "0.0.0.0"); empty when none listens.
std::string ListeningAddress(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state != "0A" || local.size() != 13 || std::stoi(local.substr(9), nullptr, 16) != port) continue;
    unsigned long raw = std::stoul(local.substr(0, 8), nullptr, 16);  // little-endian on this table
    return std::to_string(raw & 0xff) + "." + std::to_string((raw >> 8) & 0xff) + "." +
           std::to_string((raw >> 16) & 0xff) + "." + std::to_string(raw >> 24);
  }
  return "";
}

// A run of free ports above the service's own range.
int FreeRange(int count) {
  for (int start = 47600; start < 48000; start += count) {
    bool all = true;
    for (int p = start; p < start + count && all; ++p) all = IsPortAvailable(p);
    if (all) return start;
  }
  return 0;
}

}  // namespace

TEST(Zevctl, SetsGetsListsAndDeletesValuesOfTheSharedStore) {
  ScopedCommonDataDir common;
  const std::string key = "\"Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\"";
  EXPECT_EQ(Zevctl("reg set HKLM " + key + " Url \"http://127.0.0.1:61200\"").status, 0);

  std::string value;
  ASSERT_TRUE(RegReadString(RegRoot::kLocalMachine,
                            "SOFTWARE\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}", "url",
                            &value));
  EXPECT_EQ(value, "http://127.0.0.1:61200");

  ASSERT_TRUE(RegWriteString(RegRoot::kClassesRoot, "CLSID\\{X}\\Port", "zevservicePort", "61024",
                             RegView::kWow64_32));
  Result got = Zevctl("reg get HKCR \"CLSID\\{X}\\Port\" zevservicePort --32");
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.out, "61024\n");

  Result listed = Zevctl("reg list HKLM");
  EXPECT_EQ(listed.status, 0);
  EXPECT_NE(listed.out.find("Url\thttp://127.0.0.1:61200"), std::string::npos) << listed.out;

  EXPECT_EQ(Zevctl("reg delete HKLM " + key + " Url").status, 0);
  Result missing = Zevctl("reg get HKLM " + key + " Url");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("not found"), std::string::npos);
}

TEST(Zevctl, RejectsBadUsage) {
  ScopedCommonDataDir common;
  EXPECT_EQ(Zevctl("").status, 2);
  EXPECT_EQ(Zevctl("reg get HKCU Software x").status, 2);
  EXPECT_EQ(Zevctl("reg set HKLM Software").status, 2);
  EXPECT_EQ(Zevctl("frobnicate").status, 2);
  EXPECT_EQ(Zevctl("reg delete HKLM Software\\Nothing").status, 1);
}

TEST(Zevctl, StatusShowsTheBoundAddressThePortAndWhetherTheServiceRuns) {
  ScopedCommonDataDir common;
  Result idle = Zevctl("status");
  EXPECT_EQ(idle.status, 0);
  EXPECT_EQ(idle.out,
            "http address: 0.0.0.0 (all interfaces)\n"
            "http port: none published\n"
            "instance lock: free (no service instance runs)\n");

  const std::string key = "\"Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\"";
  ASSERT_EQ(Zevctl("reg set HKLM " + key + " BindAddress 127.0.0.1").status, 0);
  CZEVMethodRegistry methods;
  RegisterEchoMethods(methods);
  ManagerDeps deps;
  deps.methods = &methods;
  ManagerOptions options;
  options.instance_attempts = 1;
  options.first_port = FreeRange(10);
  options.last_port = options.first_port + 9;
  ASSERT_NE(options.first_port, 0);
  {
    CZEVManager manager(deps, options);
    ASSERT_TRUE(manager.Start());
    ASSERT_NE(manager.port(), 0);
    EXPECT_EQ(ListeningAddress(manager.port()), "127.0.0.1");
    Result running = Zevctl("status");
    EXPECT_EQ(running.status, 0);
    EXPECT_EQ(running.out, "http address: 127.0.0.1 (loopback only)\n"
                           "http port: " + std::to_string(manager.port()) + "\n"
                           "instance lock: held (a service instance runs)\n");
    EXPECT_EQ(Zevctl("echo hello").out, "exr: 0\nresponse: hello\n");
    manager.Quit();
  }
  Result stopped = Zevctl("status");
  EXPECT_NE(stopped.out.find("instance lock: free (no service instance runs)"), std::string::npos) << stopped.out;

  ASSERT_EQ(Zevctl("reg set HKLM " + key + " BindAddress localhost").status, 0);
  EXPECT_NE(Zevctl("status").out.find("http address: 127.0.0.1 (loopback only)"), std::string::npos);
  ASSERT_EQ(Zevctl("reg set HKLM " + key + " BindAddress 10.1.2.3").status, 0);
  Result unknown = Zevctl("status");
  EXPECT_NE(unknown.out.find("http address: 0.0.0.0 (all interfaces; BindAddress \"10.1.2.3\" is not honoured)"),
            std::string::npos)
      << unknown.out;
  EXPECT_EQ(Zevctl("status extra").status, 2);
}
