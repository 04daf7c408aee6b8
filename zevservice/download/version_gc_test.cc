#include "download/version_gc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/paths.h"
#include "testing/test_util.h"

namespace zev {
namespace {

GcVersion V(const std::string& component, const std::string& version) { return GcVersion("app", component, version); }

TEST(VersionGc, KeepsRecordedLoadedHeldAndTheNewestTwoOfEachComponent) {
  struct Case {
    const char* what;
    std::vector<GcVersion> found;
    GcKeep keep;
    std::vector<GcVersion> collected;
  };
  const std::vector<Case> cases = {
      {"two versions: both newest", {V("c", "1"), V("c", "2")}, {}, {}},
      {"by version, not by text: 1.10 is newer than 1.9",
       {V("c", "1.9"), V("c", "1.10"), V("c", "1.2")}, {}, {V("c", "1.2")}},
      {"per component", {V("c", "1"), V("c", "2"), V("c", "3"), V("d", "1")}, {}, {V("c", "1")}},
      {"recorded, loaded and held stay",
       {V("c", "1"), V("c", "2"), V("c", "3"), V("c", "4"), V("c", "5"), V("c", "6")},
       {{V("c", "1")}, {V("c", "2")}, {V("c", "3")}, 2},
       {V("c", "4")}},
      {"equal versions count once", {V("c", "1.2"), V("c", "1.02"), V("c", "1.1"), V("c", "1")}, {}, {V("c", "1")}},
      {"same component of another application", {V("c", "1"), GcVersion("other", "c", "1")}, {}, {}},
      {"newest 0: only what is kept otherwise", {V("c", "1"), V("c", "2")}, {{V("c", "1")}, {}, {}, 0},
       {V("c", "2")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(VersionsToCollect(c.found, c.keep), c.collected);
  }
}

// A real folder: the old version goes with its files, but nothing outside
// it, whatever its links point at.
TEST(VersionGc, RemovesOnlyTheOldVersionFoldersAndNeverFollowsLinks) {
  ScopedTempDir root, outside;
  const std::string comp = root.Sub("app/c");
  for (const char* v : {"1/x64/sub", "2/x64", "3/x64"}) ASSERT_TRUE(CreateDirectories(comp + "/" + v));
  ASSERT_TRUE(WriteFileAtomically(comp + "/1/x64/sub/big", std::string(1000, 'x'), false));
  ASSERT_TRUE(WriteFileAtomically(comp + "/1/x64/small", "12345", false));
  ASSERT_TRUE(WriteFileAtomically(outside.Sub("keep"), "outside", false));
  // A link inside the old version to a folder outside, and one posing as a
  // version folder.
  ASSERT_EQ(symlink(outside.path().c_str(), (comp + "/1/x64/link").c_str()), 0);
  ASSERT_EQ(symlink(outside.path().c_str(), (comp + "/0").c_str()), 0);
  ASSERT_TRUE(WriteFileAtomically(comp + "/3/x64/file", "new", false));

  GcResult dry = CollectVersions(root.path(), GcKeep(), /*dry_run=*/true);
  ASSERT_TRUE(dry.ok) << dry.error;
  ASSERT_EQ(dry.items.size(), 1u);
  EXPECT_EQ(dry.items[0].version, V("c", "1"));
  EXPECT_EQ(dry.bytes, 1005u);
  EXPECT_TRUE(DirectoryExists(comp + "/1"));

  GcResult done = CollectVersions(root.path(), GcKeep(), /*dry_run=*/false);
  ASSERT_TRUE(done.ok) << done.error;
  EXPECT_EQ(done.bytes, 1005u);
  EXPECT_FALSE(DirectoryExists(comp + "/1"));
  EXPECT_TRUE(FileExists(comp + "/3/x64/file"));
  EXPECT_TRUE(DirectoryExists(comp + "/2/x64"));
  std::string text;
  EXPECT_TRUE(ReadFileToString(outside.Sub("keep"), &text));
  EXPECT_EQ(text, "outside");
  // The link that posed as a version is no version and stays.
  EXPECT_TRUE(DirectoryExists(comp + "/0"));

  // A root that is itself a link is refused.
  ASSERT_EQ(symlink(root.path().c_str(), outside.Sub("root").c_str()), 0);
  EXPECT_FALSE(CollectVersions(outside.Sub("root"), GcKeep(), false).ok);
  std::string why;
  EXPECT_FALSE(RemoveVersionFolder(root.path(), V("..", "2"), &why));
  EXPECT_TRUE(DirectoryExists(comp + "/2/x64"));
}

}  // namespace
}  // namespace zev
