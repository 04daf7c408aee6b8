// zevctl as an administrator uses it: a separate process on the same store.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "contract/event_history.h"
#include "strategy/server_strategy.h"
#include "host/collect_method.h"
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
#include "testing/scoped_user.h"
#include "testing/test_util.h"

namespace zev {

namespace {

struct Result {
  int status;
  std::string out;
};

// `env`: assignments put before the command ("NAME=value ...").
Result Zevctl(const std::string& args, const std::string& env = "") {
  std::string command = env + " " + std::string(ZEVCTL_PATH) + " " + args + " 2>&1";
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

namespace {

// The lines of `text`, each without its line feed.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A listening socket that nobody accepts on: connections succeed and hang.
struct SilentListener {
  explicit SilentListener(int domain) : fd(socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~SilentListener() { close(fd); }
  int fd;
};

}  // namespace

TEST(Zevctl, StatusWithNothingRunningSaysWhatIsMissingAndFailsAtOnce) {
  ScopedCommonDataDir common;
  const auto start = std::chrono::steady_clock::now();
  Result idle = Zevctl("status", "ZEV_SYSTEMD_RUN_DIR=" + common.path() + "/no-systemd");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(idle.status, 1);
  EXPECT_EQ(idle.out,
            "instance lock: free (no service instance runs)\n"
            "http address: 0.0.0.0 (all interfaces)\n"
            "http port: none published\n"
            "port mutex: not held (no port published)\n"
            "http \"/\": not asked (no port published)\n"
            "pipe echo: failed (cannot connect to " + PipeSocketPath(GetRuntimeDir(), kServicePipeName) +
            ": No such file or directory)\n"
            "strategy: no pass yet\n"
            "hosts: 0 hosts, 0 components (no host status file)\n"
            "systemd: not running here (no " + common.path() + "/no-systemd)\n");
  EXPECT_EQ(Zevctl("status extra").status, 2);
}

TEST(Zevctl, StatusOfARunningServiceGivesEveryFactAndPasses) {
  ScopedCommonDataDir common;
  const std::string key = "\"Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\"";
  ASSERT_EQ(Zevctl("reg set HKLM " + key + " BindAddress 127.0.0.1").status, 0);
  StrategyStatus pass;
  pass.time_ms = 1800000000000;
  pass.result = "server";
  pass.error = "line one\nline two";
  pass.listed = 3;
  pass.installed = 2;
  pass.next_pass_ms = 1800000120000;
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kStrategyStatusKey, "", FormatStrategyStatus(pass)));
  ASSERT_TRUE(CreateDirectories(GetRuntimeDir()));
  ASSERT_TRUE(pubsdk::WriteHostStatus(JoinPath(GetRuntimeDir(), pubsdk::kHostStatusFileName),
                                      {{"grp:a", "zevhost-node-1", 4242, 3, false, {"{c1}", "{c2}"}},
                                       {"b", "zevhost-node-2", 0, 0, false, {"{c3}"}}}));
  // systemd is not the init process here: a script stands in for systemctl
  // and a folder of the test's own for /run/systemd/system.
  ScopedTempDir systemd;
  ASSERT_TRUE(CreateDirectories(systemd.Sub("system")));
  ASSERT_TRUE(WriteFileAtomically(systemd.Sub("systemctl"),
                                  "#!/bin/sh\n"
                                  "echo ActiveState=active\necho SubState=running\necho MainPID=$$\n"
                                  "echo \"StatusText=$*\"\n"));
  ASSERT_EQ(chmod(systemd.Sub("systemctl").c_str(), 0755), 0);
  const std::string env = "ZEV_SYSTEMD_RUN_DIR=" + systemd.Sub("system") + " ZEV_SYSTEMCTL=" + systemd.Sub("systemctl");

  CZEVMethodRegistry methods;
  RegisterEchoMethods(methods);
  CZEVIPCServer ipc(Clock::Real());
  ipc.setRuntimeDir(GetRuntimeDir());
  CZEVPipeServerImpl pipe(&ipc, &methods);
  // zevctl finds the service through the data folder of the environment.
  ManagerDeps deps;
  deps.clock = Clock::Real();
  deps.registry = &RegistryStore::Default();
  deps.run_dir = GetRuntimeDir();
  deps.common_dir = GetCommonDataDir();
  deps.methods = &methods;
  deps.pipe_server = &pipe;
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
    const std::string port = std::to_string(manager.port());
    Result running = Zevctl("status", env);
    EXPECT_EQ(running.status, 0) << running.out;
    const std::vector<std::string> lines = Lines(running.out);
    const std::vector<std::string> expected = {
        "instance lock: held (a service instance runs)",
        "http address: 127.0.0.1 (loopback only)",
        "http port: " + port,
        "port mutex: held (the endpoint answered its guard's last check)",
        "http \"/\": 200 \"It is working.\" from 127.0.0.1:" + port,
        "pipe echo: ok (",  // and the round trip's milliseconds
        "strategy: last pass 2027-01-15 08:00:00 UTC, catalogue from the server; listed 3, installed 2, "
        "failed 0; next pass 2027-01-15 08:02:00 UTC",
        "strategy server error: line one\\nline two",
        "hosts: 2 hosts (1 running), 3 components",
        "group grp:a: node zevhost-node-1, pid 4242, restarts 3, components {c1} {c2}",
        "group b: node zevhost-node-2, pid none, restarts 0, components {c3}",
        "systemd: ActiveState=active, SubState=running, MainPID=",  // the script's pid
    };
    ASSERT_EQ(lines.size(), expected.size()) << running.out;
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].rfind(expected[i], 0), 0u) << lines[i];
    EXPECT_NE(lines.back().find(", StatusText=show zevsvc.service -p ActiveState -p SubState -p MainPID -p StatusText"),
              std::string::npos)
        << lines.back();
    // A pass due in 2001 that never came: the service is not healthy.
    StrategyStatus stuck = pass;
    stuck.next_pass_ms = 1000000000000;
    ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kStrategyStatusKey, "", FormatStrategyStatus(stuck)));
    Result stalled = Zevctl("status", env);
    EXPECT_EQ(stalled.status, 1);
    EXPECT_NE(stalled.out.find("\nstrategy health: no pass for two intervals"), std::string::npos) << stalled.out;
    ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kStrategyStatusKey, "", FormatStrategyStatus(pass)));
    // Another user cannot open the store or the instance lock, yet learns
    // the port and that the service is alive, and reads nothing private.
    ScopedUser user;
    ASSERT_EQ(chmod(common.path().c_str(), 0755), 0);
    if (!user.ok() || user.Run("test -x " + std::string(ZEVCTL_PATH)) != 0) {
      fprintf(stderr, "skipping zevctl as another user: %s\n", user.ok() ? "zevctl is out of its reach" : user.reason().c_str());
    } else {
      const std::string as_user = std::string(ZEVCTL_PATH) + " >/dev/null 2>&1 ";
      ScopedTempDir out;
      ASSERT_EQ(chmod(out.path().c_str(), 0777), 0);
      EXPECT_EQ(user.Run(std::string(ZEVCTL_PATH) + " status >" + out.Sub("status") + " 2>&1"), 0);
      std::string status;
      ASSERT_TRUE(ReadFileToString(out.Sub("status"), &status));
      const std::string unknown = "unknown (" + common.path() + "/registry.db is for the service's user only)";
      EXPECT_NE(status.find("http address: " + unknown), std::string::npos) << status;
      EXPECT_NE(status.find("strategy: " + unknown), std::string::npos) << status;
      EXPECT_NE(status.find("port mutex: held"), std::string::npos) << status;
      EXPECT_EQ(user.Run(as_user + "reg get HKCR \"CLSID\\{B3B39D20-92D3-4902-8C96-A571D56D2D94}\\Port\" zevservicePort"), 0);
      EXPECT_EQ(user.Run(as_user + "reg get HKLM " + key + " BindAddress"), 1);
      EXPECT_EQ(user.Run(std::string(ZEVCTL_PATH) + " config list >" + out.Sub("config") + " 2>&1"), 1);
      ASSERT_TRUE(ReadFileToString(out.Sub("config"), &status));
      EXPECT_NE(status.find("registry.db, which is for the service's user only"), std::string::npos) << status;
      EXPECT_EQ(user.Run("cat " + common.path() + "/registry.db >/dev/null 2>&1"), 1);
      // The event history and the metrics are for everyone.
      ASSERT_TRUE(zev::EventHistoryWriter(common.path()).Append({{1800000000000, 5, "app", "c", "1.0", "verified"}}));
      EXPECT_EQ(user.Run(std::string(ZEVCTL_PATH) + " events --since 2027-01-15 >" + out.Sub("events") + " 2>&1"), 0);
      ASSERT_TRUE(ReadFileToString(out.Sub("events"), &status));
      EXPECT_EQ(status, "2027-01-15 08:00:00.000 UTC  code 5  app/c 1.0  verified\n");
      EXPECT_EQ(user.Run(std::string(ZEVCTL_PATH) + " metrics >" + out.Sub("metrics") + " 2>&1"), 0);
      ASSERT_TRUE(ReadFileToString(out.Sub("metrics"), &status));
      EXPECT_NE(status.find("# TYPE zev_rpc_calls_total counter\n"), std::string::npos) << status;
    }
    manager.Quit();
  }
  // Without the service the same machinery reports the failures.
  Result stopped = Zevctl("status", env);
  EXPECT_EQ(stopped.status, 1);
  EXPECT_NE(stopped.out.find("instance lock: free (no service instance runs)"), std::string::npos) << stopped.out;
  EXPECT_NE(stopped.out.find("port mutex: not held"), std::string::npos) << stopped.out;
  EXPECT_NE(stopped.out.find("http \"/\": no answer from 127.0.0.1:"), std::string::npos) << stopped.out;
  EXPECT_NE(stopped.out.find("pipe echo: failed (cannot connect to "), std::string::npos) << stopped.out;
  Result no_systemctl = Zevctl("status", "ZEV_SYSTEMD_RUN_DIR=" + systemd.Sub("system") + " ZEV_SYSTEMCTL=/nonexistent");
  EXPECT_NE(no_systemctl.out.find("systemd: not running here (cannot start /nonexistent: No such file or directory)"),
            std::string::npos)
      << no_systemctl.out;

  ASSERT_EQ(Zevctl("reg set HKLM " + key + " BindAddress localhost").status, 0);
  EXPECT_NE(Zevctl("status").out.find("http address: 127.0.0.1 (loopback only)"), std::string::npos);
  ASSERT_EQ(Zevctl("reg set HKLM " + key + " BindAddress 10.1.2.3").status, 0);
  Result unknown = Zevctl("status");
  EXPECT_NE(unknown.out.find("http address: 0.0.0.0 (all interfaces; BindAddress \"10.1.2.3\" is not honoured)"),
            std::string::npos)
      << unknown.out;
}

