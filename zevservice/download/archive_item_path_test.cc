#include "download/archive_item_path.h"

#include <gtest/gtest.h>

#include "download/archive_engine.h"

namespace zev {

namespace {

std::vector<std::string> Split(const std::string& name) {
  std::vector<std::string> parts;
  EXPECT_TRUE(SplitArchiveItemPath(name, &parts)) << name;
  return parts;
}

}  // namespace

TEST(ArchiveItemPath, SplitsAtBothSeparatorsAndDropsEmptyAndDotParts) {
  EXPECT_EQ(Split("a/b/c.txt"), (std::vector<std::string>{"a", "b", "c.txt"}));
  EXPECT_EQ(Split("bin\\x64\\host"), (std::vector<std::string>{"bin", "x64", "host"}));
  EXPECT_EQ(Split("a//./b/"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Split("a b \xc3\xa9.txt"), (std::vector<std::string>{"a b \xc3\xa9.txt"}));
  EXPECT_EQ(Split("..a/b..").size(), 2u);
}

TEST(ArchiveItemPath, RefusesNamesThatLeaveTheFolderOrNameNothing) {
  std::vector<std::string> parts;
  for (const char* name : {"../x", "/abs", "a/../../x", "C:\\x", "c:x", "a\\..\\..\\x", "\\x", "..", "a/..",
                           "", ".", "./", "//"}) {
    EXPECT_FALSE(SplitArchiveItemPath(name, &parts)) << name;
  }
  EXPECT_FALSE(SplitArchiveItemPath(std::string("a\0b", 3), &parts));
}

TEST(ArchiveItemPath, LinkTargetsMustBeRelativeWithoutParentSteps) {
  EXPECT_TRUE(IsSafeLinkTarget("lib.so.1"));
  EXPECT_TRUE(IsSafeLinkTarget("sub/dir/file"));
  EXPECT_FALSE(IsSafeLinkTarget("/etc/passwd"));
  EXPECT_FALSE(IsSafeLinkTarget("../x"));
  EXPECT_FALSE(IsSafeLinkTarget("a/../../x"));
  EXPECT_FALSE(IsSafeLinkTarget("a\\..\\x"));
  EXPECT_FALSE(IsSafeLinkTarget("D:\\x"));
  EXPECT_FALSE(IsSafeLinkTarget(""));
}

TEST(ArchiveItemPath, SizesAddWithSaturation) {
  const unsigned long long half = 1ULL << 63;
  EXPECT_EQ(SaturatingAdd(half, half), ~0ULL);
  EXPECT_EQ(SaturatingAdd(~0ULL, 1), ~0ULL);
  EXPECT_EQ(SaturatingAdd(2, 3), 5u);
}

TEST(ArchiveItemPath, FileModesLoseSetIdAndGroupOtherWrite) {
  EXPECT_EQ(FileModeFor(0100755, true, "", 0), 0755u);
  EXPECT_EQ(FileModeFor(0100666, true, "", 0), 0644u);
  EXPECT_EQ(FileModeFor(0104777, true, "", 0), 0755u);
  EXPECT_EQ(FileModeFor(0100600, true, "#!", 2), 0600u);
  // Without a Unix mode the content decides.
  EXPECT_EQ(FileModeFor(0100666, false, "\x7f" "ELF", 4), 0755u);
  EXPECT_EQ(FileModeFor(0100666, false, "#!/b", 4), 0755u);
  EXPECT_EQ(FileModeFor(0100666, false, "text", 4), 0644u);
  EXPECT_EQ(FileModeFor(0100444, false, "#", 1), 0644u);
  EXPECT_EQ(ItemResultText(3), "CRC Failed");
  EXPECT_EQ(ItemResultText(8), "Headers Error");
  EXPECT_EQ(ItemResultText(42), "Error #42");
}

}  // namespace zev
