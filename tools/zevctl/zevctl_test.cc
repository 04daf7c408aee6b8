// zevctl as an administrator uses it: a separate process on the same store.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "strategy/server_strategy.h"
#include "hosting/host_status.h"
#include "hosting/manager.h"
#include "platform/digest.h"
#include "platform/ports.h"
#include "platform/registry.h"
#include "rpc/control_server.h"
#include "rpc/echo_server.h"
#include "rpc/ipc_server.h"
#include "rpc/pipe_processor.h"
#include "testing/free_ports.h"
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
  deps.port_guard = true;
  ManagerOptions options;
  options.instance_attempts = 1;
  options.first_port = FreePortRange(10, 47600);
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
                           "port mutex: held (the endpoint answered its guard's last check)\n"
                           "instance lock: held (a service instance runs)\n");
    EXPECT_EQ(Zevctl("echo hello").out, "exr: 0\nresponse: hello\n");
    manager.Quit();
  }
  Result stopped = Zevctl("status");
  EXPECT_NE(stopped.out.find("instance lock: free (no service instance runs)"), std::string::npos) << stopped.out;
  EXPECT_NE(stopped.out.find("port mutex: not held"), std::string::npos) << stopped.out;

  ASSERT_EQ(Zevctl("reg set HKLM " + key + " BindAddress localhost").status, 0);
  EXPECT_NE(Zevctl("status").out.find("http address: 127.0.0.1 (loopback only)"), std::string::npos);
  ASSERT_EQ(Zevctl("reg set HKLM " + key + " BindAddress 10.1.2.3").status, 0);
  Result unknown = Zevctl("status");
  EXPECT_NE(unknown.out.find("http address: 0.0.0.0 (all interfaces; BindAddress \"10.1.2.3\" is not honoured)"),
            std::string::npos)
      << unknown.out;
  EXPECT_EQ(Zevctl("status extra").status, 2);
}

TEST(Zevctl, AsksAndTellsTheControlServerOverHttpAndThePipe) {
  ScopedCommonDataDir common;
  ScopedTempDir root;
  // One loaded inner 64-bit component whose entry point is installed.
  CZEVComponentProxy inner;
  inner.SetAppCode("app");
  inner.SetComponentID("comp");
  inner.SetInstallRoot(root.path());
  CZEVVersion* version = inner.mutable_component()->mutable_versions()->add_version();
  version->set_version("3.1");
  version->set_archtype(atx64);
  version->mutable_manifest()->set_loadmode(lmInnerComponent);
  version->mutable_manifest()->set_entrypoint("libcomp.so");
  const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  version->mutable_manifest()->mutable_params()->set_expiredtime(now_ms + 86400000);
  std::filesystem::create_directories(inner.GetInstallDir());
  ASSERT_TRUE(WriteFileAtomically(inner.GetInstallDir() + "/libcomp.so", "code"));
  CZEVResource* resource = version->mutable_manifest()->mutable_resources()->add_resource();
  resource->set_name("libcomp.so.zip");
  resource->set_hash(Sha256Hex("code", 4));
  auto loaded = std::make_shared<LoadedComponentMap>();
  loaded->emplace(KeyOf(inner), inner);

  CZEVMethodRegistry methods;
  RegisterEchoMethods(methods);
  ASSERT_TRUE(RegisterControlMethods(&methods, [loaded]() -> LoadedComponentsSnapshot { return loaded; }));
  CZEVIPCServer ipc;
  CZEVPipeServerImpl pipe(&ipc, &methods);
  ManagerDeps deps;
  deps.methods = &methods;
  deps.pipe_server = &pipe;
  ManagerOptions options;
  options.instance_attempts = 1;
  options.first_port = FreePortRange(10, 47600);
  options.last_port = options.first_port + 9;
  ASSERT_NE(options.first_port, 0);
  CZEVManager manager(deps, options);
  ASSERT_TRUE(manager.Start());
  ASSERT_TRUE(manager.failed_front_ends().empty());

  struct Step {
    std::string args;
    int status;
    std::string out;
  };
  const Step steps[] = {
      {"register pipe comp comp-pipe --app app --version 1.0 --pipe", 0, "ok\n"},
      {"register port comp 61024 --version 2.0", 0, "ok\n"},
      {"component port comp", 0, "61024\n"},
      {"component pipe comp --pipe", 0, "comp-pipe\n"},
      {"component version comp --bits 32", 0, "1.0\n"},
      {"component desc comp --pipe", 0, "port:61024\\nversion:1.0\n"},
      {"component entry comp", 0, root.path() + "/app/comp/3.1/x64/libcomp.so\n"},
      {"component entry comp --bits 32 --pipe", 1, "failed: not find component in process\n"},
      {"component port comp --bits 16", 1, "failed: component bits error: 16\n"},
      {"register port comp 70000 --pipe", 1, "failed: port out of range: 70000\n"},
      {"register pipe odd \"$(printf 'one\\ntwo')\"", 0, "ok\n"},
      {"component pipe odd --pipe", 0, "one\\ntwo\n"},
      {"register port comp --unregister --pipe", 0, "ok\n"},
      {"component port comp", 0, "0\n"},
      {"register pipe comp --unregister", 0, "ok\n"},
      {"register pipe comp --unregister --pipe", 1, "failed: not registered\n"},
      {"component port comp --pipe", 1, "failed: get ComponentContext failed.\n"},
      {"component bogus comp", 2, ""},
      {"component port", 2, ""},
      {"component port comp --bits x", 2, ""},
      {"register port comp", 2, ""},
      {"register port comp 12ab", 2, ""},
      {"register socket comp x", 2, ""},
  };
  for (const Step& step : steps) {
    Result r = Zevctl(step.args);
    EXPECT_EQ(r.status, step.status) << step.args << "\n" << r.out;
    if (step.status != 2) {
      EXPECT_EQ(r.out, step.out) << step.args;
    }
  }
  // The echo command still answers beside them.
  EXPECT_EQ(Zevctl("echo hello --pipe").out, "exr: 0\nresponse: hello\n");
  manager.Quit();
  EXPECT_EQ(Zevctl("component port comp --port " + std::to_string(options.first_port)).status, 1);
}

