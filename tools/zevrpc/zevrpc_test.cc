// The bus library as the service uses it: loaded with dlopen from the test
// program's own folder and driven through its five exports, with real
// sockets, lock files and child processes.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus/bus_abi.h"
#include "platform/paths.h"
#include "testing/test_util.h"
#include "tools/zevrpc/bus_frame.h"

namespace zev {

namespace {

using namespace pubsdk;
using SteadyClock = std::chrono::steady_clock;

struct BusLibrary {
  void* handle = nullptr;
  PUB_InitializeCallCenterFn initialize = nullptr;
  PUB_UninitializeCallCenterFn uninitialize = nullptr;
  PUB_AllocateCallCenterFn allocate = nullptr;
  PUB_FreeCallCenterFn free_call_center = nullptr;
  PUB_ShutDownFn shut_down = nullptr;

  // Loaded once, from beside the test program, the way the service does.
  static BusLibrary& Get() {
    static BusLibrary library = Load();
    return library;
  }

 private:
  static BusLibrary Load() {
    BusLibrary lib;
    std::string path = GetModuleDir() + "libzevrpc.so";
    lib.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib.handle == nullptr) return lib;
    lib.initialize = reinterpret_cast<PUB_InitializeCallCenterFn>(dlsym(lib.handle, "PUB_InitializeCallCenter"));
    lib.uninitialize = reinterpret_cast<PUB_UninitializeCallCenterFn>(dlsym(lib.handle, "PUB_UninitializeCallCenter"));
    lib.allocate = reinterpret_cast<PUB_AllocateCallCenterFn>(dlsym(lib.handle, "PUB_AllocateCallCenter"));
    lib.free_call_center = reinterpret_cast<PUB_FreeCallCenterFn>(dlsym(lib.handle, "PUB_FreeCallCenter"));
    lib.shut_down = reinterpret_cast<PUB_ShutDownFn>(dlsym(lib.handle, "PUB_ShutDown"));
    return lib;
  }
};

// Polls `done` until it holds or `timeout` passed; the final answer.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = SteadyClock::now() + timeout;
  while (!done()) {
    if (SteadyClock::now() >= deadline) return done();
    poll(nullptr, 0, 2);
  }
  return true;
}

struct Received {
  uint32_t source, destination, word_a, word_b, channel;
  std::vector<uint8_t> data;
};

// Keeps a copy of every message; `hook`, when set, runs inside OnMessage on
// the library's dispatch thread. Lives on the test's stack: Release never
// deletes, and refs() shows whether the library gave back its references.
class Recorder : public IMessageCallBack {
 public:
  std::function<void(IBusMessage*)> hook;

  HRESULT QueryInterface(const GUID& iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IMessageCallBack) {
      AddRef();
      *out = this;
      return kS_OK;
    }
    *out = nullptr;
    return kE_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override { return --refs_; }
  HRESULT OnMessage(IBusMessage* message) override {
    BusMessageHeader header;
    EXPECT_EQ(kS_OK, message->GetHeader(&header));
    EXPECT_EQ(header.length, message->GetLength());
    EXPECT_EQ(header.data, message->GetData());
    Received r{header.source, header.destination, header.word_a, header.word_b, header.channel,
               std::vector<uint8_t>(header.data, header.data + header.length)};
    if (hook) hook(message);
    std::lock_guard<std::mutex> lock(mu_);
    received_.push_back(std::move(r));
    return kS_OK;
  }

  size_t count() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_.size();
  }
  Received at(size_t i) {
    std::lock_guard<std::mutex> lock(mu_);
    return received_.at(i);
  }
  bool WaitForCount(size_t n) {
    return WaitUntil([&] { return count() >= n; });
  }
  uint32_t refs() const { return refs_.load(); }

 private:
  std::atomic<uint32_t> refs_{1};
  std::mutex mu_;
  std::vector<Received> received_;  // guarded by mu_
};

// A count-down that a callback can block on.
class Latch {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;  // guarded by mu_
};

std::vector<BusNodeRecord> ListNodes(IBusEndpoint* endpoint) {
  std::vector<BusNodeRecord> nodes;
  uint64_t cursor = 0;
  if (endpoint->BeginNodes(&cursor) != kS_OK) return nodes;
  do {
    BusNodeRecord record;
    if (endpoint->GetNode(cursor, &record) != kS_OK) break;
    nodes.push_back(record);
  } while (endpoint->NextNode(&cursor) == kS_OK);
  return nodes;
}

bool Listed(IBusEndpoint* endpoint, uint32_t id, BusNodeRecord* found = nullptr) {
  for (const BusNodeRecord& r : ListNodes(endpoint)) {
    if (r.node_id != id) continue;
    if (found) *found = r;
    return true;
  }
  return false;
}

