// The control methods as clients reach them: sealed calls over HTTP on
// loopback and over the pipe server's Unix socket, dispatched through a
// registry of the test's own.
#include "rpc/control_server.h"

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/StreamCopier.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <Poco/Net/StreamSocketImpl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crypto/payload_envelope.h"
#include "platform/digest.h"
#include "platform/paths.h"
#include "rpc/echo_server.h"
#include "rpc/http_server.h"
#include "rpc/ipc_server.h"
#include "rpc/component_peer.h"
#include "rpc/pipe_processor.h"
#include "testing/fake_clock.h"
#include "testing/free_ports.h"
#include "testing/pipe_client.h"
#include "testing/rpc_test_util.h"
#include "testing/scoped_user.h"
#include "testing/test_util.h"
#include "testing/unix_socket.h"

namespace zev {

namespace {

enum class Transport { kHttp, kPipe };

// One client connection to the front end: a kept-alive HTTP session or one
// socket connection that carries frame after frame.
class Client {
 public:
  Client(Transport transport, int port, const std::string& socket_path) : transport_(transport) {
    if (transport == Transport::kHttp) {
      session_ = std::make_unique<Poco::Net::HTTPClientSession>("127.0.0.1", static_cast<Poco::UInt16>(port));
      session_->setTimeout(Poco::Timespan(10, 0));
    } else {
      fd_ = ConnectUnixSocket(socket_path);
    }
  }
  // A client on a connection someone else made (HTTP: the session owns it).
  Client(Transport transport, int fd) : transport_(transport) {
    if (transport == Transport::kHttp) {
      session_ = std::make_unique<Poco::Net::HTTPClientSession>(
          Poco::Net::StreamSocket(new Poco::Net::StreamSocketImpl(fd)));
      session_->setTimeout(Poco::Timespan(10, 0));
      // The session has no address to connect again to: it keeps this
      // connection and never thinks it too old to use.
      session_->setKeepAlive(true);
      session_->setKeepAliveTimeout(Poco::Timespan(100 * 365, 0, 0, 0, 0));
    } else {
      fd_ = fd;
    }
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }

  // Fields every HTTP request carries from now on (Host: 127.0.0.1 unless set).
  std::map<std::string, std::string> headers{{"Host", "127.0.0.1"}};
  int status = 0;  // of the last HTTP answer

  // One control call; false when the transport failed or the reply did not
  // open. *exr gets the reply's flag, *plain its bytes.
  bool Call(const std::string& method, const std::string& request, std::string* exr, std::string* plain) {
    std::string etag;
    const std::string body = SealCall(kControlServerId, method, request, &etag);
    std::string reply, reply_etag;
    if (transport_ == Transport::kHttp) {
      try {
        Poco::Net::HTTPRequest http(Poco::Net::HTTPRequest::HTTP_POST, "/rpc?key=" + etag,
                                    Poco::Net::HTTPMessage::HTTP_1_1);
        http.setContentLength64(static_cast<int64_t>(body.size()));
        for (const auto& [name, value] : headers) http.set(name, value);
        session_->sendRequest(http) << body;
        Poco::Net::HTTPResponse response;
        std::istream& in = session_->receiveResponse(response);
        status = response.getStatus();
        Poco::StreamCopier::copyToString(in, reply);
        *exr = response.get("exr", "");
        reply_etag = response.get("etag", "");
      } catch (const Poco::Exception&) {
        return false;
      }
    } else {
      const std::string frame = EncodeFrame({"control-test", "key:" + etag, body});
      Frame answer;
      if (fd_ < 0 || !WriteAll(fd_, frame.data(), frame.size()) ||
          !ReadFrameFrom(fd_, &pending_, &answer, 10000)) {
        return false;
      }
      std::map<std::string, std::string> items = SplitExtend(answer.header);
      *exr = items["exr"];
      reply_etag = items["etag"];
      reply = answer.body;
    }
    return decodePayload(reply, reply_etag, plain);
  }

  // A call whose answer must be a response of type ResponseT.
  template <typename ResponseT>
  ResponseT Answer(const std::string& method, const google::protobuf::Message& request) {
    std::string exr, plain;
    ResponseT response;
    EXPECT_TRUE(Call(method, request.SerializeAsString(), &exr, &plain)) << method;
    EXPECT_EQ(exr, "0") << method;
    EXPECT_TRUE(response.ParseFromString(plain)) << method;
    return response;
  }

  CZEVGetComponentDataResponse Get(int data_type, const std::string& id, int bits = 64) {
    CZEVGetComponentDataRequest request;
    request.set_datatype(static_cast<CZEVComponentDataQueryType>(data_type));
    request.set_componentid(id);
    request.set_bits(bits);
    return Answer<CZEVGetComponentDataResponse>("getComponentData", request);
  }