TEST(Zevctl, StrategyPrintsTheLastPass) {
  ScopedCommonDataDir common;
  Result none = Zevctl("strategy");
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out, "no strategy pass yet\n");
  StrategyStatus status;
  status.time_ms = 1800000000000;
  status.result = "stored copy";
  status.error = "get components from server http return error:-1";
  status.listed = 3;
  status.installed = 2;
  status.failed = 1;
  status.next_pass_ms = 1800000120000;
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kStrategyStatusKey, "", FormatStrategyStatus(status)));
  Result last = Zevctl("strategy");
  EXPECT_EQ(last.status, 0);
  EXPECT_EQ(last.out,
            "last pass: 2027-01-15 08:00:00 UTC, catalogue from stored copy\n"
            "listed 3, installed 2, failed 1\n"
            "server error: get components from server http return error:-1\n"
            "next pass: 2027-01-15 08:02:00 UTC\n");
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kStrategyStatusKey, "", "{broken"));
  EXPECT_EQ(Zevctl("strategy").status, 1);
}

TEST(Zevctl, HostsPrintsTheMonitorsStatusFile) {
  ScopedCommonDataDir common;
  Result none = Zevctl("hosts");
  EXPECT_EQ(none.status, 0) << none.out;
  EXPECT_NE(none.out.find("no hosts"), std::string::npos) << none.out;

  pubsdk::MonitorHostInfo running{"grp:a", "zevhost-node-1", 4242, 3, false};
  pubsdk::MonitorHostInfo refused{"other", "zevhost-node-2", 0, 10, true};
  ASSERT_TRUE(CreateDirectories(GetRuntimeDir()));
  ASSERT_TRUE(pubsdk::WriteHostStatus(JoinPath(GetRuntimeDir(), pubsdk::kHostStatusFileName), {running, refused}));
  Result two = Zevctl("hosts");
  EXPECT_EQ(two.status, 0) << two.out;
  EXPECT_NE(two.out.find("group grp:a: node zevhost-node-1, pid 4242, restarts 3\n"), std::string::npos) << two.out;
  EXPECT_NE(two.out.find("group other: node zevhost-node-2, pid none, restarts 10, restarts refused"),
            std::string::npos)
      << two.out;

  ASSERT_TRUE(WriteFileAtomically(JoinPath(GetRuntimeDir(), pubsdk::kHostStatusFileName), "garbage\n"));
  EXPECT_EQ(Zevctl("hosts").status, 1);
}
