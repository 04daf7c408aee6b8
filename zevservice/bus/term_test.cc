// The term against the real bus library, loaded from beside this test.
#include "bus/rpc_term.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "bus/envelope.h"
#include "bus/receiver.h"
#include "bus/term_settings.h"
#include "gtest/gtest.h"
#include "platform/paths.h"
#include "testing/sync.h"
#include "testing/test_util.h"

namespace pubsdk {
namespace {

// Keeps what reaches the consumer, leaving out the name exchange (which
// reaches it too).
class Inbox : public CReceiver {
 public:
  Inbox() : CReceiver("inbox") {}
  HRESULT OnInput(const char* name, uint32_t length, const char* data) override {
    if (IsNameExchange(data, length)) {
      exchanges_.Hit();
      return kS_OK;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      names_.push_back(name);
      texts_.emplace_back(data, length);
    }
    seen_.Hit();
    return kS_OK;
  }
  std::vector<std::string> texts() {
    std::lock_guard<std::mutex> lock(mu_);
    return texts_;
  }
  std::vector<std::string> names() {
    std::lock_guard<std::mutex> lock(mu_);
    return names_;
  }
  zev::Counter seen_;
  zev::Counter exchanges_;

 private:
  std::mutex mu_;
  std::vector<std::string> names_;
  std::vector<std::string> texts_;
};

// A receiver of the second kind.
class PackInbox : public IMsgReceiver, public CRefCountBase {
 public:
  HRESULT QueryInterface(const GUID& iid, void** out) override {
    if (iid != IID_IMsgReceiver && iid != IID_IUnknown) return kE_NOINTERFACE;
    *out = static_cast<IMsgReceiver*>(this);
    AddRefImpl();
    return kS_OK;
  }
  uint32_t AddRef() override { return AddRefImpl(); }
  uint32_t Release() override { return ReleaseImpl(); }
  HRESULT OnInput(const char*, uint32_t, const char*) override { return kS_OK; }
  HRESULT OnOutput(const char*) override { return kS_OK; }
  HRESULT OnMessage(IMsgPack* pack) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      types_.push_back(pack->GetMsgType());
    }
    seen_.Hit();
    return kS_OK;
  }
  std::vector<std::string> types() {
    std::lock_guard<std::mutex> lock(mu_);
    return types_;
  }
  zev::Counter seen_;

 private:
  std::mutex mu_;
  std::vector<std::string> types_;
};

// Polls until `done` holds, for at most ten seconds.
bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

class TermTest : public ::testing::Test {
 protected:
  zev::ScopedCommonDataDir common_;
};

TEST_F(TermTest, NamesAreExchangedBothWays) {
  Inbox* a_inbox = new Inbox();
  Inbox* b_inbox = new Inbox();
  {
    CRpcTermSettings a(common_.path()), b(common_.path());
    ASSERT_TRUE(a.Join("node-a", a_inbox));
    // b asks every node it finds for its name when it joins; a answers.
    ASSERT_TRUE(b.Join("node-b", b_inbox));
    uint32_t id_a = NameCrc("node-a"), id_b = NameCrc("node-b");
    EXPECT_TRUE(Eventually([&] { return a.term()->HasNameForNodeId(id_b); }));
    EXPECT_TRUE(Eventually([&] { return b.term()->HasNameForNodeId(id_a); }));
    // Both questions and answers also reach the consumers.
    EXPECT_TRUE(a_inbox->exchanges_.WaitFor(1));
    EXPECT_TRUE(b_inbox->exchanges_.WaitFor(1));
    std::string name;
    EXPECT_EQ(b.term()->GetNameByNodeId(id_a, &name), kS_OK);
    EXPECT_EQ(name, "node-a");
    uint32_t id = 0;
    EXPECT_EQ(a.term()->GetNodeIdByName("node-b", &id), kS_OK);
    EXPECT_EQ(id, id_b);
    EXPECT_TRUE(a.term()->HasNodeIdForName("node-b"));
    EXPECT_EQ(a.term()->GetNodeIdByName("node-c", &id), kE_FAIL);

    // Both see each other in the node table.
    ASSERT_EQ(a.term()->RefreshNodes(), kS_OK);
    std::vector<uint32_t> ids;
    a.term()->BeginNodeIteration();
    while (a.term()->NextNodeId(&id) == kS_OK) ids.push_back(id);
    EXPECT_EQ(ids.size(), 2u);
    BusNodeRecord record;
    EXPECT_EQ(a.term()->GetNodeRecord(id_b, &record), kS_OK);
    EXPECT_EQ(record.node_id, id_b);
    EXPECT_EQ(a.term()->GetNodeRecord(12345, &record), kE_FAIL);

    // A message from a named sender reaches the consumer with the envelope.
    ASSERT_TRUE(a.Send("node-b", "start", "payload", 5));
    ASSERT_TRUE(b_inbox->seen_.WaitFor(1));
    Envelope envelope;
    ASSERT_TRUE(ParseEnvelope(b_inbox->texts().back(), &envelope));
    EXPECT_EQ(envelope.msgtype, "start");
    EXPECT_EQ(b_inbox->names().back(), "node-a");

    // b leaves: a's sends to it fail, and it drops out of a's table.
    b.Leave();
    EXPECT_FALSE(a.Send("node-b", "start", "payload", 6));
    ASSERT_EQ(a.term()->RefreshNodes(), kS_OK);
    EXPECT_EQ(a.term()->GetNodeRecord(id_b, &record), kE_FAIL);

    // b comes back under its name: a's messages reach it again.
    CRpcTermSettings b_again(common_.path());
    ASSERT_TRUE(b_again.Join("node-b", b_inbox));
    ASSERT_TRUE(a.Send("node-b", "again", "payload", 7));
    EXPECT_TRUE(Eventually([&] { return b_inbox->texts().back().find("again") != std::string::npos; }));
  }
  a_inbox->Release();
  b_inbox->Release();
}