// A raw client of a node's socket, for frames the library would never send.
int ConnectRaw(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads until `n` bytes or end of stream within the time; the byte count.
size_t ReadWithin(int fd, uint8_t* out, size_t n, int timeout_ms) {
  size_t got = 0;
  auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  while (got < n) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count());
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) break;
    ssize_t r = read(fd, out + got, n - got);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

// The acknowledgement a raw client gets; -1 when the node closed or went
// silent without one.
int64_t RawAck(int fd) {
  uint8_t ack[rpc::kAckSize];
  if (ReadWithin(fd, ack, sizeof(ack), 5000) != sizeof(ack)) return -1;
  return rpc::DecodeAck(ack);
}

bool WriteBytes(int fd, const void* data, size_t n) { return send(fd, data, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n); }

// Whether the node closed `fd` (end of stream) within the time.
bool ClosedByPeerWithin(int fd, int timeout_ms) {
  auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count());
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) return false;
    uint8_t b;
    ssize_t r = recv(fd, &b, 1, 0);
    if (r == 0) return true;
    if (r < 0 && errno != EINTR) return true;
  }
}

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(nullptr, lib_.handle) << dlerror();
    center_ = lib_.initialize("test", dir_.path().c_str(), kBusAbiVersion);
    ASSERT_NE(nullptr, center_);
    folder_ = dir_.path() + "/run/bus";
  }
  void TearDown() override {
    if (center_ != nullptr) {
      EXPECT_EQ(kS_OK, lib_.uninitialize(center_));
    }
  }
  // Closes the call center with its endpoints. Tests declare a
  // CloseCenterFirst after their callbacks and the locals those use, so
  // that the endpoints are gone before any of them is destroyed.
  void CloseCenter() {
    if (center_ != nullptr) {
      EXPECT_EQ(kS_OK, lib_.uninitialize(center_));
    }
    center_ = nullptr;
  }
  struct CloseCenterFirst {
    BusTest* test;
    ~CloseCenterFirst() { test->CloseCenter(); }
  };
  std::string SocketOf(uint32_t id) {
    char name[16];
    std::snprintf(name, sizeof(name), "%08X", id);
    return folder_ + "/" + name + ".sock";
  }

  BusLibrary& lib_ = BusLibrary::Get();
  ScopedTempDir dir_;
  std::string folder_;
  IBusCallCenter* center_ = nullptr;
};

// ---- Library and call center ----

TEST(BusLibrary, ExportsExactlyTheFiveEntryPoints) {
  BusLibrary& lib = BusLibrary::Get();
  ASSERT_NE(nullptr, lib.handle) << dlerror();
  EXPECT_NE(nullptr, lib.initialize);
  EXPECT_NE(nullptr, lib.uninitialize);
  EXPECT_NE(nullptr, lib.allocate);
  EXPECT_NE(nullptr, lib.free_call_center);
  EXPECT_NE(nullptr, lib.shut_down);
  // Internals of the library and of the platform code linked into it.
  for (const char* hidden : {"_ZN6zevrpc17DecodeFrameHeaderEPKhmjPNS_11FrameHeaderE",
                             "_ZN6zevrpc10CallCenter15ReleaseEndpointEPN6pubsdk12IBusEndpointE",
                             "_Z16GetCommonDataDirB5cxx11v", "_Z23CreateDirectoryWithModeRKNSt7__cxx1112basic_"
                                                             "stringIcSt11char_traitsIcESaIcEEEj"}) {
    EXPECT_EQ(nullptr, dlsym(lib.handle, hidden)) << hidden;
  }
  EXPECT_EQ(kS_OK, lib.shut_down());
}

TEST(BusLibrary, AllocateUsesTheCommonDataFolder) {
  BusLibrary& lib = BusLibrary::Get();
  ASSERT_NE(nullptr, lib.handle);
  ScopedCommonDataDir common;
  IBusCallCenter* center = lib.allocate("allocated");
  ASSERT_NE(nullptr, center);
  EXPECT_TRUE(DirectoryExists(common.path() + "/run/bus"));
  EXPECT_EQ(nullptr, lib.allocate(nullptr));
  EXPECT_EQ(kS_OK, lib.free_call_center(center));
}

TEST_F(BusTest, CallCenterRefusesBadArgumentsAndUnusableFolders) {
  EXPECT_EQ(nullptr, lib_.initialize(nullptr, dir_.path().c_str(), kBusAbiVersion));
  EXPECT_EQ(nullptr, lib_.initialize("x", nullptr, kBusAbiVersion));
  EXPECT_EQ(nullptr, lib_.initialize("x", dir_.path().c_str(), 2));
  EXPECT_EQ(nullptr, lib_.initialize("x", dir_.path().c_str(), 4));
  // A file where the data folder should be.
  ASSERT_TRUE(WriteFileAtomically(dir_.Sub("file"), "x"));
  EXPECT_EQ(nullptr, lib_.initialize("x", dir_.Sub("file").c_str(), kBusAbiVersion));
  // A link where the bus folder should be.
  ASSERT_TRUE(CreateDirectories(dir_.Sub("linked/run")));
  ASSERT_TRUE(CreateDirectories(dir_.Sub("elsewhere")));
  ASSERT_EQ(0, symlink(dir_.Sub("elsewhere").c_str(), dir_.Sub("linked/run/bus").c_str()));
  EXPECT_EQ(nullptr, lib_.initialize("x", dir_.Sub("linked").c_str(), kBusAbiVersion));
  EXPECT_EQ(kE_POINTER, lib_.uninitialize(nullptr));
}

