#include "platform/registry.h"

#include <gtest/gtest.h>

#include <thread>

#include "testing/test_util.h"

namespace zev {

namespace {
const char kPortKey[] = "CLSID\\{B3B39D20-92D3-4902-8C96-A571D56D2D94}\\Port";
}

TEST(Registry, WriteThenReadGivesTheSameTextAndKeysIgnoreCase) {
  ScopedCommonDataDir common;
  std::string value;
  EXPECT_FALSE(RegReadString(RegRoot::kClassesRoot, kPortKey, "zevservicePort", &value));
  ASSERT_TRUE(RegWriteString(RegRoot::kClassesRoot, kPortKey, "zevservicePort", "61024"));
  ASSERT_TRUE(RegReadString(RegRoot::kClassesRoot, "clsid\\{b3b39d20-92d3-4902-8c96-a571d56d2d94}\\PORT\\",
                            "ZEVSERVICEPORT", &value));
  EXPECT_EQ(value, "61024");
  EXPECT_FALSE(RegReadString(RegRoot::kLocalMachine, kPortKey, "zevservicePort", &value));

  ASSERT_TRUE(RegWriteString(RegRoot::kClassesRoot, kPortKey, "zevservicePort", "61025 \xE4\xB8\xAD"));
  ASSERT_TRUE(RegReadString(RegRoot::kClassesRoot, kPortKey, "zevservicePort", &value));
  EXPECT_EQ(value, "61025 \xE4\xB8\xAD");

  ASSERT_TRUE(RegWriteString(RegRoot::kClassesRoot, kPortKey, "", "default"));
  ASSERT_TRUE(RegReadString(RegRoot::kClassesRoot, kPortKey, "", &value));
  EXPECT_EQ(value, "default");
  EXPECT_FALSE(RegWriteString(RegRoot::kClassesRoot, kPortKey, "bad", "\xFF\xFE"));
}

TEST(Registry, The32BitViewRedirectsSoftwareAndClsid) {
  ScopedCommonDataDir common;
  EXPECT_EQ(RegResolveKey(RegRoot::kLocalMachine, "Software\\Classes\\X", RegView::kWow64_32),
            "Software\\WOW6432Node\\Classes\\X");
  EXPECT_EQ(RegResolveKey(RegRoot::kLocalMachine, "SOFTWARE\\WOW6432Node\\X", RegView::kWow64_32),
            "SOFTWARE\\WOW6432Node\\X");
  EXPECT_EQ(RegResolveKey(RegRoot::kLocalMachine, "SYSTEM\\X", RegView::kWow64_32), "SYSTEM\\X");
  EXPECT_EQ(RegResolveKey(RegRoot::kClassesRoot, kPortKey, RegView::kWow64_32),
            std::string("WOW6432Node\\") + kPortKey);

  ASSERT_TRUE(RegWriteString(RegRoot::kClassesRoot, kPortKey, "zevservicePort", "32", RegView::kWow64_32));
  std::string value;
  EXPECT_FALSE(RegReadString(RegRoot::kClassesRoot, kPortKey, "zevservicePort", &value));
  ASSERT_TRUE(RegReadString(RegRoot::kClassesRoot, std::string("WOW6432Node\\") + kPortKey,
                            "zevservicePort", &value));
  EXPECT_EQ(value, "32");
}

TEST(Registry, ReadRefusesValuesOverTheLimit) {
  ScopedCommonDataDir common;
  std::string at_limit(kRegReadLimitUnits, 'a');
  std::string over = at_limit + "a";
  // Four-byte characters count as two UTF-16 units.
  std::string wide_over = std::string(kRegReadLimitUnits - 1, 'a') + "\xF0\x9F\x98\x80";
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, "Software\\T", "at", at_limit));
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, "Software\\T", "over", over));
  ASSERT_TRUE(RegWriteString(RegRoot::kLocalMachine, "Software\\T", "wide", wide_over));
  std::string value;
  EXPECT_TRUE(RegReadString(RegRoot::kLocalMachine, "Software\\T", "at", &value));
  EXPECT_EQ(value.size(), kRegReadLimitUnits);
  value = "unchanged";
  EXPECT_FALSE(RegReadString(RegRoot::kLocalMachine, "Software\\T", "over", &value));
  EXPECT_EQ(value, "unchanged");
  EXPECT_FALSE(RegReadString(RegRoot::kLocalMachine, "Software\\T", "wide", &value));
}

