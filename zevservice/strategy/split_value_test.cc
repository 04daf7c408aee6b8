#include "strategy/split_value.h"

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace zev {

namespace {

const char kKey[] = "Software\\Classes\\CLSID\\{test}\\Local";
const RegRoot kRoot = RegRoot::kLocalMachine;

// Every value at or below kKey as "<subkey below kKey>:<name>", in the
// store's order ("" for the default value of kKey itself).
std::vector<std::string> Values(RegistryStore* store) {
  std::vector<RegEntry> entries;
  EXPECT_TRUE(store->List(kRoot, kKey, &entries));
  std::vector<std::string> out;
  for (const RegEntry& e : entries) {
    std::string below = e.key.substr(std::string(kKey).size());
    out.push_back(below.empty() && e.name.empty() ? "" : below + ":" + e.name);
  }
  return out;
}

std::string Stored(RegistryStore* store, const std::string& key, const std::string& name = "") {
  std::string text;
  return store->ReadString(kRoot, key, name, &text) ? text : "<none>";
}

}  // namespace

TEST(SplitRegistryValue, KeepsShortTextsAsTheValueItselfAndSplitsLongOnesInTurns) {
  ScopedCommonDataDir common;
  RegistryStore store(common.path());
  SplitRegistryValue value(&store, kRoot, kKey, 10);
  std::string text;
  EXPECT_FALSE(value.Read(&text));

  ASSERT_TRUE(value.Write("0123456789"));
  EXPECT_EQ(Stored(&store, kKey), "0123456789");
  EXPECT_EQ(Values(&store), std::vector<std::string>{""});

  const std::string long_text = "abcdefghijklmnopqrstuvwxyz";
  ASSERT_TRUE(value.Write(long_text));
  EXPECT_EQ(Stored(&store, kKey), "#parts 1 3 26");
  EXPECT_EQ(Stored(&store, value.SlotKey(1), "0"), "abcdefghij");
  EXPECT_EQ(Stored(&store, value.SlotKey(1), "2"), "uvwxyz");
  SplitRegistryValue reader(&store, kRoot, kKey, 10);
  ASSERT_TRUE(reader.Read(&text));
  EXPECT_EQ(text, long_text);

  // The next text goes to the other slot, and the first is emptied.
  ASSERT_TRUE(value.Write(long_text.substr(0, 15)));
  EXPECT_EQ(Values(&store), (std::vector<std::string>{"", "\\parts\\2:0", "\\parts\\2:1"}));
  ASSERT_TRUE(value.Write(long_text));
  EXPECT_EQ(Stored(&store, kKey), "#parts 1 3 26");
  EXPECT_EQ(Values(&store).size(), 4u);
  ASSERT_TRUE(value.Write("short"));
  EXPECT_EQ(Values(&store), std::vector<std::string>{""});
  ASSERT_TRUE(reader.Read(&text));
  EXPECT_EQ(text, "short");
}

TEST(SplitRegistryValue, RoundTripsTextsThatLookLikeItsOwnFormat) {
  ScopedCommonDataDir common;
  RegistryStore store(common.path());
  SplitRegistryValue value(&store, kRoot, kKey, 64);
  std::string text;
  for (std::string sample : {"#parts 1 1 3", "#parts ", "", "#part"}) {
    ASSERT_TRUE(value.Write(sample));
    ASSERT_TRUE(value.Read(&text));
    EXPECT_EQ(text, sample);
  }
  // Parts never cut a character: every part is valid UTF-8 on its own.
  std::string wide;
  for (int i = 0; i < 40; ++i) wide += "\xE4\xB8\xAD\xF0\x9F\x98\x80";
  SplitRegistryValue narrow(&store, kRoot, kKey, 5);
  ASSERT_TRUE(narrow.Write(wide));
  ASSERT_TRUE(narrow.Read(&text));
  EXPECT_EQ(text, wide);
}

TEST(SplitRegistryValue, ADamagedOrIncompleteValueReadsAsUnreadable) {
  ScopedCommonDataDir common;
  RegistryStore store(common.path());
  SplitRegistryValue value(&store, kRoot, kKey, 4);
  ASSERT_TRUE(value.Write("abcdefghij"));
  std::string text = "untouched";

  ASSERT_TRUE(store.DeleteValue(kRoot, value.SlotKey(1), "1"));
  EXPECT_FALSE(value.Read(&text));
  EXPECT_NE(value.last_error().find("missing"), std::string::npos);

  ASSERT_TRUE(store.WriteString(kRoot, value.SlotKey(1), "1", "efgh+"));
  EXPECT_FALSE(value.Read(&text));  // longer than the marker says

  for (std::string marker : {"#parts x 1 1", "#parts 3 1 1", "#parts 1 0 0", "#parts 1 99999999 3",
                             "#parts 1 3 10 junk"}) {
    ASSERT_TRUE(store.WriteString(kRoot, kKey, "", marker));
    EXPECT_FALSE(value.Read(&text)) << marker;
  }
  EXPECT_EQ(text, "untouched");
}

TEST(SplitRegistryValue, AFailedWriteLeavesTheOldTextWhole) {
  ScopedCommonDataDir common;
  RegistryStore store(common.path());
  SplitRegistryValue value(&store, kRoot, kKey, 4096);
  const std::string old_text(20000, 'o');
  ASSERT_TRUE(value.Write(old_text));

  store.SetPageLimitForTesting(1);  // no room for any new page
  EXPECT_FALSE(value.Write(std::string(40000, 'n')));
  EXPECT_EQ(value.last_error(), "database or disk is full");
  store.SetPageLimitForTesting(0);

  std::string text;
  ASSERT_TRUE(value.Read(&text));
  EXPECT_EQ(text, old_text);
  ASSERT_TRUE(value.Write("done"));
  EXPECT_EQ(Values(&store), std::vector<std::string>{""});  // the old parts and any new ones are gone
}

// A writer killed while writing parts, or between its commit and its
// clean-up, leaves parts behind; the next process must neither read them
// nor keep them.
TEST(SplitRegistryValue, ANewWriterRemovesPartsAnEarlierProcessLeft) {
  ScopedCommonDataDir common;
  RegistryStore store(common.path());
  {
    SplitRegistryValue first(&store, kRoot, kKey, 4);
    ASSERT_TRUE(first.Write("abcdefgh"));  // in slot 1
  }
  SplitRegistryValue probe(&store, kRoot, kKey, 4);
  for (const char* name : {"0", "1", "2", "7"}) {  // an attempt that never committed
    ASSERT_TRUE(store.WriteString(kRoot, probe.SlotKey(2), name, "stray"));
  }

  SplitRegistryValue second(&store, kRoot, kKey, 4);
  ASSERT_TRUE(second.Write("ijklmnop"));
  EXPECT_EQ(Stored(&store, kKey), "#parts 2 2 8");
  EXPECT_EQ(Values(&store), (std::vector<std::string>{"", "\\parts\\2:0", "\\parts\\2:1"}));
  std::string text;
  ASSERT_TRUE(probe.Read(&text));
  EXPECT_EQ(text, "ijklmnop");

  // Parts left beside a short value go with the next write.
  ASSERT_TRUE(store.WriteString(kRoot, kKey, "", "plain"));
  SplitRegistryValue third(&store, kRoot, kKey, 4);
  ASSERT_TRUE(third.Write("tiny"));
  EXPECT_EQ(Values(&store), std::vector<std::string>{""});
}

}  // namespace zev