  CZEVRegisterPortResponse Port(int rt_type, const std::string& id, int port, const std::string& version = "1.0") {
    CZEVRegisterPortRequest request;
    request.set_rttype(static_cast<CZEVRegisterPortType>(rt_type));
    request.mutable_context()->set_componentid(id);
    request.mutable_context()->set_appcode("app");
    request.mutable_context()->set_version(version);
    request.set_port(port);
    return Answer<CZEVRegisterPortResponse>("registerPort", request);
  }

  CZEVRegisterPipeResponse Pipe(int rt_type, const std::string& id, const std::string& name,
                                const std::string& version = "1.0") {
    CZEVRegisterPipeRequest request;
    request.set_rttype(static_cast<CZEVRegisterPipeType>(rt_type));
    request.mutable_context()->set_componentid(id);
    request.mutable_context()->set_version(version);
    request.set_pipename(name);
    return Answer<CZEVRegisterPipeResponse>("registerPipeName", request);
  }

 private:
  const Transport transport_;
  std::unique_ptr<Poco::Net::HTTPClientSession> session_;
  int fd_ = -1;
  std::string pending_;
};

// The front end of these tests: the HTTP endpoint and the pipe server on one
// registry that holds echo and the control methods, whose loaded components
// come from `loaded` and whose time from `clock`.
class ControlServer : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterEchoMethods(methods_);
    ASSERT_TRUE(RegisterControlMethods(
        &methods_,
        [this]() {
          std::lock_guard<std::mutex> lock(loaded_mu_);
          return loaded_;
        },
        &clock_));
    port_ = FreePort();
    http_.setIp("127.0.0.1");
    http_.setPort(port_);
    ASSERT_TRUE(http_.start());
    ipc_.setRuntimeDir(run_dir_.path());
    ASSERT_TRUE(pipe_.start());
  }
  void TearDown() override {
    while (http_.users() > 0) http_.stop();
    pipe_.stop();
  }

  Client Connect(Transport transport) { return Client(transport, port_, ipc_.socket_path()); }
  void SetLoaded(const std::vector<CZEVComponentProxy>& entries) {
    auto map = std::make_shared<LoadedComponentMap>();
    for (const CZEVComponentProxy& e : entries) map->emplace(KeyOf(e), e);
    std::lock_guard<std::mutex> lock(loaded_mu_);
    loaded_ = map;
  }

  FakeClock clock_;
  CZEVMethodRegistry methods_;
  std::mutex loaded_mu_;
  LoadedComponentsSnapshot loaded_;  // guarded by loaded_mu_; null: nothing loaded yet
  int port_ = 0;
  CZEVHttpServer http_{&methods_};
  ScopedTempDir run_dir_;
  CZEVIPCServer ipc_{Clock::Real()};
  CZEVPipeServerImpl pipe_{&ipc_, &methods_};
};

// An inner component installed below `root`: its entry point file exists
// with the content `content` and the manifest's hash of it.
CZEVComponentProxy InstalledInner(const std::string& root, const std::string& id, CZEVArchType arch,
                                  const std::string& entry_point, int64_t trigger_ms, int64_t expired_ms) {
  CZEVComponentProxy entry;
  entry.SetAppCode("app");
  entry.SetComponentID(id);
  entry.SetInstallRoot(root);
  CZEVVersion* version = entry.mutable_component()->mutable_versions()->add_version();
  version->set_version("2.5");
  version->set_archtype(arch);
  CZEVManifest* manifest = version->mutable_manifest();
  manifest->set_loadmode(lmInnerComponent);
  manifest->set_entrypoint(entry_point);
  manifest->mutable_params()->set_triggertime(trigger_ms);
  manifest->mutable_params()->set_expiredtime(expired_ms);
  const std::string dir = entry.GetInstallDir() + "/bin";
  std::filesystem::create_directories(dir);
  const std::string content = id + " for " + entry.GetArchName();
  EXPECT_TRUE(WriteFileAtomically(dir + "/lib" + id + ".so", content));
  CZEVResource* resource = manifest->mutable_resources()->add_resource();
  resource->set_name("lib" + id + ".so.zip");
  resource->set_directory("bin\\");
  resource->set_hash(Sha256Hex(content.data(), content.size()));
  return entry;
}

