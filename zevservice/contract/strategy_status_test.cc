#include "contract/strategy_status.h"

#include <gtest/gtest.h>

#include <string>

#include "contract/bind_address.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "testing/test_util.h"

namespace zev {

namespace {

TEST(StrategyStatusRecord, SettingsClampAndTheRecordReadsAndTellsAStall) {
  EXPECT_EQ(ParseSetting("10", 300, 30, 300), 30);
  EXPECT_EQ(ParseSetting("45", 300, 30, 300), 45);
  EXPECT_EQ(ParseSetting("301", 300, 30, 300), 300);
  EXPECT_EQ(ParseSetting("", 300, 30, 300), 300);
  EXPECT_EQ(ParseSetting("4x", 300, 30, 300), 300);
  EXPECT_EQ(ParseSetting("-5", 300, 30, 300), 300);
  EXPECT_EQ(ParseSetting("60", 10800, 120, 10800), 120);
  EXPECT_EQ(ParseSetting("99999", 10800, 120, 10800), 10800);
  EXPECT_EQ(ParseSetting("99999999999999999999999", 10800, 120, 10800), 10800);
  EXPECT_EQ(ParseSetting("000000000000000000000200", 10800, 120, 10800), 200);

  StrategyStatus status;
  status.time_ms = 5;
  status.result = "stored copy";
  status.error = "get components from server http return error:-1";
  status.listed = 3;
  status.installed = 2;
  status.failed = 1;
  // The bytes every reader reads; a later version's members are skipped.
  const std::string today =
      "{\"error\":\"get components from server http return error:-1\",\"failed\":1,\"installed\":2,"
      "\"listed\":3,\"next_pass\":0,\"result\":\"stored copy\",\"time\":5}";
  EXPECT_EQ(FormatStrategyStatus(status), today);
  StrategyStatus back;
  ASSERT_TRUE(ParseStrategyStatus(today, &back));
  EXPECT_EQ(FormatStrategyStatus(back), today);
  ASSERT_TRUE(ParseStrategyStatus("{\"time\":7,\"passes\":12,\"result\":\"server\",\"next\":{\"why\":[1]}}", &back));
  EXPECT_EQ(back.time_ms, 7);
  EXPECT_EQ(back.result, "server");
  EXPECT_EQ(back.listed, 0);
  EXPECT_FALSE(ParseStrategyStatus("not json", &back));
  EXPECT_FALSE(ParseStrategyStatus("{\"time\":\"soon\"}", &back));
  EXPECT_FALSE(ParseStrategyStatus("{\"result\":[1]}", &back));

  // Stuck or gone: no pass for two intervals (I = 1000 ms here).
  struct {
    int64_t time_ms, next_pass_ms, now_ms;
    bool stalled;
  } const stalls[] = {
      {0, 0, 1'000'000, false},    // no pass yet, none due
      {100, 600, 1600, false},     // due at 600, an interval's grace
      {100, 600, 1601, true},      // a due pass never came
      {100, 0, 2100, false},       // a pass under way, two intervals' grace
      {100, 0, 2101, true},        // a pass that never ends
  };
  for (const auto& c : stalls) {
    StrategyStatus record;
    record.time_ms = c.time_ms;
    record.next_pass_ms = c.next_pass_ms;
    EXPECT_EQ(StrategyStalled(record, 1000, c.now_ms), c.stalled) << c.time_ms << " " << c.next_pass_ms << " " << c.now_ms;
  }
}

// A rollback stays in the record when a later pass writes its own.
TEST(StrategyStatusRecord, ARollbackOutlivesTheNextPass) {
  ScopedTempDir dir;
  RegistryStore store(dir.path());
  ASSERT_TRUE(RecordRollback(&store, "app comp 2 failed: rolled back to 1", 9));
  StrategyStatus pass;
  pass.time_ms = 10;
  pass.result = "server";
  ASSERT_TRUE(WriteStrategyStatus(&store, pass));
  StrategyStatus read;
  ASSERT_TRUE(ReadStrategyStatus(&store, &read));
  EXPECT_EQ(read.time_ms, 10);
  EXPECT_EQ(read.rollback_time_ms, 9);
  EXPECT_EQ(read.rollback, "app comp 2 failed: rolled back to 1");
}

// The key's default value wins; without it the older named value counts.
TEST(ReadHttpBindAddress, ReadsTheKeyElseTheOlderNamedValue) {
  struct Case {
    const char* key;    // default value of kBindAddressSettingKey; null for none
    const char* named;  // value kBindAddressValueName of kServiceRegistryKey; null for none
    const char* address;
    const char* unrecognised;
  };
  const Case cases[] = {
      {nullptr, nullptr, "0.0.0.0", ""},         {"127.0.0.1", nullptr, "127.0.0.1", ""},
      {nullptr, " localhost", "127.0.0.1", ""},  {"0.0.0.0", "127.0.0.1", "0.0.0.0", ""},
      {"", "127.0.0.1", "0.0.0.0", ""},          {"localhost", "10.1.2.3", "127.0.0.1", ""},
      {nullptr, "10.1.2.3", "0.0.0.0", "10.1.2.3"},
  };
  for (const Case& c : cases) {
    ScopedTempDir dir;
    RegistryStore store(dir.path());
    if (c.key != nullptr) {
      ASSERT_TRUE(store.WriteString(RegRoot::kLocalMachine, kBindAddressSettingKey, "", c.key));
    }
    if (c.named != nullptr) {
      ASSERT_TRUE(store.WriteString(RegRoot::kLocalMachine, kServiceRegistryKey, kBindAddressValueName, c.named));
    }
    std::string unrecognised = "left from before";
    EXPECT_EQ(ReadHttpBindAddress(&store, &unrecognised), c.address)
        << (c.key ? c.key : "-") << " / " << (c.named ? c.named : "-");
    EXPECT_EQ(unrecognised, c.unrecognised);
  }
}

}  // namespace

}  // namespace zev
