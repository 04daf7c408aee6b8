#include "bus/envelope.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "base/base64.h"
#include "bus/msg_pack.h"
#include "bus/receiver.h"
#include "bus/runtime_log.h"
#include "bus/term_settings.h"
#include "gtest/gtest.h"
#include "testing/sync.h"
#include "testing/test_util.h"

namespace pubsdk {
namespace {

TEST(EnvelopeTest, CrcStartsAtOneAndIdsFollowTheTick) {
  EXPECT_EQ(NameCrc("abc"), 0x34E62BF5u);
  EXPECT_EQ(NameCrc(""), 1u);
  EXPECT_EQ(NameCrc(kDefaultServiceName), NameCrc(kDefaultServiceName));
  EXPECT_EQ(MessageId("start", 42), NameCrc("start----42"));
  EXPECT_NE(MessageId("start", 42), MessageId("start", 43));
}

TEST(EnvelopeTest, StopallTravelsAsBase64WithItsLength) {
  std::string text = BuildEnvelope("monitor", "host-1", "stopall", "stopall", 7);
  Envelope envelope;
  ASSERT_TRUE(ParseEnvelope(text, &envelope));
  EXPECT_EQ(envelope.clientname, "monitor");
  EXPECT_EQ(envelope.dstnodename, "host-1");
  EXPECT_EQ(envelope.clientid, static_cast<int64_t>(NameCrc("monitor")));
  EXPECT_EQ(envelope.msgtype, "stopall");
  EXPECT_EQ(envelope.msgid, static_cast<int64_t>(MessageId("stopall", 7)));
  EXPECT_EQ(envelope.context, "c3RvcGFsbA==");
  EXPECT_EQ(envelope.contextlen, 12);
  EXPECT_EQ(envelope.base64, 1);
  std::string payload, why;
  ASSERT_TRUE(OpenEnvelope(envelope, "host-1", &payload, &why)) << why;
  EXPECT_EQ(payload, "stopall");
}

TEST(EnvelopeTest, BinaryPayloadsRoundTrip) {
  std::string payload;
  for (int i = 0; i < 1000; ++i) payload.push_back(static_cast<char>(i * 7));
  for (size_t cut : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, payload.size()}) {
    Envelope envelope;
    ASSERT_TRUE(ParseEnvelope(BuildEnvelope("a", "b", "start", payload.substr(0, cut), 1), &envelope));
    std::string out, why;
    ASSERT_TRUE(OpenEnvelope(envelope, "b", &out, &why)) << why;
    EXPECT_EQ(out, payload.substr(0, cut));
  }
}

TEST(EnvelopeTest, OpenRefusesWhatDoesNotAddUp) {
  Envelope good;
  ASSERT_TRUE(ParseEnvelope(BuildEnvelope("a", "b", "start", "payload!", 1), &good));
  std::string payload, why;

  Envelope other = good;
  EXPECT_FALSE(OpenEnvelope(other, "c", &payload, &why));

  other = good;
  other.base64 = 0;
  EXPECT_FALSE(OpenEnvelope(other, "b", &payload, &why));

  other = good;
  other.contextlen += 1;
  EXPECT_FALSE(OpenEnvelope(other, "b", &payload, &why));

  // A cut-off context, with its length made to match.
  other = good;
  other.context.resize(other.context.size() - 2);
  other.contextlen = static_cast<int64_t>(other.context.size());
  EXPECT_FALSE(OpenEnvelope(other, "b", &payload, &why));

  other = good;
  other.context[3] = '*';
  EXPECT_FALSE(OpenEnvelope(other, "b", &payload, &why));

  // Members of the wrong type count as absent.
  Envelope typed;
  ASSERT_TRUE(ParseEnvelope(R"({"dstnodename":"b","base64":"1","context":"","contextlen":0})", &typed));
  EXPECT_EQ(typed.base64, 0);
  EXPECT_FALSE(OpenEnvelope(typed, "b", &payload, &why));

  EXPECT_FALSE(ParseEnvelope("not json", &typed));
  EXPECT_FALSE(ParseEnvelope("[1,2]", &typed));
  EXPECT_EQ(payload, "");
}

// A component's end travels as names and "exit N" / "signal N"; whatever
// else a peer sends is refused, never read in part.
TEST(EnvelopeTest, ComponentEndsRoundTripAndBadOnesAreRefused) {
  ComponentEnd end;
  end.app_code = "app";
  end.component_id = "comp";
  end.version = "1.2";
  end.signal = 9;
  ComponentEnd read;
  ASSERT_TRUE(ParseComponentEnd(BuildComponentEnd(end), &read));
  EXPECT_EQ(read.app_code + read.component_id + read.version, "appcomp1.2");
  EXPECT_EQ(read.signal, 9);
  EXPECT_EQ(read.exit_code, 0);
  const std::string names("a\0c\0v\0", 6);
  struct Case {
    std::string payload;
    bool ok;
    int exit_code;
  };
  const std::vector<Case> cases = {
      {names + "exit 3", true, 3},     {names + "exit 255", true, 255}, {names + "exit 256", false, 0},
      {names + "exit -1", false, 0},   {names + "exit ", false, 0},     {names + "signal 0", false, 0},
      {names + "quit 1", false, 0},    {names + "exit 1 ", false, 0},   {std::string("a\0\0v\0exit 1", 11), false, 0},
      {std::string("a\0c\0exit 1", 10), false, 0},
  };
  for (const Case& c : cases) {
    ComponentEnd out;
    EXPECT_EQ(ParseComponentEnd(c.payload, &out), c.ok) << c.payload.substr(6);
    if (c.ok) {
      EXPECT_EQ(out.exit_code, c.exit_code);
    }
  }
}

TEST(EnvelopeTest, NameMessagesCarryIdAndName) {
  CMsgPack* pack = new CMsgPack(BuildNameMessage("get_client_info", 77, "node-x").c_str());
  EXPECT_EQ(pack->GetMsgType(), "get_client_info");
  EXPECT_EQ(pack->GetClientId(), 77);
  EXPECT_EQ(pack->GetClientName(), "node-x");
  EXPECT_EQ(pack->GetContext(), "");
  EXPECT_EQ(pack->Parse("{broken"), kE_FAIL);
  EXPECT_EQ(pack->GetMsgType(), "");
  EXPECT_EQ(pack->Parse(nullptr), kE_FAIL);
  void* msg = nullptr;
  EXPECT_EQ(pack->QueryInterface(IID_IMsgPack, &msg), kS_OK);
  EXPECT_EQ(pack->QueryInterface(IID_IReceiver, &msg), kE_NOINTERFACE);
  static_cast<IMsgPack*>(pack)->Release();
  pack->Release();
}

TEST(RuntimeLogTest, NameFileAndSizeLimit) {
  EXPECT_EQ(RuntimeLogProgramName("/usr/bin/zevsvc"), "zevsvc");
  EXPECT_EQ(RuntimeLogProgramName("/opt/tool.exe"), "tool");
  EXPECT_EQ(RuntimeLogProgramName(".exe"), ".exe");

  zev::ScopedCommonDataDir common;
  std::string path = CLogSinkToDataDir::FilePath();
  EXPECT_EQ(path.rfind(common.path() + "/Varnel/NUVPF/", 0), 0u) << path;
  EXPECT_NE(path.find("_zev_runtime.log"), std::string::npos);

  RuntimeLog("first %d", 1);
  std::string text;
  ASSERT_TRUE(zev::ReadFileToString(path, &text));
  EXPECT_NE(text.find("][P:" + std::to_string(getpid()) + "][T:"), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 8), "first 1\n");
  EXPECT_EQ(text[0], '[');

