#include "platform/dir_watch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "platform/paths.h"
#include "testing/test_util.h"

namespace zev {

namespace {

// Collects changes until `done` holds or the time runs out.
std::vector<DirChange> Collect(DirectoryWatch* watch, const std::function<bool(const std::vector<DirChange>&)>& done) {
  std::vector<DirChange> all;
  for (int i = 0; i < 200 && !done(all); ++i) {
    WaitForAny({watch}, 50);
    watch->ReadChanges(&all);
  }
  return all;
}

bool Has(const std::vector<DirChange>& changes, int action, const std::string& path) {
  for (const DirChange& c : changes) {
    if (c.action == action && c.path == path) return true;
  }
  return false;
}

}  // namespace

TEST(DirectoryWatch, ReportsChangesThroughTheWholeSubtree) {
  ScopedTempDir tmp;
  ASSERT_TRUE(CreateDirectories(tmp.Sub("a")));
  std::string error;
  auto watch = DirectoryWatch::Open(tmp.path(), /*subtree=*/true, &error);
  ASSERT_NE(watch, nullptr) << error;

  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("a/pkg.tmp"), "x"));  // written beside, renamed into place
  ASSERT_TRUE(CreateDirectories(tmp.Sub("new/deeper")));
  std::vector<DirChange> changes = Collect(watch.get(), [](const std::vector<DirChange>& c) {
    return Has(c, kDirAdded, "new/deeper");
  });
  EXPECT_TRUE(Has(changes, kDirRenamedNew, "a/pkg.tmp")) << changes.size();
  EXPECT_TRUE(Has(changes, kDirAdded, "new"));
  EXPECT_TRUE(Has(changes, kDirAdded, "new/deeper"));

  // A directory that appeared is watched too; a move pairs its two halves.
  FILE* f = fopen(tmp.Sub("new/deeper/components.7z").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("data", f);
  fclose(f);
  ASSERT_EQ(rename(tmp.Sub("new/deeper/components.7z").c_str(), tmp.Sub("new/deeper/moved.7z").c_str()), 0);
  ASSERT_EQ(unlink(tmp.Sub("new/deeper/moved.7z").c_str()), 0);
  changes = Collect(watch.get(), [](const std::vector<DirChange>& c) { return Has(c, kDirRemoved, "new/deeper/moved.7z"); });
  EXPECT_TRUE(Has(changes, kDirAdded, "new/deeper/components.7z"));
  EXPECT_TRUE(Has(changes, kDirModified, "new/deeper/components.7z"));
  uint32_t from = 0, to = 1;
  for (const DirChange& c : changes) {
    if (c.action == kDirRenamedOld) from = c.cookie;
    if (c.action == kDirRenamedNew) to = c.cookie;
  }
  EXPECT_EQ(from, to);
  EXPECT_NE(from, 0u);
}

TEST(DirectoryWatch, RefusesAMissingDirectory) {
  std::string error;
  EXPECT_EQ(DirectoryWatch::Open("/no/such/dir", true, &error), nullptr);
  EXPECT_EQ(error, "Could not open: /no/such/dir");
}

}  // namespace zev
