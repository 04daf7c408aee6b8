#include "model/component_proxy.h"

#include <gtest/gtest.h>

#include "platform/digest.h"
#include "platform/paths.h"
#include "testing/test_util.h"

namespace zev {

namespace {

CZEVComponentProxy MakeEntry(const std::string& root) {
  CZEVComponentProxy entry(cstProductBuildIn);
  entry.SetAppCode("app");
  entry.SetComponentID("comp");
  entry.SetInstallRoot(root);
  CZEVVersion* v = entry.mutable_component()->mutable_versions()->add_version();
  v->set_version("1.2.3");
  v->set_archtype(atx86);
  return entry;
}

CZEVResource* AddResource(CZEVComponentProxy* entry, const std::string& name, const std::string& directory,
                          const std::string& hash) {
  CZEVResource* r =
      entry->mutable_component()->mutable_versions()->mutable_version(0)->mutable_manifest()->mutable_resources()->add_resource();
  r->set_name(name);
  r->set_directory(directory);
  r->set_hash(hash);
  return r;
}

}  // namespace

TEST(ComponentProxy, AnEntryWithoutVersionAnswersDefaults) {
  CZEVComponentProxy entry;
  EXPECT_EQ(entry.GetVersion(), "");
  EXPECT_EQ(entry.GetArchName(), "atNone");
  EXPECT_EQ(entry.GetBits(), 0);
  EXPECT_EQ(entry.GetUpdateTime(), 0);
  CZEVManifest manifest;
  manifest.set_entrypoint("untouched");
  EXPECT_FALSE(entry.GetManifest(&manifest));
  EXPECT_EQ(manifest.entrypoint(), "untouched");
  std::string error;
  EXPECT_EQ(entry.CheckInstalledFiles(&error), -4);
  EXPECT_EQ(error, "spath manifest error");
  EXPECT_EQ(entry.GetSourceType(), 0);
}

TEST(ComponentProxy, InstallDirAndFields) {
  CZEVComponentProxy entry = MakeEntry("\"/opt/zev download\"");
  EXPECT_EQ(entry.GetInstallRoot(), "/opt/zev download");
  EXPECT_EQ(entry.GetInstallDir(), "/opt/zev download/app/comp/1.2.3/x86");
  EXPECT_EQ(entry.GetBits(), 32);
  EXPECT_EQ(entry.GetSourceType(), cstProductBuildIn);
  CZEVComponentProxy copy = entry;
  EXPECT_EQ(copy, entry);
  copy.SetUpdateFlag(true);
  EXPECT_NE(copy, entry);
}

TEST(ComponentProxy, CheckInstalledFilesFindsEachKindOfFault) {
  ScopedTempDir tmp;
  CZEVComponentProxy entry = MakeEntry(tmp.path());
  const std::string dir = entry.GetInstallDir();
  ASSERT_TRUE(CreateDirectories(dir + "/bin"));
  ASSERT_TRUE(WriteFileAtomically(dir + "/bin/lib.dll", "library"));
  ASSERT_TRUE(WriteFileAtomically(dir + "/main", "main"));
  const std::string lib_hash = Sha256Hex("library", 7);
  AddResource(&entry, "lib.dll.zip", "bin\\", lib_hash);
  AddResource(&entry, "main.7z", "", Sha256Hex("main", 4));
  std::string error = "kept";
  EXPECT_EQ(entry.CheckInstalledFiles(&error), 0);
  EXPECT_EQ(error, "kept");

  CZEVComponentProxy upper = entry;
  std::string upper_hash = lib_hash;
  for (char& c : upper_hash) c = static_cast<char>(toupper(c));
  upper.mutable_component()->mutable_versions()->mutable_version(0)->mutable_manifest()->mutable_resources()->mutable_resource(0)->set_hash(upper_hash);
  EXPECT_EQ(upper.CheckInstalledFiles(&error), -3);
  EXPECT_EQ(error, dir + "/bin/lib.dll hash check error: deshash:" + upper_hash);

  CZEVComponentProxy empty_hash = MakeEntry(tmp.path());
  AddResource(&empty_hash, "main.7z", "", "");
  EXPECT_EQ(empty_hash.CheckInstalledFiles(&error), -3);

  CZEVComponentProxy missing = MakeEntry(tmp.path());
  AddResource(&missing, "gone.dll.zip", "bin/sub", lib_hash);
  EXPECT_EQ(missing.CheckInstalledFiles(&error), -2);
  EXPECT_EQ(error, dir + "/bin/sub/gone.dll is not exists");

  CZEVComponentProxy folder = MakeEntry(tmp.path());
  AddResource(&folder, "bin.zip", "", lib_hash);  // "bin" is a folder
  EXPECT_EQ(folder.CheckInstalledFiles(&error), -2);

  CZEVComponentProxy bad_name = MakeEntry(tmp.path());
  AddResource(&bad_name, "a.zip", "", lib_hash);
  AddResource(&bad_name, "main.7z", "", Sha256Hex("main", 4));
  EXPECT_EQ(bad_name.CheckInstalledFiles(&error), -1);  // the first failing resource decides
  EXPECT_EQ(error, dir + "/a.zipformat error");
}

}  // namespace zev