  // Lines are cut at 10239 characters of message.
  RuntimeLog("%s", std::string(20000, 'x').c_str());
  ASSERT_TRUE(zev::ReadFileToString(path, &text));
  EXPECT_NE(text.find(std::string(10239, 'x') + "\n"), std::string::npos);
  EXPECT_EQ(text.find(std::string(10240, 'x')), std::string::npos);

  // Just under the limit the file grows; at the limit the next sink starts afresh.
  {
    std::ofstream pad(path, std::ios::app);
    pad << std::string(kRuntimeLogLimit - 1 - text.size(), '.');
  }
  RuntimeLog("kept");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_GT(static_cast<uint64_t>(st.st_size), kRuntimeLogLimit);
  RuntimeLog("after");
  ASSERT_TRUE(zev::ReadFileToString(path, &text));
  EXPECT_LT(text.size(), 100u);
  EXPECT_NE(text.find("after"), std::string::npos);
}

// Records what reaches it; optionally blocks until released.
class RecordingReceiver : public CReceiver {
 public:
  RecordingReceiver() : CReceiver("recording") {}
  HRESULT OnInput(const char* name, uint32_t length, const char* data) override {
    if (block_) gate_.Wait(std::chrono::seconds(30));
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
  bool block_ = false;
  zev::Latch gate_;
  zev::Counter seen_;

 private:
  std::mutex mu_;
  std::vector<std::string> names_;
  std::vector<std::string> texts_;
};

TEST(ReceiverImpAsyncTest, DeliversABurstInOrderWithTheSendersName) {
  RecordingReceiver* target = new RecordingReceiver();
  CReceiverImpAsync* async = new CReceiverImpAsync(target);
  std::vector<std::string> sent;
  for (int i = 0; i < 1000; ++i) {
    sent.push_back(R"({"clientname":"n)" + std::to_string(i % 3) + R"(","i":)" + std::to_string(i) + "}");
    ASSERT_EQ(async->OnInput("ignored", static_cast<uint32_t>(sent.back().size()), sent.back().data()), kS_OK);
  }
  std::string plain = "not json";
  ASSERT_EQ(async->OnInput("x", static_cast<uint32_t>(plain.size()), plain.data()), kS_OK);
  ASSERT_TRUE(target->seen_.WaitFor(1001));
  sent.push_back(plain);
  EXPECT_EQ(target->texts(), sent);
  std::vector<std::string> names = target->names();
  EXPECT_EQ(names[4], "n1");
  EXPECT_EQ(names[1000], "");  // no name in a text that is not JSON

  EXPECT_EQ(async->OnInput(nullptr, 1, "x"), kE_FAIL);
  EXPECT_EQ(async->OnInput("n", 0, "x"), kE_FAIL);
  async->Stop();
  EXPECT_EQ(async->OnInput("n", 1, "x"), kE_FAIL);
  async->Release();
  target->Release();
}

TEST(ReceiverImpAsyncTest, AFullQueueRefusesAndStopDropsTheRest) {
  RecordingReceiver* target = new RecordingReceiver();
  target->block_ = true;
  CReceiverImpAsync* async = new CReceiverImpAsync(target);
  const char one[] = "{}";
  // The first message is taken off the queue and blocks the thread.
  ASSERT_EQ(async->OnInput("n", 2, one), kS_OK);
  size_t accepted = 0;
  while (async->OnInput("n", 2, one) == kS_OK) {
    ++accepted;
    ASSERT_LE(accepted, 2 * kAsyncQueueMaxMessages);  // the first batch may take a few more
  }
  EXPECT_GE(accepted, kAsyncQueueMaxMessages - 1);
  target->gate_.Open();
  async->Stop();
  int delivered = target->seen_.count();
  async->Release();
  EXPECT_EQ(target->seen_.count(), delivered);
  target->Release();
}

}  // namespace
}  // namespace pubsdk
