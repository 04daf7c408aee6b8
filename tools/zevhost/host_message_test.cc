#include "tools/zevhost/host_message.h"

#include <gtest/gtest.h>

#include "base/base64.h"
#include "bus/envelope.h"
#include "tools/zevhost/host_args.h"
#include "tools/zevhost/test_component.h"

namespace zev {

namespace {

const char kNode[] = "zevhost-6D0D8672-16C9-41E7-BE4F-B88DEBB4D15B-grp--nodeindex0";

std::string Envelope(const std::string& dst, const std::string& type, const std::string& context,
                     int64_t contextlen, int base64) {
  return "{\"clientname\":\"monitor\",\"dstnodename\":\"" + dst + "\",\"clientid\":1,\"msgtype\":\"" + type +
         "\",\"msgid\":2,\"context\":\"" + context + "\",\"contextlen\":" + std::to_string(contextlen) +
         ",\"base64\":" + std::to_string(base64) + "}";
}

bool Check(const std::string& text, HostMessage* message, std::string* why) {
  return CheckHostMessage(text.data(), text.size(), kNode, message, why);
}

TEST(HostArgument, DropsTheColonBeforeTheLastNodeIndexAndKeepsColonsOfTheGroup) {
  HostArgument a;
  std::string why;
  ASSERT_TRUE(ParseHostArgument(std::string(kHostNodePrefix) + "grp:--nodeindex3", &a, &why));
  EXPECT_EQ(a.node_name, std::string(kHostNodePrefix) + "grp--nodeindex3");
  EXPECT_EQ(a.process_group, "grp");

  ASSERT_TRUE(ParseHostArgument(std::string(kHostNodePrefix) + "a:b--nodeindex:c:--nodeindex12", &a, &why));
  EXPECT_EQ(a.node_name, std::string(kHostNodePrefix) + "a:b--nodeindex:c--nodeindex12");
  EXPECT_EQ(a.process_group, "a:b--nodeindex:c");

  ASSERT_TRUE(ParseHostArgument("plain:group:--nodeindex1", &a, &why));
  EXPECT_EQ(a.node_name, "plain:group--nodeindex1");
  EXPECT_EQ(a.process_group, "plain:group");
}

TEST(HostArgument, RefusesArgumentsWithoutTheMarkedNodeIndex) {
  HostArgument a;
  std::string why;
  EXPECT_FALSE(ParseHostArgument("", &a, &why));
  EXPECT_FALSE(ParseHostArgument("zevhost-grp", &a, &why));
  EXPECT_FALSE(ParseHostArgument("grp--nodeindex1", &a, &why));
  EXPECT_FALSE(ParseHostArgument("--nodeindex1", &a, &why));
  EXPECT_FALSE(ParseHostArgument("a:--nodeindex1--nodeindex2", &a, &why)) << "the last marker decides";
}

TEST(HostMessage, AcceptsStartStopAndStopAllFromTheMonitor) {
  const std::string context = MakeContext("app", "comp", "1.0").SerializeAsString();
  HostMessage m;
  std::string why;
  ASSERT_TRUE(Check(pubsdk::BuildEnvelope("monitor", kNode, "start", context, 7), &m, &why)) << why;
  EXPECT_EQ(m.command, HostCommand::kStart);
  EXPECT_EQ(m.context.componentid(), "comp");
  EXPECT_EQ(m.context.manifest().entrypoint(), "run.sh");
  ASSERT_TRUE(Check(pubsdk::BuildEnvelope("monitor", kNode, "stop", context, 8), &m, &why)) << why;
  EXPECT_EQ(m.command, HostCommand::kStop);
  ASSERT_TRUE(Check(pubsdk::BuildEnvelope("monitor", kNode, "stopall", "stopall", 9), &m, &why)) << why;
  EXPECT_EQ(m.command, HostCommand::kStopAll);
}

TEST(HostMessage, DropsEnvelopesThatFailAnyCheck) {
  const std::string payload = MakeContext("app", "comp", "1.0").SerializeAsString();
  const std::string b64 = Base64Encode(payload);
  const int64_t len = static_cast<int64_t>(b64.size());
  HostMessage m;
  std::string why;
  EXPECT_TRUE(Check(Envelope(kNode, "start", b64, len, 1), &m, &why)) << why;

  EXPECT_FALSE(Check("not json", &m, &why));
  EXPECT_FALSE(Check("[1,2]", &m, &why));
  EXPECT_FALSE(Check(Envelope("someone-else", "start", b64, len, 1), &m, &why)) << "another node's message";
  EXPECT_FALSE(Check(Envelope(kNode, "start", b64, len, 0), &m, &why)) << "base64 flag 0";
  EXPECT_FALSE(Check(Envelope(kNode, "start", b64, len - 1, 1), &m, &why)) << "contextlen off by one";
  EXPECT_FALSE(Check(Envelope(kNode, "start", b64.substr(0, b64.size() - 4), len, 1), &m, &why))
      << "context cut short";
  EXPECT_FALSE(Check(Envelope(kNode, "start", "!!!!", 4, 1), &m, &why)) << "not base64";
  EXPECT_FALSE(Check(Envelope(kNode, "launch", b64, len, 1), &m, &why)) << "unknown type";
  EXPECT_FALSE(CheckHostMessage(nullptr, 0, kNode, &m, &why));
}

TEST(HostMessage, DropsPayloadsThatAreNotUsableContexts) {
  HostMessage m;
  std::string why;
  const std::string payload = MakeContext("app", "comp", "1.0").SerializeAsString();
  // Cut inside the appCode string: a length that runs past the end.
  EXPECT_FALSE(Check(pubsdk::BuildEnvelope("m", kNode, "start", payload.substr(0, 3), 1), &m, &why));
  EXPECT_FALSE(Check(pubsdk::BuildEnvelope("m", kNode, "start", "\xff\xff\xff", 1), &m, &why));
  EXPECT_FALSE(Check(pubsdk::BuildEnvelope("m", kNode, "stopall", "stop", 1), &m, &why));
  for (const CZEVComponentContext& bad :
       {MakeContext("", "comp", "1"), MakeContext("app", "..", "1"), MakeContext("app", "comp", "../1"),
        MakeContext("a/b", "comp", "1"), MakeContext("app", "c\\d", "1"), MakeContext("app", "comp", ".")}) {
    EXPECT_FALSE(Check(pubsdk::BuildEnvelope("m", kNode, "start", bad.SerializeAsString(), 1), &m, &why))
        << bad.ShortDebugString();
  }
}

}  // namespace

}  // namespace zev