TEST_F(BusTest, BusFolderIsPrivateEvenWhenItExistedWithWiderRights) {
  struct stat st;
  ASSERT_EQ(0, stat(folder_.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);

  ASSERT_TRUE(CreateDirectories(dir_.Sub("wide/run/bus")));
  ASSERT_EQ(0, chmod(dir_.Sub("wide/run/bus").c_str(), 0755));
  IBusCallCenter* wide = lib_.initialize("wide", dir_.Sub("wide").c_str(), kBusAbiVersion);
  ASSERT_NE(nullptr, wide);
  ASSERT_EQ(0, stat(dir_.Sub("wide/run/bus").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  EXPECT_EQ(kS_OK, lib_.uninitialize(wide));
}

TEST_F(BusTest, ObjectsAnswerTheirInterfacesAndReservedSlots) {
  void* out = nullptr;
  EXPECT_EQ(kS_OK, center_->QueryInterface(IID_IBusCallCenter, &out));
  EXPECT_EQ(center_, out);
  EXPECT_EQ(1u, center_->Release());
  EXPECT_EQ(kE_NOINTERFACE, center_->QueryInterface(IID_IBusEndpoint, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(kE_NOTIMPL, center_->Reserved3());
  EXPECT_EQ(kE_NOTIMPL, center_->Reserved11());
  EXPECT_EQ(nullptr, center_->OpenEndpoint(1, 0, nullptr));

  Recorder recorder;
  CloseCenterFirst close_first{this};
  IBusEndpoint* endpoint = center_->OpenEndpoint(1, 9, &recorder);
  ASSERT_NE(nullptr, endpoint);
  EXPECT_EQ(2u, recorder.refs());
  EXPECT_EQ(1u, endpoint->GetNodeId());
  EXPECT_EQ(9u, endpoint->GetChannel());
  EXPECT_EQ(kS_OK, endpoint->QueryInterface(IID_IUnknown, &out));
  EXPECT_EQ(endpoint, out);
  EXPECT_EQ(1u, endpoint->Release());
  EXPECT_EQ(kE_NOINTERFACE, endpoint->QueryInterface(IID_IMessageCallBack, &out));
  EXPECT_EQ(kE_NOTIMPL, endpoint->Reserved5());
  EXPECT_EQ(kE_NOTIMPL, endpoint->Reserved12());
  EXPECT_EQ(kE_POINTER, endpoint->BeginNodes(nullptr));

  recorder.hook = [](IBusMessage* message) {
    void* unknown = nullptr;
    EXPECT_EQ(kS_OK, message->QueryInterface(IID_IUnknown, &unknown));
    EXPECT_EQ(1u, message->Release());
    EXPECT_EQ(kE_NOTIMPL, message->Reserved10());
    EXPECT_EQ(kE_POINTER, message->GetHeader(nullptr));
  };
  EXPECT_EQ(kS_OK, endpoint->Send(1, 0, 0, "x", 1, 5000));
  EXPECT_TRUE(recorder.WaitForCount(1));

  EXPECT_EQ(kE_POINTER, center_->ReleaseEndpoint(nullptr));
  EXPECT_EQ(kS_OK, center_->ReleaseEndpoint(endpoint));
  EXPECT_EQ(1u, recorder.refs());
  EXPECT_EQ(kE_INVALIDARG, center_->ReleaseEndpoint(endpoint));
}

TEST_F(BusTest, UninitializeClosesEveryOpenEndpoint) {
  Recorder a, b;
  CloseCenterFirst close_first{this};
  ASSERT_NE(nullptr, center_->OpenEndpoint(0x10, 0, &a));
  ASSERT_NE(nullptr, center_->OpenEndpoint(0x11, 0, &b));
  EXPECT_TRUE(FileExists(folder_ + "/00000010.lock"));
  EXPECT_EQ(kS_OK, lib_.uninitialize(center_));
  center_ = nullptr;
  EXPECT_EQ(1u, a.refs());
  EXPECT_EQ(1u, b.refs());
  EXPECT_FALSE(FileExists(folder_ + "/00000010.lock"));
  EXPECT_FALSE(FileExists(folder_ + "/00000011.sock"));

  center_ = lib_.initialize("again", dir_.path().c_str(), kBusAbiVersion);
  ASSERT_NE(nullptr, center_);
  EXPECT_NE(nullptr, center_->OpenEndpoint(0x10, 0, &a));
}

TEST_F(BusTest, SocketPathsTooLongForAnAddressAreRefused) {
  std::string deep = dir_.Sub(std::string(100, 'd'));
  IBusCallCenter* center = lib_.initialize("deep", deep.c_str(), kBusAbiVersion);
  ASSERT_NE(nullptr, center);
  Recorder recorder;
  EXPECT_EQ(nullptr, center->OpenEndpoint(1, 0, &recorder));
  EXPECT_EQ(1u, recorder.refs());
  EXPECT_EQ(kS_OK, lib_.uninitialize(center));
}

// ---- Delivery ----

TEST_F(BusTest, EmptyAndLargestMessagesArriveIntact) {
  Recorder a, b;
  CloseCenterFirst close_first{this};
  IBusEndpoint* ea = center_->OpenEndpoint(0xA, 4, &a);
  IBusEndpoint* eb = center_->OpenEndpoint(0xB, 5, &b);
  ASSERT_NE(nullptr, ea);
  ASSERT_NE(nullptr, eb);

  EXPECT_EQ(kS_OK, ea->Send(0xB, 11, 22, nullptr, 0, 5000));
  std::vector<uint8_t> big(kBusMaxMessage);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 131 + (i >> 16));
  EXPECT_EQ(kS_OK, ea->Send(0xB, 33, 44, big.data(), kBusMaxMessage, 20000));
  ASSERT_TRUE(b.WaitForCount(2));

  Received empty = b.at(0);
  EXPECT_EQ(0xAu, empty.source);
  EXPECT_EQ(0xBu, empty.destination);
  EXPECT_EQ(11u, empty.word_a);
  EXPECT_EQ(22u, empty.word_b);
  EXPECT_EQ(4u, empty.channel);
  EXPECT_TRUE(empty.data.empty());
  Received large = b.at(1);
  EXPECT_EQ(33u, large.word_a);
  EXPECT_TRUE(large.data == big);
}

TEST_F(BusTest, MessagesAboveTheLargestAreRefusedBeforeAnythingHappens) {
  Recorder b;
  CloseCenterFirst close_first{this};
  IBusEndpoint* eb = center_->OpenEndpoint(0xB, 0, &b);
  ASSERT_NE(nullptr, eb);
  // Null data proves that nothing is read; an absent node that nothing is
  // tried.
  EXPECT_EQ(kBusErrTooLarge, eb->Send(0xB, 0, 0, nullptr, kBusMaxMessage + 1, 5000));
  EXPECT_EQ(kBusErrTooLarge, eb->Send(0x99, 0, 0, nullptr, 0xFFFFFFFF, 5000));
  EXPECT_EQ(kBusErrArgument, eb->Send(0xB, 0, 0, nullptr, 1, 5000));

  // The receiver refuses such a header from a raw client, before taking data.
  int fd = ConnectRaw(SocketOf(0xB));
  ASSERT_GE(fd, 0);
  rpc::FrameHeader header;
  header.destination = 0xB;
  header.length = kBusMaxMessage + 1;
  uint8_t bytes[rpc::kFrameHeaderSize];
  rpc::EncodeFrameHeader(header, bytes);
  ASSERT_TRUE(WriteBytes(fd, bytes, sizeof(bytes)));
  EXPECT_EQ(rpc::kAckTooLarge, RawAck(fd));
  close(fd);
  EXPECT_EQ(0u, b.count());
}

TEST_F(BusTest, SendToAnAbsentNodeFailsAtOnce) {
  Recorder a;
  CloseCenterFirst close_first{this};
  IBusEndpoint* ea = center_->OpenEndpoint(0xA, 0, &a);
  ASSERT_NE(nullptr, ea);
  auto start = SteadyClock::now();
  EXPECT_EQ(kBusErrNoNode, ea->Send(0xDEAD, 0, 0, "x", 1, 5000));
  // A socket file that nobody listens on any more, as a killed node leaves.
  int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, SocketOf(0xBEEF).c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(0, bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  close(stale);
  EXPECT_EQ(kBusErrNoNode, ea->Send(0xBEEF, 0, 0, "x", 1, 5000));
  EXPECT_LT(SteadyClock::now() - start, std::chrono::seconds(1));
}

TEST_F(BusTest, NodesThatSendFromTheirCallbacksDoNotDeadlock) {
  constexpr uint32_t kRounds = 200;
  Recorder a, b;
  std::atomic<IBusEndpoint*> ea{nullptr}, eb{nullptr};
  std::atomic<int> failures{0};
  // Each side answers every message with the next number, until kRounds;
  // chain 3 is A's callback sending to its own node.
  auto bounce = [&](std::atomic<IBusEndpoint*>* self) {
    return [self, &failures](IBusMessage* message) {
      uint32_t n = message->GetWordA();
      if (n >= kRounds) return;
      uint32_t to = message->GetWordB() == 3 ? message->GetDestination() : message->GetSource();
      if ((*self).load()->Send(to, n + 1, message->GetWordB(), "ping", 4, 5000) != kS_OK) {
        ++failures;
      }
    };
  };
  a.hook = bounce(&ea);
  b.hook = bounce(&eb);
  CloseCenterFirst close_first{this};
  ea = center_->OpenEndpoint(0xA, 0, &a);
  eb = center_->OpenEndpoint(0xB, 0, &b);
  ASSERT_NE(nullptr, ea.load());
  ASSERT_NE(nullptr, eb.load());
  // Two chains at once, so that both dispatch threads are inside Send
  // towards each other at the same time.
  ASSERT_EQ(kS_OK, ea.load()->Send(0xB, 0, 1, "go", 2, 5000));
  ASSERT_EQ(kS_OK, eb.load()->Send(0xA, 0, 2, "go", 2, 5000));
  ASSERT_EQ(kS_OK, eb.load()->Send(0xA, 0, 3, "go", 2, 5000));
  EXPECT_TRUE(WaitUntil([&] { return a.count() + b.count() >= 3 * (kRounds + 1); }));
  EXPECT_EQ(0, failures.load());
}

TEST_F(BusTest, FullInboxAnswersInboxFullInsteadOfGrowing) {
  Recorder a, b;
  Latch latch;
  std::atomic<bool> entered{false};
  b.hook = [&](IBusMessage*) {
    if (!entered.exchange(true)) latch.Wait();
  };
  CloseCenterFirst close_first{this};
  struct OpenOnExit {
    Latch* latch;
    ~OpenOnExit() { latch->Open(); }
  } open_on_exit{&latch};  // a failed assertion must not leave the callback blocked
  IBusEndpoint* ea = center_->OpenEndpoint(0xA, 0, &a);
  IBusEndpoint* eb = center_->OpenEndpoint(0xB, 0, &b);
  ASSERT_NE(nullptr, ea);
  ASSERT_NE(nullptr, eb);
  ASSERT_EQ(kS_OK, ea->Send(0xB, 0, 0, "first", 5, 5000));
  ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));

  int queued = 0;
  HRESULT last = kS_OK;
  for (int i = 0; i < 1100 && last == kS_OK; ++i) {
    last = ea->Send(0xB, static_cast<uint32_t>(i), 0, "fill", 4, 5000);
    if (last == kS_OK) ++queued;
  }
  EXPECT_EQ(kBusErrInboxFull, last);
  EXPECT_EQ(1024, queued);
  latch.Open();
  EXPECT_TRUE(b.WaitForCount(static_cast<size_t>(1 + queued)));
  EXPECT_EQ(kS_OK, ea->Send(0xB, 0, 0, "again", 5, 5000));
}

TEST_F(BusTest, GarbageAndStalledClientsDoNotHoldUpOtherSenders) {
  // A receiver that waited on a stalled client would hold a send for the
  // frame time limit (3 s); the bound on each send stays below it with room
  // for a slow sanitizer build.
  Recorder a, b;
  CloseCenterFirst close_first{this};
  IBusEndpoint* ea = center_->OpenEndpoint(0xA, 0, &a);
  IBusEndpoint* eb = center_->OpenEndpoint(0xB, 0, &b);
  ASSERT_NE(nullptr, ea);
  ASSERT_NE(nullptr, eb);

  int garbage = ConnectRaw(SocketOf(0xB));
  ASSERT_GE(garbage, 0);
  uint8_t junk[rpc::kFrameHeaderSize];
  std::memset(junk, 0x5A, sizeof(junk));
  ASSERT_TRUE(WriteBytes(garbage, junk, sizeof(junk)));
  EXPECT_EQ(rpc::kAckBadFrame, RawAck(garbage));
  close(garbage);

  int misrouted = ConnectRaw(SocketOf(0xB));
  ASSERT_GE(misrouted, 0);
  rpc::FrameHeader header;
  header.destination = 0xC;
  rpc::EncodeFrameHeader(header, junk);
  ASSERT_TRUE(WriteBytes(misrouted, junk, sizeof(junk)));
  EXPECT_EQ(rpc::kAckWrongDestination, RawAck(misrouted));
  close(misrouted);

  // Stalled clients: half a header, and a header whose data never comes.
  int half = ConnectRaw(SocketOf(0xB));
  ASSERT_GE(half, 0);
  ASSERT_TRUE(WriteBytes(half, junk, 10));
  int no_data = ConnectRaw(SocketOf(0xB));
  ASSERT_GE(no_data, 0);
  header.destination = 0xB;
  header.length = 1000;
  rpc::EncodeFrameHeader(header, junk);
  ASSERT_TRUE(WriteBytes(no_data, junk, sizeof(junk)));
  ASSERT_TRUE(WriteBytes(no_data, "abc", 3));

  for (uint32_t i = 0; i < 20; ++i) {
    auto start = SteadyClock::now();
    EXPECT_EQ(kS_OK, ea->Send(0xB, i, 0, "ok", 2, 5000));
    EXPECT_LT(SteadyClock::now() - start, std::chrono::milliseconds(1000)) << "send " << i << " waited on a stalled client";
  }
  EXPECT_TRUE(ClosedByPeerWithin(half, 20000));
  EXPECT_TRUE(ClosedByPeerWithin(no_data, 20000));
  close(half);
  close(no_data);

  // More stalled clients than the node reads at once: they are dropped in
  // time and the next sender still gets through.
  std::vector<int> stalled;
  for (int i = 0; i < 80; ++i) {
    int fd = ConnectRaw(SocketOf(0xB));
    ASSERT_GE(fd, 0);
    WriteBytes(fd, junk, 1);
    stalled.push_back(fd);
  }
  EXPECT_EQ(kS_OK, ea->Send(0xB, 99, 0, "late", 4, 20000));
  for (int fd : stalled) close(fd);
  EXPECT_TRUE(b.WaitForCount(21));
  EXPECT_EQ(99u, b.at(20).word_a);
}

TEST_F(BusTest, AConnectionCarriesFramesInTurnUntilItsNodeLeaves) {
  Recorder b;
  CloseCenterFirst close_first{this};
  IBusEndpoint* eb = center_->OpenEndpoint(0xB, 0, &b);
  ASSERT_NE(nullptr, eb);
  int fd = ConnectRaw(SocketOf(0xB));
  ASSERT_GE(fd, 0);
  // Three frames in one write: three answers, the messages in order.
  uint8_t frames[3 * rpc::kFrameHeaderSize];
  for (uint32_t i = 0; i < 3; ++i) {
    rpc::FrameHeader header;
    header.destination = 0xB;
    header.word_a = i;
    rpc::EncodeFrameHeader(header, frames + i * rpc::kFrameHeaderSize);
  }
  ASSERT_TRUE(WriteBytes(fd, frames, sizeof(frames)));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(rpc::kAckQueued, RawAck(fd)) << i;
  ASSERT_TRUE(b.WaitForCount(3));
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(i, b.at(i).word_a);
  // The idle connection goes with its node.
  EXPECT_EQ(kS_OK, center_->ReleaseEndpoint(eb));
  EXPECT_TRUE(ClosedByPeerWithin(fd, 5000));
  close(fd);
}

// Answers `frames` frames on `listener` as a node would, recording each
// one's word a and every connection, then leaves.
void ServeFrames(int listener, uint32_t node, int frames, std::vector<uint32_t>* words, int* connections) {
  while (frames > 0) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) break;
    ++*connections;
    uint8_t head[rpc::kFrameHeaderSize], ack[rpc::kAckSize], data[16];
    rpc::FrameHeader header;
    rpc::EncodeAck(rpc::kAckQueued, ack);
    while (frames > 0 && ReadWithin(fd, head, sizeof(head), 10000) == sizeof(head) &&
           rpc::DecodeFrameHeader(head, sizeof(head), node, &header) == rpc::FrameStatus::kOk &&
           header.length <= sizeof(data) && ReadWithin(fd, data, header.length, 10000) == header.length && WriteBytes(fd, ack, sizeof(ack))) {
      words->push_back(header.word_a);
      --frames;
    }
    close(fd);
  }
  close(listener);
}

int ListenAt(const std::string& path, uid_t as_euid) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  unlink(path.c_str());
  // The listener's credentials are taken at listen; the raw call changes
  // this thread's only.
  uid_t own = geteuid();
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      syscall(SYS_setresuid, -1, as_euid, -1) != 0 || listen(fd, 8) != 0 || syscall(SYS_setresuid, -1, own, -1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST_F(BusTest, ASenderKeepsOneConnectionPerNodeAndChecksEachNewListener) {
  if (geteuid() != 0) GTEST_SKIP() << "a listener of another user needs root";
  Recorder a;
  CloseCenterFirst close_first{this};
  IBusEndpoint* ea = center_->OpenEndpoint(0xA, 0, &a);
  ASSERT_NE(nullptr, ea);
  // The node, then the node restarted at the same address: each life gets
  // one connection for all its messages, in order.
  for (int life = 0; life < 2; ++life) {
    int listener = ListenAt(SocketOf(0xC), 0);
    ASSERT_GE(listener, 0);
    std::vector<uint32_t> words;
    int connections = 0;
    std::thread node(ServeFrames, listener, 0xC, 20, &words, &connections);
    for (uint32_t i = 0; i < 20; ++i) EXPECT_EQ(kS_OK, ea->Send(0xC, i, 0, "x", 1, 5000)) << life << " " << i;
    node.join();
    EXPECT_EQ(1, connections) << life;
    ASSERT_EQ(20u, words.size());
    for (uint32_t i = 0; i < 20; ++i) EXPECT_EQ(i, words[i]);
  }
  // A stranger at the address is never sent a byte.
  int stranger = ListenAt(SocketOf(0xC), 65534);
  ASSERT_GE(stranger, 0);
  EXPECT_EQ(kBusErrNoNode, ea->Send(0xC, 0, 0, "secret", 6, 5000));
  int fd = accept4(stranger, nullptr, nullptr, SOCK_CLOEXEC);
  uint8_t byte;
  EXPECT_EQ(0u, ReadWithin(fd, &byte, 1, 5000));
  close(fd);
  close(stranger);
}

TEST_F(BusTest, NoCallbackRunsAfterReleaseEndpointReturns) {
  Recorder a;
  CloseCenterFirst close_first{this};
  IBusEndpoint* ea = center_->OpenEndpoint(0xA, 0, &a);
  ASSERT_NE(nullptr, ea);
  for (int round = 0; round < 5; ++round) {
    std::atomic<bool> released{false};
    std::atomic<int> after_release{0};
    std::atomic<int> calls{0};
    Recorder b;
    b.hook = [&](IBusMessage*) {
      if (released.load()) ++after_release;
      ++calls;
    };
    IBusEndpoint* eb = center_->OpenEndpoint(0xB, 0, &b);
    ASSERT_NE(nullptr, eb);
    std::atomic<bool> stop{false};
    std::thread sender([&] {
      while (!stop.load()) ea->Send(0xB, 0, 0, "in flight", 9, 1000);
    });
    EXPECT_TRUE(WaitUntil([&] { return calls.load() >= 20; }));
    EXPECT_EQ(kS_OK, center_->ReleaseEndpoint(eb));
    released = true;
    int calls_at_release = calls.load();
    // Keep sending for a moment to the node that is gone.
    EXPECT_TRUE(WaitUntil([&] { return ea->Send(0xB, 0, 0, "x", 1, 1000) == kBusErrNoNode; }));
    stop = true;
    sender.join();
    EXPECT_EQ(0, after_release.load());
    EXPECT_EQ(calls_at_release, calls.load());
    EXPECT_EQ(1u, b.refs());
  }
}

TEST_F(BusTest, ReleasingAnEndpointFromItsOwnCallbackIsRefused) {
  Recorder b;
  std::atomic<IBusEndpoint*> eb{nullptr};
  std::atomic<HRESULT> answer{kS_OK};
  std::atomic<bool> done{false};
  b.hook = [&](IBusMessage*) {
    answer = center_->ReleaseEndpoint(eb.load());
    done = true;
  };
  CloseCenterFirst close_first{this};
  eb = center_->OpenEndpoint(0xB, 0, &b);
  ASSERT_NE(nullptr, eb.load());
  ASSERT_EQ(kS_OK, eb.load()->Send(0xB, 0, 0, "self", 4, 5000));
  ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
  EXPECT_EQ(kE_FAIL, answer.load());
  EXPECT_EQ(kS_OK, eb.load()->Send(0xB, 0, 0, "still open", 10, 5000));
}

// ---- Node ids, listing and other processes ----

TEST_F(BusTest, HeldIdsCannotBeOpenedAgainUntilReleased) {
  Recorder a, b;
  CloseCenterFirst close_first{this};
  IBusEndpoint* first = center_->OpenEndpoint(5, 0, &a);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(nullptr, center_->OpenEndpoint(5, 0, &b));
  IBusCallCenter* other = lib_.initialize("other", dir_.path().c_str(), kBusAbiVersion);
  ASSERT_NE(nullptr, other);
  EXPECT_EQ(nullptr, other->OpenEndpoint(5, 0, &b));
  EXPECT_EQ(1u, b.refs());
  EXPECT_EQ(kS_OK, center_->ReleaseEndpoint(first));
  IBusEndpoint* second = other->OpenEndpoint(5, 0, &b);
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(kS_OK, lib_.uninitialize(other));
}

TEST_F(BusTest, ListingShowsLiveNodesOnlyWithOwnNodeMarked) {
  Recorder r1, r2, r3;
  CloseCenterFirst close_first{this};
  IBusEndpoint* e1 = center_->OpenEndpoint(0x30, 7, &r1);
  ASSERT_NE(nullptr, e1);
  ASSERT_NE(nullptr, center_->OpenEndpoint(0x10, 0, &r2));
  IBusEndpoint* e3 = center_->OpenEndpoint(0x20, 0, &r3);
  ASSERT_NE(nullptr, e3);
  // Leftovers of a dead node: a lock file nobody holds, and other names.
  ASSERT_TRUE(WriteFileAtomically(folder_ + "/0000AAAA.lock", "12345\n"));
  ASSERT_TRUE(WriteFileAtomically(folder_ + "/notanode.lock", ""));
  EXPECT_EQ(kS_OK, center_->ReleaseEndpoint(e3));

  std::vector<BusNodeRecord> nodes = ListNodes(e1);
  ASSERT_EQ(2u, nodes.size());
  EXPECT_FALSE(FileExists(folder_ + "/0000AAAA.lock"));
  EXPECT_TRUE(FileExists(folder_ + "/notanode.lock"));
  EXPECT_EQ(0x10u, nodes[0].node_id);
  EXPECT_EQ(0x30u, nodes[1].node_id);
  for (const BusNodeRecord& r : nodes) {
    EXPECT_EQ(180u, r.record_size);
    EXPECT_EQ(getpid(), r.pid);
    EXPECT_EQ(SocketOf(r.node_id), std::string(r.socket_path));
  }
  EXPECT_EQ(0u, nodes[0].flags & 1);
  EXPECT_EQ(1u, nodes[1].flags & 1);
  EXPECT_EQ(7u, nodes[1].channel);

  // A cursor of an older snapshot reads as the end.
  uint64_t old_cursor = 0, cursor = 0;
  ASSERT_EQ(kS_OK, e1->BeginNodes(&old_cursor));
  ASSERT_EQ(kS_OK, e1->BeginNodes(&cursor));
  BusNodeRecord record;
  EXPECT_NE(kS_OK, e1->GetNode(old_cursor, &record));
  EXPECT_NE(kS_OK, e1->NextNode(&old_cursor));
  EXPECT_EQ(kS_OK, e1->GetNode(cursor, &record));
  EXPECT_EQ(kS_OK, e1->NextNode(&cursor));
  EXPECT_NE(kS_OK, e1->NextNode(&cursor));
  EXPECT_NE(kS_OK, e1->GetNode(cursor, &record));
}

TEST_F(BusTest, NodeOfAKilledChildDisappearsAndItsIdCanBeTakenAgain) {
  constexpr uint32_t kChildId = 0x77;
  int ready[2], hold[2];
  ASSERT_EQ(0, pipe2(ready, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(hold, O_CLOEXEC));
  // Forked before this process starts any endpoint thread.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    static Recorder recorder;
    IBusCallCenter* center = lib_.initialize("child", dir_.path().c_str(), kBusAbiVersion);
    char status = center != nullptr && center->OpenEndpoint(kChildId, 0, &recorder) != nullptr ? 'r' : 'f';
    if (write(ready[1], &status, 1) != 1) _exit(1);
    char byte;
    while (read(hold[0], &byte, 1) != 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(hold[0]);
  struct ChildGuard {
    pid_t pid;
    ~ChildGuard() {
      if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  } guard{child};
  uint8_t status = 0;
  ASSERT_EQ(1u, ReadWithin(ready[0], &status, 1, 10000));
  ASSERT_EQ('r', status);

  Recorder a, b;
  CloseCenterFirst close_first{this};
  IBusEndpoint* ea = center_->OpenEndpoint(0xA, 0, &a);
  ASSERT_NE(nullptr, ea);
  EXPECT_EQ(nullptr, center_->OpenEndpoint(kChildId, 0, &b));
  BusNodeRecord record;
  ASSERT_TRUE(Listed(ea, kChildId, &record));
  EXPECT_EQ(child, record.pid);
  EXPECT_EQ(0u, record.flags & 1);
  EXPECT_EQ(kS_OK, ea->Send(kChildId, 0, 0, "hello child", 11, 5000));

  ASSERT_EQ(0, kill(child, SIGKILL));
  ASSERT_EQ(child, waitpid(child, nullptr, 0));
  guard.pid = 0;
  close(ready[0]);
  close(hold[1]);
  // The kernel released the lock with the process; the listing that finds
  // it free removes the dead node's files.
  EXPECT_TRUE(FileExists(SocketOf(kChildId)));
  EXPECT_FALSE(Listed(ea, kChildId));
  EXPECT_FALSE(FileExists(SocketOf(kChildId)));
  EXPECT_FALSE(FileExists(folder_ + "/00000077.lock"));
  EXPECT_EQ(kBusErrNoNode, ea->Send(kChildId, 0, 0, "x", 1, 5000));

  IBusEndpoint* taken = center_->OpenEndpoint(kChildId, 0, &b);
  ASSERT_NE(nullptr, taken);
  EXPECT_TRUE(Listed(ea, kChildId, &record));
  EXPECT_EQ(getpid(), record.pid);
  EXPECT_EQ(kS_OK, ea->Send(kChildId, 1, 2, "new owner", 9, 5000));
  EXPECT_TRUE(b.WaitForCount(1));
}

}  // namespace

}  // namespace zev
