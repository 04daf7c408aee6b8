// The channel and the event reporter against the reference strategy server
// (a real process on loopback), and against a Python server for replies the
// reference server never gives.
#include "server/server_channel.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "crypto/payload_envelope.h"
#include "server/event_reporter.h"
#include "testing/fake_clock.h"
#include "testing/port_server.h"
#include "testing/sync.h"
#include "testing/test_util.h"

namespace zev {

namespace {

const char kCatalogue[] =
    "[{\"code\":\"app\",\"name\":\"App\",\"description\":\"d\",\"components\":[{\"libraryId\":\"comp\","
    "\"name\":\"C\",\"description\":\"c\",\"version\":{\"version\":\"1.0\",\"manifest\":{\"resources\":[]}}}]}]";

void SetBaseUrl(const std::string& url) {
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, kServerUrlKey, "", url));
}

std::vector<std::string> Lines(const std::string& path) {
  std::string text;
  ReadFileToString(path, &text);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(ServerChannel, SealsTextsWholeBlocksAtATime) {
  const std::string key = ContentKey();
  EXPECT_EQ(key.size(), 32u);
  EXPECT_EQ(Base64Decode(EncryptText(std::string(16, 'a'), key)).size(), 32u);
  EXPECT_EQ(Base64Decode(EncryptText(std::string(15, 'a'), key)).size(), 16u);
  EXPECT_EQ(DecryptText(EncryptText("hello", key), key), "hello");
  EXPECT_EQ(DecryptText(EncryptText(std::string("cut\0here", 8), key), key), "cut");
  EXPECT_EQ(DecryptText("YWJj", key), "");  // 3 bytes: not whole blocks
  EXPECT_EQ(DecryptText("", key), "");
  // A final byte of 0 is no padding this side makes.
  std::string cipher = Base64Decode(EncryptText(std::string(15, 'x') + std::string(1, '\x01'), key));
  EXPECT_NE(DecryptText(Base64Encode(cipher), key), "");

  std::string sealed, signature;
  SealContent("{\"a\":1}", &sealed, &signature);
  EXPECT_EQ(signature.size(), 32u);
  EXPECT_EQ(UrlDecode(UrlEncode("a+b/c=d")), "a+b/c=d");
  EXPECT_EQ(UrlEncode("+/="), "%2B%2F%3D");
}

TEST(ServerChannel, RequestsTheCatalogueFromTheReferenceServer) {
  ScopedCommonDataDir common;
  ASSERT_TRUE(WriteFileAtomically(common.path() + "/catalogue.json", kCatalogue));
  PortServer server({ZEV_STRATEGY_SERVER_PATH, "--listen", "127.0.0.1:0", "--catalogue",
                     common.path() + "/catalogue.json"});
  ASSERT_NE(server.port(), 0);
  SetBaseUrl(server.Base());
  CZEVServerChannel channel;
  ASSERT_FALSE(channel.identity().deviceId.empty());
  CZEVApplications apps;
  std::string error;
  ASSERT_EQ(channel.RequestCatalogue("/srv/download", &apps, &error), 0) << error;
  ASSERT_EQ(apps.application_size(), 1);
  EXPECT_EQ(apps.application(0).components().component(0).componentid(), "comp");

  // A request signed wrongly is denied.
  HttpPoster poster(10, 10, 15, 15);
  std::map<std::string, std::string> headers = {{"accessKeyId", kAccessKeyId}, {"signature", "bad"}};
  std::string reply;
  EXPECT_EQ(poster.Post(kServerUserAgent, server.Base(kCatalogueEndpoint), "content=abc", &reply, &headers), 0);
  EXPECT_EQ(reply, "{\"code\":401,\"msg\":\"denied\"}");
  // A document that is not a catalogue ends with 5000.
  ASSERT_TRUE(WriteFileAtomically(common.path() + "/catalogue.json", "{\"not\":\"a list\"}"));
  EXPECT_EQ(channel.RequestCatalogue("/srv/download", &apps, &error), kCatalogueFormatError);
  EXPECT_EQ(error, "convert FatesJson to ProtoApps error json :{\"not\":\"a list\"}");
  EXPECT_EQ(apps.application_size(), 1);  // left as it was
}

TEST(ServerChannel, MapsEveryFailureToItsCode) {
  ScopedCommonDataDir common;
  PortServer python({"python3", HTTP_TEST_SERVER_PATH});
  ASSERT_NE(python.port(), 0);
  CZEVServerChannel channel;
  CZEVApplications apps;
  std::string error;
  SetBaseUrl(python.Base("/denied"));
  EXPECT_EQ(channel.RequestCatalogue("/srv/download", &apps, &error), 401);
  EXPECT_EQ(error, "get components from server retCode:401.  Error msg:denied");
  SetBaseUrl(python.Base("/notjson"));
  EXPECT_EQ(channel.RequestCatalogue("/srv/download", &apps, &error), kCatalogueFormatError);
  EXPECT_EQ(error, "get components from server msg format error");
  SetBaseUrl(python.Base("/status/500"));
  EXPECT_EQ(channel.RequestCatalogue("/srv/download", &apps, &error), -1);
  EXPECT_EQ(error, "get components from server http return error:-1");
  SetBaseUrl(python.Base("/baddata"));
  EXPECT_EQ(channel.RequestCatalogue("/srv/download", &apps, &error), kCatalogueFormatError);
  EXPECT_EQ(error, "convert FatesJson to ProtoApps error json :");
  SetBaseUrl("");
  EXPECT_EQ(channel.RequestCatalogue("/srv/download", &apps, &error), -1);  // an empty base URL does not split
}

TEST(EventReporter, SendsBatchesOfFiftyAndDropsEventsThatDoNotQualify) {
  ScopedCommonDataDir common;
  ASSERT_TRUE(WriteFileAtomically(common.path() + "/catalogue.json", kCatalogue));
  const std::string events_file = common.path() + "/events.jsonl";
  PortServer server({ZEV_STRATEGY_SERVER_PATH, "--listen", "127.0.0.1:0", "--catalogue",
                     common.path() + "/catalogue.json", "--events", events_file});
  SetBaseUrl(server.Base());

  std::vector<EventElement> events(120);
  for (size_t i = 0; i < events.size(); ++i) {
    events[i].appCode = "app";
    events[i].componentLibraryId = "comp";
    events[i].version = i == 0 ? "" : "1.0";  // the first one does not qualify
    events[i].eventState = static_cast<int32_t>(1 + i % 6);
    events[i].eventTimestamp = NowMillis();
  }
  {
    FakeClock clock;
    CZEVEventReporter reporter(&clock, EventKeeper(), 5);
    // Nothing queued, nothing runs: the timer starts with the first events.
    EXPECT_FALSE(reporter.QueueEvents({}));
    EXPECT_FALSE(clock.AwaitTimedWaiters(1, 100));
    ASSERT_TRUE(reporter.QueueEvents(events));
    // The first batch goes at once, then one each period of 5 s; the timer
    // waits again once the batch has been posted.
    for (int i = 0; i < 6 && Lines(events_file).size() < 3; ++i) {
      ASSERT_TRUE(clock.AwaitTimedWaiters(1));
      EXPECT_EQ(clock.NextDeadline() - clock.MonotonicMillis(), 5000);
      if (Lines(events_file).size() < 3) clock.AdvanceSeconds(5);
    }
    EXPECT_EQ(reporter.pending(), 0u);
    // A period that finds nothing to send lets the timer's thread go.
    ASSERT_TRUE(clock.AwaitTimedWaiters(1));
    clock.AdvanceSeconds(5);
    EXPECT_TRUE(PollUntil([] { return ThreadsNamed("zev-timer") == 0; }));
  }
  std::vector<std::string> lines = Lines(events_file);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(Count(lines[0], "\"eventId\""), 49u);  // 50 taken, one without a version
  EXPECT_EQ(Count(lines[1], "\"eventId\""), 50u);
  EXPECT_EQ(Count(lines[2], "\"eventId\""), 20u);
  EXPECT_NE(lines[0].find("\"archType\":2"), std::string::npos);
  EXPECT_NE(lines[0].find("\"platform\":2"), std::string::npos);

  IdentityInfo identity;
  identity.deviceId = "d";
  SystemInfoRecord system;
  std::string json = BuildEventJson(identity, system, {events[0]});
  EXPECT_NE(json.find("\"eventList\":null"), std::string::npos) << json;
  json = BuildEventJson(identity, system, {events[1], events[2]});
  size_t first = json.find("\"eventId\":\"");
  size_t second = json.find("\"eventId\":\"", first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_NE(json.substr(first, 50), json.substr(second, 50));  // each event has its own id
  identity.deviceId.clear();
  EXPECT_EQ(BuildEventJson(identity, system, {events[1]}), "");
}

TEST(EventReporter, LosesEventsWhenTheServerIsUnreachable) {
  ScopedCommonDataDir common;
  SetBaseUrl("http://127.0.0.1:1");
  FakeClock clock;
  CZEVEventReporter reporter(&clock, EventKeeper(), 5);
  std::vector<EventElement> events(60);
  for (auto& e : events) {
    e.appCode = "a";
    e.componentLibraryId = "c";
    e.version = "1";
    e.eventTimestamp = 1;
  }
  reporter.QueueEvents(events);
  for (int i = 0; i < 6 && reporter.pending() > 0; ++i) {
    ASSERT_TRUE(clock.AwaitTimedWaiters(1));
    if (reporter.pending() > 0) clock.AdvanceSeconds(5);
  }
  EXPECT_EQ(reporter.pending(), 0u);  // taken and gone, never queued again

  // Failing downloads can queue faster than batches drain: the queue keeps
  // the newest events up to its cap.
  ASSERT_TRUE(clock.AwaitTimedWaiters(1));
  events.resize(kEventQueueCap + 500, events[0]);
  reporter.QueueEvents(events);
  EXPECT_EQ(reporter.pending(), kEventQueueCap);
}

}  // namespace zev