// A process of `user` that connects to the socket at `path` (or, when it is
// empty, to 127.0.0.1:`port`) and hands the connection back. It leads a
// process group of its own, as a host starts components, with
// ZEV_COMPONENT_ID=`component` in its environment, and lives as long as this.
class UserConnection {
 public:
  UserConnection(const ScopedUser& user, const std::string& path, int port, const std::string& component) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    const std::string env = "ZEV_COMPONENT_ID=" + component, port_text = std::to_string(port);
    const char* script =
        "import socket, sys\n"
        "c = socket.socket(fileno=3)\n"
        "s = socket.socket(socket.AF_UNIX) if sys.argv[1] else socket.socket()\n"
        "s.connect(sys.argv[1] or ('127.0.0.1', int(sys.argv[2])))\n"
        "socket.send_fds(c, [b'x'], [s.fileno()])\n"
        "c.recv(1)\n";
    const char* argv[] = {"python3", "-c", script, path.c_str(), port_text.c_str(), nullptr};
    const char* envp[] = {env.c_str(), nullptr};
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      if (dup2(pair[1], 3) != 3 || setgroups(0, nullptr) != 0 || setgid(user.gid()) != 0 || setuid(user.uid()) != 0) {
        _exit(126);
      }
      execve("/usr/bin/python3", const_cast<char**>(argv), const_cast<char**>(envp));
      _exit(127);
    }
    close(pair[1]);
    control_ = pair[0];
    char byte;
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))];
    iovec io{&byte, 1};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = space;
    message.msg_controllen = sizeof(space);
    if (pid_ > 0 && recvmsg(control_, &message, MSG_CMSG_CLOEXEC) == 1 && CMSG_FIRSTHDR(&message) != nullptr) {
      memcpy(&fd_, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof(int));
    }
  }
  ~UserConnection() {
    if (control_ >= 0) close(control_);  // the process ends
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  int fd() const { return fd_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int control_ = -1;
  int fd_ = -1;
};

// Two threads meet here before each round, so that both send their call
// for the same id together.
class RoundGate {
 public:
  void Arrive() {
    std::unique_lock<std::mutex> lock(mu_);
    const int64_t round = round_;
    if (++waiting_ == 2) {
      waiting_ = 0;
      ++round_;
      cv_.notify_all();
      return;
    }
    cv_.wait(lock, [&] { return round_ != round; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int waiting_ = 0;    // guarded by mu_
  int64_t round_ = 0;  // guarded by mu_
};

}  // namespace

TEST_F(ControlServer, PipeAndPortRegistrationsShareAnEntryThatOutlivesOneWithdrawal) {
  Client http = Connect(Transport::kHttp);
  Client pipe = Connect(Transport::kPipe);

  CZEVRegisterPipeResponse piped = pipe.Pipe(0, "comp", "comp-pipe", "1.0");
  EXPECT_TRUE(piped.success());
  EXPECT_EQ(piped.errormessage(), "ok");
  // Only a pipe so far: the port reads 0.
  EXPECT_EQ(http.Get(qPort, "comp").data(), "0");

  CZEVRegisterPortResponse ported = http.Port(0, "comp", 61024, "9.9");
  EXPECT_TRUE(ported.success());
  EXPECT_EQ(ported.errormessage(), "ok");
  EXPECT_EQ(ported.rttype(), rtRegisterPort);

  for (Client* c : {&http, &pipe}) {
    CZEVGetComponentDataResponse port = c->Get(qPort, "comp");
    EXPECT_TRUE(port.success());
    EXPECT_EQ(port.data(), "61024");
    EXPECT_EQ(c->Get(qPipeName, "comp").data(), "comp-pipe");
    // The context stays the first registration's.
    EXPECT_EQ(c->Get(qVersion, "comp").data(), "1.0");
    EXPECT_EQ(c->Get(qDesc, "comp", 32).data(), "port:61024\nversion:1.0");
  }

  // Withdrawing the port keeps the pipe name.
  CZEVRegisterPortResponse unported = pipe.Port(1, "comp", 61024);
  EXPECT_TRUE(unported.success());
  EXPECT_EQ(unported.rttype(), rtUnRegisterPort);
  EXPECT_EQ(http.Get(qPipeName, "comp").data(), "comp-pipe");
  EXPECT_EQ(http.Get(qPort, "comp").data(), "0");

  EXPECT_TRUE(http.Pipe(1, "comp", "comp-pipe").success());
  CZEVGetComponentDataResponse gone = pipe.Get(qPort, "comp");
  EXPECT_FALSE(gone.success());
  EXPECT_EQ(gone.data(), "get ComponentContext failed.");

  // Withdrawing what is not there fails, with the message left at "ok".
  CZEVRegisterPipeResponse again = pipe.Pipe(1, "comp", "comp-pipe");
  EXPECT_FALSE(again.success());
  EXPECT_EQ(again.errormessage(), "ok");
  EXPECT_EQ(again.rttype(), rtUnRegisterPipe);

  // The other order: a port first, then a pipe name; withdrawing the pipe
  // name keeps the port.
  EXPECT_TRUE(pipe.Port(0, "other", 5000).success());
  EXPECT_TRUE(http.Pipe(0, "other", "other-pipe").success());
  EXPECT_TRUE(http.Pipe(1, "other", "other-pipe").success());
  EXPECT_EQ(http.Get(qPort, "other").data(), "5000");
  EXPECT_EQ(http.Get(qPipeName, "other").data(), "");
  EXPECT_TRUE(http.Port(0, "other", 5001).success());
  EXPECT_EQ(http.Get(qPort, "other").data(), "5001");

  // A withdrawal that names no port (or no pipe name) withdraws both.
  for (bool by_port : {true, false}) {
    EXPECT_TRUE(pipe.Pipe(0, "both", "both-pipe").success());
    EXPECT_TRUE(pipe.Port(0, "both", 6000).success());
    EXPECT_TRUE(by_port ? http.Port(1, "both", 0).success() : http.Pipe(1, "both", "").success());
    EXPECT_FALSE(http.Get(qPipeName, "both").success()) << by_port;
  }
}

TEST_F(ControlServer, RefusesBadRegistrationsWithTheirReasons) {
  Client c = Connect(Transport::kHttp);

  CZEVRegisterPortResponse no_id = c.Port(0, "", 61024);
  EXPECT_FALSE(no_id.success());
  EXPECT_EQ(no_id.errormessage(), "componentID in ComponentContext is empty.");
  EXPECT_EQ(c.Pipe(1, "", "x").errormessage(), "componentID in ComponentContext is empty.");

  CZEVRegisterPortResponse bad_type = c.Port(5, "comp", 61024);
  EXPECT_FALSE(bad_type.success());
  EXPECT_EQ(bad_type.errormessage(), "do not find rtType: 5");
  EXPECT_EQ(static_cast<int>(bad_type.rttype()), 5);
  EXPECT_EQ(c.Pipe(-3, "comp", "p").errormessage(), "do not find rtType: -3");

  EXPECT_EQ(c.Port(0, "comp", 0).errormessage(), "port out of range: 0");
  EXPECT_EQ(c.Port(0, "comp", 65536).errormessage(), "port out of range: 65536");
  EXPECT_EQ(c.Port(0, "comp", -1).errormessage(), "port out of range: -1");
  EXPECT_EQ(c.Pipe(0, "comp", "").errormessage(), "pipeName in request is empty.");
  EXPECT_EQ(c.Pipe(0, "comp", std::string(kMaxRegistrationText, 'p')).errormessage(),
            "registration too long (" + std::to_string(kMaxRegistrationText + 7) + " bytes; at most " +
                std::to_string(kMaxRegistrationText) + ")");

  // A version that is not UTF-8 (the request's parse fails after the field
  // was read) would make every later qVersion answer unreadable.
  const std::string context = std::string("\x12\x04") + "comp" + std::string("\x1a\x01\xff", 3);
  const std::string request = "\x1a\x01p\x12" + std::string(1, static_cast<char>(context.size())) + context;
  std::string exr, plain;
  ASSERT_TRUE(c.Call("registerPipeName", request, &exr, &plain));
  CZEVRegisterPipeResponse not_utf8;
  ASSERT_TRUE(not_utf8.ParseFromString(plain));
  EXPECT_FALSE(not_utf8.success());
  EXPECT_EQ(not_utf8.errormessage(), "registration texts must be UTF-8");

  // Nothing of the refused calls was stored.
  EXPECT_EQ(c.Get(qPort, "comp").data(), "get ComponentContext failed.");
}

TEST_F(ControlServer, AnswersQueriesOnlyForGoodIdsBitsAndTypes) {
  Client c = Connect(Transport::kPipe);
  ASSERT_TRUE(c.Port(0, "comp", 61024).success());

  CZEVGetComponentDataResponse no_id = c.Get(qPort, "");
  EXPECT_FALSE(no_id.success());
  EXPECT_EQ(no_id.data(), "componentID in request is empty.");
  for (int bits : {16, 0, 63}) {
    CZEVGetComponentDataResponse bad = c.Get(qPort, "comp", bits);
    EXPECT_FALSE(bad.success());
    EXPECT_EQ(bad.data(), "component bits error: " + std::to_string(bits));
  }
  CZEVGetComponentDataResponse undefined = c.Get(9, "comp");
  EXPECT_FALSE(undefined.success());
  EXPECT_EQ(undefined.data(), "Undefined dataType: 9");
  // Ids compare exactly.
  EXPECT_FALSE(c.Get(qPort, "COMP").success());
  EXPECT_TRUE(c.Get(qPort, "comp", 32).success());
}

// Only what is answered from memory may run on the socket's loop thread.
TEST_F(ControlServer, EchoAndQuestionsAnsweredFromMemoryAreQuick) {
  CZEVComponentDescriptor echo, question;
  echo.set_serverid(kEchoServerId);
  echo.set_methodcode("echo");
  question.set_serverid(kControlServerId);
  question.set_methodcode("getComponentData");
  CZEVGetComponentDataRequest request;
  request.set_datatype(qPipeName);
  EXPECT_TRUE(methods_.isQuick(echo, "") && methods_.isQuick(question, request.SerializeAsString()));
  request.set_datatype(qMainEntryPoint);  // checks the component's files
  EXPECT_FALSE(methods_.isQuick(question, request.SerializeAsString()));
}

TEST_F(ControlServer, FindsTheMainEntryPointOfTheRequestedBitsWhileItsWindowIsOpen) {
  ScopedTempDir root;
  const int64_t now_ms = clock_.WallMillis();
  const int64_t hour = 3600 * 1000;
  CZEVComponentProxy x64 = InstalledInner(root.path(), "comp", atx64, "bin\\libcomp.so", now_ms - hour, now_ms + hour);
  CZEVComponentProxy x86 = InstalledInner(root.path(), "comp", atx86, "bin/libcomp.so", now_ms - hour, now_ms + hour);
  // An entry without a version sorts first (empty application code); it
  // must not end the search.
  CZEVComponentProxy versionless;
  versionless.SetComponentID("comp");
  Client c = Connect(Transport::kHttp);

  EXPECT_EQ(c.Get(qMainEntryPoint, "comp").data(), "not find component in process");  // nothing loaded yet
  SetLoaded({versionless, x64, x86});
  CZEVGetComponentDataResponse bits64 = c.Get(qMainEntryPoint, "comp", 64);
  EXPECT_TRUE(bits64.success());
  EXPECT_EQ(bits64.data(), root.path() + "/app/comp/2.5/x64/bin/libcomp.so");
  CZEVGetComponentDataResponse bits32 = c.Get(qMainEntryPoint, "comp", 32);
  EXPECT_TRUE(bits32.success());
  EXPECT_EQ(bits32.data(), root.path() + "/app/comp/2.5/x86/bin/libcomp.so");
  EXPECT_EQ(c.Get(qMainEntryPoint, "comp", 16).data(), "component bits error: 16");
  EXPECT_FALSE(c.Get(qMainEntryPoint, "other", 64).success());

  // Past the expiry the window is shut.
  clock_.Advance(hour + 1000);
  CZEVGetComponentDataResponse expired = c.Get(qMainEntryPoint, "comp", 64);
  EXPECT_FALSE(expired.success());
  EXPECT_EQ(expired.data(), "not find component in process");

  struct Case {
    const char* what;
    std::function<void(CZEVManifest*)> change;
  };
  const Case cases[] = {
      {"a trigger time in the future", [&](CZEVManifest* m) { m->mutable_params()->set_triggertime(clock_.WallMillis() + hour); }},
      {"an outer component", [](CZEVManifest* m) { m->set_loadmode(lmOutterComponent); }},
      {"a file whose hash differs", [](CZEVManifest* m) { m->mutable_resources()->mutable_resource(0)->set_hash("00"); }},
      {"an entry point that climbs", [](CZEVManifest* m) { m->set_entrypoint("..\\..\\evil.so"); }},
      {"an absolute entry point", [](CZEVManifest* m) { m->set_entrypoint("/lib/evil.so"); }},
  };
  for (const Case& k : cases) {
    CZEVComponentProxy entry = InstalledInner(root.path(), "comp", atx64, "bin/libcomp.so",
                                              clock_.WallMillis() - hour, clock_.WallMillis() + hour);
    k.change(entry.mutable_component()->mutable_versions()->mutable_version(0)->mutable_manifest());
    SetLoaded({entry});
    CZEVGetComponentDataResponse r = c.Get(qMainEntryPoint, "comp", 64);
    EXPECT_FALSE(r.success()) << k.what;
    EXPECT_EQ(r.data(), "not find component in process") << k.what;
  }
}

TEST_F(ControlServer, ConcurrentPortAndPipeRegistrationsLoseNothingBelowTheCapAndAreRefusedAboveIt) {
  constexpr int kIds = 10000;
  const size_t cap = CZEVComponentPortStore::kDefaultCapacity;
  auto id_of = [](int i) { return "id-" + std::to_string(i); };
  std::atomic<int> port_ok{0}, pipe_ok{0}, bad_refusals{0}, transport_failures{0};
  // Both walk the same ids in step, one registering ports over HTTP, the
  // other pipe names over the socket, so that every new id is raced for by
  // both.
  RoundGate gate;
  std::thread ports([&] {
    Client c = Connect(Transport::kHttp);
    CZEVRegisterPortRequest request;
    request.mutable_context()->set_version("1.0");
    for (int i = 0; i < kIds; ++i) {
      request.mutable_context()->set_componentid(id_of(i));
      request.set_port(1000 + i);
      gate.Arrive();
      std::string exr, plain;
      CZEVRegisterPortResponse r;
      if (!c.Call("registerPort", request.SerializeAsString(), &exr, &plain) || !r.ParseFromString(plain)) {
        ++transport_failures;
      } else if (r.success()) {
        ++port_ok;
      } else if (r.errormessage() != "too many registered components (4096)") {
        ++bad_refusals;
      }
    }
  });
  std::thread pipes([&] {
    Client c = Connect(Transport::kPipe);
    CZEVRegisterPipeRequest request;
    for (int i = 0; i < kIds; ++i) {
      request.mutable_context()->set_componentid(id_of(i));
      request.set_pipename("pipe-" + std::to_string(i));
      gate.Arrive();
      std::string exr, plain;
      CZEVRegisterPipeResponse r;
      if (!c.Call("registerPipeName", request.SerializeAsString(), &exr, &plain) || !r.ParseFromString(plain)) {
        ++transport_failures;
      } else if (r.success()) {
        ++pipe_ok;
      } else if (r.errormessage() != "too many registered components (4096)") {
        ++bad_refusals;
      }
    }
  });
  ports.join();
  pipes.join();
  EXPECT_EQ(transport_failures.load(), 0);
  EXPECT_EQ(bad_refusals.load(), 0);
  // The first `cap` ids fill the store whichever thread leads, and each
  // thread lands its half of every one of them.
  EXPECT_EQ(port_ok.load(), static_cast<int>(cap));
  EXPECT_EQ(pipe_ok.load(), static_cast<int>(cap));

  Client c = Connect(Transport::kHttp);
  int lost = 0;
  for (size_t i = 0; i < cap; ++i) {
    const std::string id = id_of(static_cast<int>(i));
    lost += c.Get(qPort, id).data() != std::to_string(1000 + i) ||
            c.Get(qPipeName, id).data() != "pipe-" + std::to_string(i);
  }
  EXPECT_EQ(lost, 0);
  EXPECT_FALSE(c.Get(qPort, id_of(static_cast<int>(cap))).success());

  // Full: known ids still update and withdraw, and a withdrawn one makes room.
  EXPECT_TRUE(c.Port(0, id_of(0), 7).success());
  EXPECT_EQ(c.Get(qPort, id_of(0)).data(), "7");
  EXPECT_EQ(c.Port(0, "newcomer", 8).errormessage(), "too many registered components (4096)");
  EXPECT_TRUE(c.Port(1, id_of(0), 0).success());  // both halves
  EXPECT_TRUE(c.Port(0, "newcomer", 8).success());
}

TEST(ComponentPortStore, KeepsEachHalfApartAndHoldsTheCap) {
  CZEVComponentPortStore store(2);
  ComponentPortInfo port_rec;
  port_rec.port = 10;
  port_rec.context.set_version("1");
  ComponentPortInfo pipe_rec;
  pipe_rec.pipeName = "p";
  pipe_rec.context.set_version("2");

  // upSert creates an entry without a context and touches only its half.
  EXPECT_TRUE(store.upSertComponentPortInfo("a", PortInfoKind::kPipeName, pipe_rec));
  ComponentPortInfo got;
  std::string error;
  ASSERT_TRUE(store.getComponentPortInfo("a", &got, &error));
  EXPECT_EQ(got.port, 0);
  EXPECT_EQ(got.pipeName, "p");
  EXPECT_EQ(got.context.version(), "");
  EXPECT_TRUE(store.upSertComponentPortInfo("a", PortInfoKind::kPort, port_rec));
  ASSERT_TRUE(store.getComponentPortInfo("a", &got, &error));
  EXPECT_EQ(got.port, 10);
  EXPECT_EQ(got.pipeName, "p");

  // set replaces the whole record; register keeps the first context.
  EXPECT_TRUE(store.setComponentPortInfo("a", port_rec));
  ASSERT_TRUE(store.getComponentPortInfo("a", &got, &error));
  EXPECT_EQ(got.pipeName, "");
  EXPECT_EQ(got.context.version(), "1");
  EXPECT_TRUE(store.registerComponentPortInfo("a", PortInfoKind::kPipeName, pipe_rec));
  ASSERT_TRUE(store.getComponentPortInfo("a", &got, &error));
  EXPECT_EQ(got.port, 10);
  EXPECT_EQ(got.pipeName, "p");
  EXPECT_EQ(got.context.version(), "1");

  EXPECT_TRUE(store.registerComponentPortInfo("b", PortInfoKind::kPort, port_rec));
  for (int i = 0; i < 3; ++i) {
    error.clear();
    bool ok = i == 0   ? store.setComponentPortInfo("c", port_rec, &error)
              : i == 1 ? store.upSertComponentPortInfo("c", PortInfoKind::kPort, port_rec, &error)
                       : store.registerComponentPortInfo("c", PortInfoKind::kPort, port_rec, &error);
    EXPECT_FALSE(ok) << i;
    EXPECT_EQ(error, "too many registered components (2)") << i;
  }
  EXPECT_FALSE(store.hasComponentPortInfo("c"));
  EXPECT_EQ(store.size(), 2u);

  EXPECT_TRUE(store.removeComponentPortInfo("a", port_rec));
  ASSERT_TRUE(store.getComponentPortInfo("a", &got, &error));
  EXPECT_EQ(got.port, 0);
  EXPECT_EQ(got.pipeName, "p");
  EXPECT_TRUE(store.removeComponentPortInfo("a", pipe_rec));
  EXPECT_FALSE(store.hasComponentPortInfo("a"));
  EXPECT_FALSE(store.removeComponentPortInfo("a", port_rec));
  EXPECT_FALSE(store.getComponentPortInfo("a", &got, &error));
  EXPECT_EQ(error, "get ComponentContext failed.");
  EXPECT_TRUE(store.setComponentPortInfo("c", port_rec));
}

// A half goes with the watch it is tied to, unless someone else registered
// it since; an entry left with neither half goes.
TEST(ComponentPortStore, WithdrawsOnlyTheHalvesTiedToAnEndedWatch) {
  CZEVComponentPortStore store;
  ComponentPortInfo tied_port, tied_pipe, port, pipe;  // as registrations make them: one half each
  tied_port.port = 10;
  tied_port.portTie = 7;
  tied_pipe.pipeName = "p";
  tied_pipe.pipeTie = 7;
  port.port = 11;
  pipe.pipeName = "q";
  ASSERT_TRUE(store.registerComponentPortInfo("a", PortInfoKind::kPort, tied_port));
  ASSERT_TRUE(store.registerComponentPortInfo("a", PortInfoKind::kPipeName, tied_pipe));
  ASSERT_TRUE(store.registerComponentPortInfo("b", PortInfoKind::kPort, tied_port));
  ASSERT_TRUE(store.registerComponentPortInfo("b", PortInfoKind::kPipeName, pipe));
  ASSERT_TRUE(store.registerComponentPortInfo("c", PortInfoKind::kPort, tied_port));
  ASSERT_TRUE(store.registerComponentPortInfo("c", PortInfoKind::kPort, port));
  std::vector<std::string> ids;
  EXPECT_EQ(store.withdrawTied(8), 0u);
  EXPECT_EQ(store.withdrawTied(7, &ids), 3u);
  EXPECT_EQ(ids, (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(store.hasComponentPortInfo("a"));
  ComponentPortInfo got;
  std::string error;
  ASSERT_TRUE(store.getComponentPortInfo("b", &got, &error));
  EXPECT_EQ(got.port, 0);
  EXPECT_EQ(got.pipeName, "q");
  ASSERT_TRUE(store.getComponentPortInfo("c", &got, &error));
  EXPECT_EQ(got.port, 11);
}

TEST(ComponentPeer, TiesRegistrationsToTheLeaderOfAHostsChildGroupOnly) {
  const std::vector<pid_t> hosts = {100};
  struct Case {
    const char* what;
    CallerGroupFacts facts;  // caller alive, parent, group; leader alive, parent, group
    GroupTie tie;
  };
  const Case cases[] = {
      {"the component itself", {true, 100, 200, true, 100, 200}, GroupTie::kLeader},
      {"a helper it runs", {true, 200, 200, true, 100, 200}, GroupTie::kLeader},
      {"a caller gone before it was looked at", {false, 0, 0, false, 0, 0}, GroupTie::kEnded},
      {"a helper whose component ended", {true, 100, 200, false, 0, 0}, GroupTie::kEnded},
      {"a process whose group's leader ended", {true, 1, 200, false, 0, 0}, GroupTie::kNone},
      {"a group led by another's child", {true, 300, 300, true, 1, 300}, GroupTie::kNone},
      {"a leader's pid taken by one leading no group", {true, 200, 200, true, 100, 250}, GroupTie::kNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TieOf(c.facts, hosts), c.tie) << c.what;
    if (c.tie == GroupTie::kLeader) {
      EXPECT_EQ(TieOf(c.facts, {}), GroupTie::kNone) << c.what << ", no hosts";
    }
  }
}

TEST_F(ControlServer, AnotherUserChangesOnlyItsOwnComponentsRegistrationsAndHoldsAtMost64) {
  ScopedUser user;
  if (!user.ok()) GTEST_SKIP() << user.reason();
  ASSERT_EQ(chmod(run_dir_.path().c_str(), 0711), 0);
  Client root = Connect(Transport::kPipe);
  ASSERT_TRUE(root.Port(0, "victim", 5000).success());
  // As the manager does: this test process stands for the host.
  pipe_.setComponentPeerCheck(
      [](pid_t pid, const std::string& id) { return ProcessBelongsToComponent(pid, {getpid()}, id); });
  for (Transport transport : {Transport::kHttp, Transport::kPipe}) {
    const bool http = transport == Transport::kHttp;
    UserConnection connection(user, http ? "" : ipc_.socket_path(), port_, "mine");
    ASSERT_GE(connection.fd(), 0);
    Client theirs(transport, connection.fd());
    EXPECT_EQ(theirs.Port(0, "victim", 6666).errormessage().rfind("not allowed: ", 0), 0u) << http;
    EXPECT_FALSE(theirs.Port(1, "victim", 0).success()) << http;
    EXPECT_FALSE(theirs.Pipe(0, "fresh", "p").success()) << http;
    EXPECT_EQ(theirs.Get(qPort, "victim").data(), "5000") << http;  // reading stays open
    // Over the socket a process of the component's own group may change
    // its registrations; over HTTP nobody but root may.
    EXPECT_EQ(theirs.Port(0, "mine", 7000).success(), !http);
    EXPECT_EQ(theirs.Port(1, "mine", 0).success(), !http);
    EXPECT_FALSE(ProcessBelongsToComponent(connection.pid(), {}, "mine"));
  }
  EXPECT_EQ(root.Get(qPort, "victim").data(), "5000");

  // Were one user's processes every component's, it still could not fill the store.
  pipe_.setComponentPeerCheck([](pid_t, const std::string&) { return true; });
  UserConnection connection(user, ipc_.socket_path(), 0, "any");
  Client theirs(Transport::kPipe, connection.fd());
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(theirs.Port(0, "id" + std::to_string(i), 1000).success()) << i;
  EXPECT_EQ(theirs.Port(0, "id64", 1000).errormessage(),
            "uid " + std::to_string(user.uid()) + " holds 64 registered components, its limit");
  EXPECT_TRUE(root.Port(0, "id64", 1000).success());
  EXPECT_TRUE(root.Port(1, "id0", 0).success());  // a withdrawal gives the slot back
  EXPECT_TRUE(theirs.Port(0, "id65", 1000).success());
}

TEST_F(ControlServer, PagesInABrowserCanNeitherChangeRecordsNorReachTheEndpointUnderAnotherName) {
  Client root = Connect(Transport::kPipe);
  ASSERT_TRUE(root.Port(0, "comp", 5000).success());
  Client page = Connect(Transport::kHttp);
  page.headers = {{"Origin", "http://evil.example"}, {"Content-Type", "text/plain"},
                  {"Host", "127.0.0.1:" + std::to_string(port_)}};
  for (int rt_type : {0, 1}) {
    CZEVRegisterPortRequest request;
    request.set_rttype(static_cast<CZEVRegisterPortType>(rt_type));
    request.mutable_context()->set_componentid("comp");
    request.set_port(6666);
    std::string exr, plain;
    ASSERT_TRUE(page.Call("registerPort", request.SerializeAsString(), &exr, &plain));
    EXPECT_EQ(exr, "1") << rt_type;
  }
  EXPECT_EQ(page.Get(qPort, "comp").data(), "5000");  // reading methods answer pages as before

  // A name rebound to 127.0.0.1 reaches the endpoint with the page's own name.
  page.headers["Host"] = "evil.example:" + std::to_string(port_);
  std::string exr, plain;
  EXPECT_FALSE(page.Call("getComponentData", "", &exr, &plain));
  EXPECT_EQ(page.status, 421);
  const std::string p = ":" + std::to_string(port_);
  for (const std::string& host : std::vector<std::string>{"localhost", "LOCALHOST" + p, "127.0.0.1" + p, "127.3.2.1", "[::1]" + p})
    EXPECT_TRUE(zev::HostNamesEndpoint(host, static_cast<uint16_t>(port_))) << host;
  for (const std::string& host : std::vector<std::string>{"evil.example", "localhost.evil.example" + p, "127.0.0.1:1",
                                  "127.0.0.1" + p + "0", "0.0.0.0" + p, "8.8.8.8", "::1", "[::1", ""})
    EXPECT_FALSE(zev::HostNamesEndpoint(host, static_cast<uint16_t>(port_))) << host;
}

}  // namespace zev