TEST(Registry, DeleteAndListWorkOnWholeSubtrees) {
  ScopedCommonDataDir common;
  const RegRoot lm = RegRoot::kLocalMachine;
  ASSERT_TRUE(RegWriteString(lm, "Software\\A", "x", "1"));
  ASSERT_TRUE(RegWriteString(lm, "Software\\A\\B", "y", "2"));
  ASSERT_TRUE(RegWriteString(lm, "Software\\A_C", "z", "3"));  // "_" is no wildcard
  ASSERT_TRUE(RegWriteString(lm, "Software\\AB", "w", "4"));   // a sibling, not a child

  std::vector<RegEntry> entries;
  ASSERT_TRUE(RegList(lm, "software\\a", &entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].key, "Software\\A");
  EXPECT_EQ(entries[1].key, "Software\\A\\B");

  EXPECT_TRUE(RegDeleteValue(lm, "Software\\A", "X"));
  EXPECT_FALSE(RegDeleteValue(lm, "Software\\A", "X"));
  EXPECT_TRUE(RegDeleteTree(lm, "Software\\A"));
  ASSERT_TRUE(RegList(lm, "", &entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].key, "Software\\A_C");
  EXPECT_EQ(entries[1].key, "Software\\AB");
}

TEST(Registry, ConcurrentWritersNeverLoseAValue) {
  ScopedCommonDataDir common;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 25; ++i) {
        RegWriteString(RegRoot::kLocalMachine, "Software\\T" + std::to_string(t), std::to_string(i),
                       std::to_string(t * 100 + i));
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<RegEntry> entries;
  ASSERT_TRUE(RegList(RegRoot::kLocalMachine, "Software", &entries));
  EXPECT_EQ(entries.size(), 100u);
}

// zevctl and the service's log must tell an administrator the real reason
// (a full disk, a damaged file), not a guess.
TEST(Registry, AFailedOperationSaysWhyTheStoreRefusedIt) {
  ScopedCommonDataDir common;
  RegistryStore store(common.path());
  store.SetPageLimitForTesting(1);  // no room for even the first table
  EXPECT_FALSE(store.WriteString(RegRoot::kClassesRoot, kPortKey, "zevservicePort", "61024"));
  EXPECT_EQ(RegLastError(), "database or disk is full");

  // Once there is room again the same store takes the write.
  store.SetPageLimitForTesting(0);
  ASSERT_TRUE(store.WriteString(RegRoot::kClassesRoot, kPortKey, "zevservicePort", "61024"));
  EXPECT_EQ(RegLastError(), "");

  // Full again: a value that needs new pages is refused, what is there stays readable.
  store.SetPageLimitForTesting(1);
  EXPECT_FALSE(store.WriteString(RegRoot::kLocalMachine, "Software\\T", "big", std::string(65536, 'x')));
  EXPECT_EQ(RegLastError(), "database or disk is full");
  std::string value;
  ASSERT_TRUE(store.ReadString(RegRoot::kClassesRoot, kPortKey, "zevservicePort", &value));
  EXPECT_EQ(value, "61024");
  EXPECT_EQ(RegLastError(), "");
  EXPECT_FALSE(store.ReadString(RegRoot::kLocalMachine, "Software\\T", "big", &value));
  EXPECT_EQ(RegLastError(), "the value does not exist");

  // Text the store never sees is refused for what it is.
  EXPECT_FALSE(RegWriteString(RegRoot::kClassesRoot, kPortKey, "bad", "\xFF\xFE"));
  EXPECT_EQ(RegLastError(), "the text is not valid UTF-8");

  // The text belongs to the thread whose operation failed.
  std::thread other([] { EXPECT_FALSE(RegWriteString(RegRoot::kClassesRoot, "", "x", "1")); });
  other.join();
  EXPECT_EQ(RegLastError(), "the text is not valid UTF-8");

  ScopedTempDir damaged;
  ASSERT_TRUE(WriteFileAtomically(damaged.Sub("registry.db"), std::string(4096, 'j')));
  RegistryStore broken(damaged.path());
  EXPECT_FALSE(broken.WriteString(RegRoot::kClassesRoot, kPortKey, "zevservicePort", "61024"));
  EXPECT_EQ(RegLastError(), "file is not a database");
}

}  // namespace zev