TEST(Zevctl, StatusGivesUpOnPartsThatHangOrAreBroken) {
  ScopedCommonDataDir common;
  // An endpoint and a local socket that accept connections and never answer.
  SilentListener tcp(AF_INET);
  sockaddr_in in_addr = {};
  in_addr.sin_family = AF_INET;
  in_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(tcp.fd, reinterpret_cast<sockaddr*>(&in_addr), sizeof(in_addr)), 0);
  ASSERT_EQ(listen(tcp.fd, 8), 0);
  socklen_t length = sizeof(in_addr);
  ASSERT_EQ(getsockname(tcp.fd, reinterpret_cast<sockaddr*>(&in_addr), &length), 0);
  const std::string port = std::to_string(ntohs(in_addr.sin_port));
  ASSERT_TRUE(RegWriteString(RegRoot::kClassesRoot, kPortKey, kPortValueName, port));
  ASSERT_TRUE(CreateDirectories(GetRuntimeDir()));
  SilentListener local(AF_UNIX);
  sockaddr_un un_addr = {};
  un_addr.sun_family = AF_UNIX;
  snprintf(un_addr.sun_path, sizeof(un_addr.sun_path), "%s", PipeSocketPath(GetRuntimeDir(), kServicePipeName).c_str());
  ASSERT_EQ(bind(local.fd, reinterpret_cast<sockaddr*>(&un_addr), sizeof(un_addr)), 0);
  ASSERT_EQ(listen(local.fd, 8), 0);
  // A stand-in for systemctl (systemd is not the init process here) that hangs.
  ScopedTempDir systemd;
  ASSERT_TRUE(WriteFileAtomically(systemd.Sub("systemctl"), "#!/bin/sh\nexec sleep 30\n"));
  ASSERT_EQ(chmod(systemd.Sub("systemctl").c_str(), 0755), 0);
  // Records that do not parse.
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kStrategyStatusKey, "", "{broken"));
  ASSERT_TRUE(WriteFileAtomically(JoinPath(GetRuntimeDir(), pubsdk::kHostStatusFileName), "garbage\n"));

  const auto start = std::chrono::steady_clock::now();
  Result hung = Zevctl("status --test-probe-ms 200",
                       "ZEV_SYSTEMD_RUN_DIR=" + systemd.path() + " ZEV_SYSTEMCTL=" + systemd.Sub("systemctl"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(hung.status, 1);
  const std::vector<std::string> lines = Lines(hung.out);
  ASSERT_EQ(lines.size(), 9u) << hung.out;
  EXPECT_EQ(lines[4].rfind("http \"/\": no answer from 127.0.0.1:" + port + " (", 0), 0u) << lines[4];
  EXPECT_EQ(lines[5], "pipe echo: failed (no reply from " + PipeSocketPath(GetRuntimeDir(), kServicePipeName) +
                          " within 200 ms)");
  EXPECT_EQ(lines[6], "strategy: the record in the registry is not readable");
  EXPECT_EQ(lines[7], "hosts: unknown (" + JoinPath(GetRuntimeDir(), pubsdk::kHostStatusFileName) +
                          " cannot be read or is not a host status file)");
  EXPECT_EQ(lines[8], "systemd: " + systemd.Sub("systemctl") + " show: no answer within 200 ms");
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
  ASSERT_TRUE(
      RegisterControlMethods(&methods, [loaded]() -> LoadedComponentsSnapshot { return loaded; }, Clock::Real()));
  // Old versions beside the loaded 3.1: 1.0 and 2.0 are neither loaded nor
  // among the newest two.
  ASSERT_TRUE(zev::RegisterCollectMethod(&methods, {root.path(), &RegistryStore::Default(), "Software\\GcTest\\",
                                                    [loaded]() -> LoadedComponentsSnapshot { return loaded; }}));
  for (const char* v : {"1.0", "2.0", "4.0", "5.0"}) std::filesystem::create_directories(root.path() + "/app/comp/" + v);
  ASSERT_TRUE(WriteFileAtomically(root.path() + "/app/comp/1.0/data", "12345"));
  CZEVIPCServer ipc(Clock::Real());
  ipc.setRuntimeDir(GetRuntimeDir());
  CZEVPipeServerImpl pipe(&ipc, &methods);
  // zevctl finds the service through the data folder of the environment.
  ManagerDeps deps;
  deps.clock = Clock::Real();
  deps.registry = &RegistryStore::Default();
  deps.run_dir = GetRuntimeDir();
  deps.common_dir = GetCommonDataDir();
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
      {"register port comp 61024 --unregister --pipe", 0, "ok\n"},
      {"component port comp", 0, "0\n"},
      {"register pipe comp comp-pipe --unregister", 0, "ok\n"},
      {"register pipe comp --unregister --pipe", 1, "failed: not registered\n"},
      {"register port odd --unregister", 0, "ok\n"},
      {"component pipe odd", 1, "failed: get ComponentContext failed.\n"},
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
  // Anyone may list the old versions; only root or the service's user may
  // have them removed.
  EXPECT_EQ(Zevctl("gc --dry-run").out,
            "would remove app comp 1.0 5 bytes\nwould remove app comp 2.0 0 bytes\n2 versions, 5 bytes would be freed\n");
  ScopedUser user;
  ASSERT_EQ(chmod(common.path().c_str(), 0755), 0);
  if (!user.ok() || user.Run("test -x " + std::string(ZEVCTL_PATH)) != 0) {
    fprintf(stderr, "skipping zevctl gc as another user: %s\n",
            user.ok() ? "zevctl is out of its reach" : user.reason().c_str());
  } else {
    EXPECT_EQ(user.Run(std::string(ZEVCTL_PATH) + " gc --dry-run >/dev/null 2>&1"), 0);
    EXPECT_EQ(user.Run(std::string(ZEVCTL_PATH) + " gc >/dev/null 2>&1"), 1);
    EXPECT_TRUE(DirectoryExists(root.path() + "/app/comp/1.0"));
  }
  EXPECT_EQ(Zevctl("gc").out,
            "removed app comp 1.0 5 bytes\nremoved app comp 2.0 0 bytes\n2 versions, 5 bytes freed\n");
  EXPECT_FALSE(DirectoryExists(root.path() + "/app/comp/2.0"));
  EXPECT_TRUE(DirectoryExists(root.path() + "/app/comp/4.0"));
  EXPECT_EQ(Zevctl("gc --dry-run").out, "0 versions, 0 bytes would be freed\n");
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

  pubsdk::MonitorHostInfo running{"grp:a", "zevhost-node-1", 4242, 3, false, {}};
  pubsdk::MonitorHostInfo refused{"other", "zevhost-node-2", 0, 10, true, {"{c}"}};
  ASSERT_TRUE(CreateDirectories(GetRuntimeDir()));
  ASSERT_TRUE(pubsdk::WriteHostStatus(JoinPath(GetRuntimeDir(), pubsdk::kHostStatusFileName), {running, refused}));
  Result two = Zevctl("hosts");
  EXPECT_EQ(two.status, 0) << two.out;
  EXPECT_NE(two.out.find("group grp:a: node zevhost-node-1, pid 4242, restarts 3\n"), std::string::npos) << two.out;
  EXPECT_NE(two.out.find("group other: node zevhost-node-2, pid none, restarts 10, restarts refused until tomorrow "
                         "(UTC), components {c}\n"),
            std::string::npos)
      << two.out;

  ASSERT_TRUE(WriteFileAtomically(JoinPath(GetRuntimeDir(), pubsdk::kHostStatusFileName), "garbage\n"));
  EXPECT_EQ(Zevctl("hosts").status, 1);
}

// config set takes only what the service would use as given, and then writes
// the default value of the setting's key; otherwise it writes nothing.
TEST(Zevctl, ConfigSetRefusesUnknownNamesAndBadValues) {
  struct Case {
    std::string args;
    int status;
    const char* key;     // the setting's key; null for an unknown name
    const char* stored;  // its default value afterwards; null for none
    std::string says;
  };
  const std::string next_start = "takes effect at the next start of the service (systemctl restart zevsvc)";
  const Case cases[] = {
      {"Interval 600", 0, kIntervalSettingKey, "600", "Interval set to 600; it " + next_start},
      {"iNTERVAL 000600", 0, kIntervalSettingKey, "600", "Interval set to 600"},
      {"Interval 119", 2, kIntervalSettingKey, nullptr, "119 is out of range: whole seconds from 120 to 10800"},
      {"Interval 10801", 2, kIntervalSettingKey, nullptr, "out of range"},
      {"First 30", 0, kFirstSettingKey, "30", next_start},
      {"First 99999999999999999999", 2, kFirstSettingKey, nullptr, "out of range: whole seconds from 30 to 300"},
      {"First 1e2", 2, kFirstSettingKey, nullptr, "\"1e2\" is not a whole number of seconds"},
      {"First -30", 2, kFirstSettingKey, nullptr, "not a whole number"},
      {"First \"\"", 2, kFirstSettingKey, nullptr, "not a whole number"},
      {"Frist 30", 2, nullptr, nullptr,
       "unknown setting 'Frist' (the settings: Url, First, Interval, BindAddress, CollectOldVersions, TlsVerify, "
       "TlsCaFile, CatalogueKey)"},
      {"Url https://zev.example.com:8443/base", 0, kServerUrlKey, "https://zev.example.com:8443/base",
       "no restart needed"},
      {"Url ftp://zev.example.com", 2, kServerUrlKey, nullptr, "does not begin with http:// or https://"},
      {"Url http://zev.example.com/", 2, kServerUrlKey, nullptr, "ends with \"/\""},
      {"Url http://:80", 2, kServerUrlKey, nullptr, "names no host"},
      {"Url http://zev:65536", 2, kServerUrlKey, nullptr, "is not a port number"},
      {"bindaddress LocalHost", 0, kBindAddressSettingKey, "localhost",
       "BindAddress set to localhost; it " + next_start},
      {"BindAddress 10.1.2.3", 2, kBindAddressSettingKey, nullptr, "is not one of 127.0.0.1, localhost or 0.0.0.0"},
      {"TlsVerify 1", 0, kTlsVerifySettingKey, "1", "no restart needed"},
      {"TlsVerify yes", 2, kTlsVerifySettingKey, nullptr, "is not one of 0 or 1"},
      {"CatalogueKey /etc/zev/catalogue.pub", 0, kCatalogueKeySettingKey, "/etc/zev/catalogue.pub", "no restart"},
      {"TlsCaFile etc/ca.pem", 2, kTlsCaFileSettingKey, nullptr, "\"etc/ca.pem\" is not an absolute file path"},
  };
  for (const Case& c : cases) {
    ScopedCommonDataDir common;
    const Result r = Zevctl("config set " + c.args);
    EXPECT_EQ(r.status, c.status) << c.args << ": " << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << ": " << r.out;
    std::string value;
    const bool found = c.key != nullptr && RegReadString(RegRoot::kLocalMachine, c.key, "", &value);
    EXPECT_EQ(found, c.stored != nullptr) << c.args;
    EXPECT_EQ(value, c.stored != nullptr ? c.stored : "") << c.args;
  }
}

// get and list show what the service makes of the store, older forms included.
TEST(Zevctl, ConfigGetAndListShowTheValuesInEffect) {
  ScopedCommonDataDir common;
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kIntervalSettingKey, "", "50"));
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kServiceRegistryKey, kBindAddressValueName, "localhost"));
  EXPECT_EQ(Zevctl("config get interval").out, "120\n");
  EXPECT_EQ(Zevctl("config get BindAddress").out, "127.0.0.1\n");
  const Result list = Zevctl("config list");
  EXPECT_EQ(list.status, 0);
  EXPECT_NE(list.out.find("First: (default) 300\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("Interval: 50 (in effect: 120)\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("BindAddress: localhost (in effect: 127.0.0.1)\n"), std::string::npos) << list.out;
}

}  // namespace zev