TEST_F(TermTest, RawMessagesPlainAndInOrder) {
  Inbox* inbox = new Inbox();
  CRpcTermSettings receiver(common_.path()), sender(common_.path());
  ASSERT_TRUE(receiver.Join("receiver", inbox));
  ASSERT_TRUE(sender.Join("sender", nullptr));
  IRpcTermEx* term = sender.term();
  uint32_t to = NameCrc("receiver");

  // A message without members still arrives, with an empty name; one that
  // is not JSON never does.
  const char empty[] = "{}";
  const char junk[] = "\x01\x02 not json";
  ASSERT_EQ(term->Send(to, 1, 2, junk, sizeof(junk) - 1), kS_OK);
  ASSERT_EQ(term->Send(to, 1, 2, empty, 2), kS_OK);
  std::vector<std::string> sent = {empty};
  for (int i = 0; i < 1000; ++i) {
    sent.push_back(BuildEnvelope("sender", "receiver", "start", "#" + std::to_string(i), static_cast<uint32_t>(i)));
    ASSERT_TRUE(sender.Send("receiver", "start", "#" + std::to_string(i), static_cast<uint32_t>(i))) << i;
  }
  ASSERT_TRUE(inbox->seen_.WaitFor(1001));
  std::vector<std::string> texts = inbox->texts();
  EXPECT_EQ(texts, sent);
  EXPECT_EQ(inbox->names()[0], "");
  EXPECT_EQ(inbox->names()[1], "sender");
  receiver.Leave();
  sender.Leave();
  inbox->Release();
}

TEST_F(TermTest, SecondReceiverTakesPacks) {
  CRpcTermSettings receiver(common_.path()), sender(common_.path());
  ASSERT_TRUE(receiver.Join("packs", nullptr));
  ASSERT_TRUE(sender.Join("packer", nullptr));
  PackInbox* packs = new PackInbox();
  Inbox* plain = new Inbox();
  EXPECT_EQ(receiver.term()->SetSecondReceiver(plain), kE_FAIL);  // not of the second kind
  ASSERT_EQ(receiver.term()->SetSecondReceiver(packs), kS_OK);
  ASSERT_TRUE(sender.Send("packs", "stop", "x", 1));
  // The sender's name question may come first.
  EXPECT_TRUE(Eventually([&] {
    std::vector<std::string> types = packs->types();
    return !types.empty() && types.back() == "stop";
  }));
  receiver.Leave();
  sender.Leave();
  packs->Release();
  plain->Release();
}

TEST_F(TermTest, InitFailsCleanlyWithoutAUsableLibrary) {
  for (const std::string& library :
       {zev::JoinPath(zev::GetModuleDir(), "libno_such_library.so"),
        zev::JoinPath(zev::GetModuleDir(), "libno_exports.so"),
        zev::JoinPath(zev::GetModuleDir(), "libhalf_exports.so")}) {
    CRpcTermSettings settings(common_.path());
    settings.SetLibraryPath(library);
    EXPECT_FALSE(settings.Join("lonely", nullptr)) << library;
    EXPECT_FALSE(settings.Send("anyone", "start", "x", 1));
    EXPECT_EQ(settings.term()->RefreshNodes(), kE_FAIL);
  }
  CRpcTermSettings homeless{std::string()};
  EXPECT_FALSE(homeless.Join("homeless", nullptr)) << "joined without a common data folder";
  CRpcTermHelper* term = new CRpcTermHelper();
  EXPECT_EQ(term->Uninit(), kE_FAIL);
  EXPECT_EQ(term->SetReceiver(nullptr), kE_FAIL);
  EXPECT_EQ(term->SetCallCenterName(nullptr), kE_FAIL);
  EXPECT_EQ(term->CheckNonZero(0), kE_FAIL);
  EXPECT_EQ(term->Send(1, 2, 3, "x", 1), kE_FAIL);
  term->Release();
}

TEST_F(TermTest, ANodeNameIsHeldOnce) {
  CRpcTermSettings first(common_.path()), second(common_.path());
  ASSERT_TRUE(first.Join("only-one", nullptr));
  EXPECT_FALSE(second.Join("only-one", nullptr));
  first.Leave();
  EXPECT_TRUE(second.Join("only-one", nullptr));
}

}  // namespace
}  // namespace pubsdk
