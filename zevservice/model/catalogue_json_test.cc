#include "model/catalogue_json.h"

#include <gtest/gtest.h>

#include "model/catalogue.h"
#include "platform/paths.h"
#include "testing/test_util.h"

namespace zev {

namespace {

// One application with one component whose manifest is `manifest`.
std::string App(const std::string& manifest, const std::string& version_extra = "",
                const std::string& app_extra = ",\"description\":\"d\"") {
  return "{\"code\":\"app\",\"name\":\"App\"" + app_extra +
         ",\"components\":[{\"libraryId\":\"comp\",\"name\":\"Comp\",\"description\":\"cd\","
         "\"version\":{\"version\":\"1.2.3\",\"arch\":5,\"platform\":1" +
         version_extra + ",\"description\":\"vd\",\"manifest\":" + manifest + "}}]}";
}

const char kRes[] = "[{\"name\":\"lib.so.7z\",\"path\":\"http://h/lib.7z\",\"size\":10,\"hash\":\"zh\","
                    "\"fileType\":1,\"directory\":\"bin\\\\x64\",\"originalSize\":20,\"originalHash\":\"oh\"}]";

// An application whose version's "arch" holds a text.
std::string ArchText() {
  std::string app = App("{\"resources\":[]}");
  app.replace(app.find("\"arch\":5"), 8, "\"arch\":\"x\"");
  return app;
}

constexpr char kDownloadDir[] = "/var/lib/zev/Varnel/ZEV/download";

CZEVApplications Server(const std::string& json, bool expect_ok = true) {
  CZEVApplications apps;
  EXPECT_EQ(ReadServerCatalogue(json, kDownloadDir, &apps), expect_ok) << json;
  return apps;
}

}  // namespace

TEST(CatalogueJson, VariantsFollowTheResourceListsAndLoadMode) {
  auto count = [](const CZEVApplications& apps) { return apps.application(0).components().component_size(); };
  EXPECT_EQ(count(Server("[" + App("{\"loadMode\":2,\"resources32\":" + std::string(kRes) + "}") + "]")), 0);

  CZEVApplications x86 = Server("[" + App("{\"loadMode\":1,\"resources32\":" + std::string(kRes) + "}") + "]");
  ASSERT_EQ(count(x86), 1);
  EXPECT_EQ(x86.application(0).components().component(0).versions().version(0).archtype(), atx86);

  CZEVApplications both = Server("[" + App("{\"loadMode\":1,\"resources\":" + std::string(kRes) +
                                           ",\"resources32\":[]}") + "]");
  ASSERT_EQ(count(both), 2);
  const CZEVVersion& first = both.application(0).components().component(0).versions().version(0);
  EXPECT_EQ(first.archtype(), atx64);  // "arch" 5 is replaced
  EXPECT_EQ(first.manifest().resources().resource_size(), 1);
  EXPECT_EQ(both.application(0).components().component(1).versions().version(0).archtype(), atx86);
  EXPECT_EQ(both.application(0).components().component(1).versions().version(0).manifest().resources().resource_size(), 0);

  CZEVApplications empty = Server("[" + App("{\"resources\":[]}") + "]");
  ASSERT_EQ(count(empty), 1);
  EXPECT_EQ(empty.application(0).components().component(0).versions().version(0).manifest().resources().resource_size(), 0);
  EXPECT_EQ(count(Server("[" + App("{\"resources\":null}") + "]")), 0);
  EXPECT_EQ(count(Server("[" + App("null") + "]")), 0);  // no manifest: no version
}

TEST(CatalogueJson, FieldsAndReadingRules) {
  std::string manifest = "{\"runtime\":3,\"downloadDir\":\"C:\",\"entryPoint\":\"main.so\",\"loadMode\":2,"
                         "\"runMode\":3,\"updateTime\":1700000000000,\"execParams\":{\"pgroup\":\"g\",\"pname\":\"p\","
                         "\"extendedParams\":\"-x\",\"portRange\":\"1-2\",\"triggerTime\":5,\"interval\":true,"
                         "\"expiredTime\":0},\"depends\":[{\"appCode\":\"a\",\"libraryId\":\"l\","
                         "\"componentVersion\":2}],\"resources\":" + std::string(kRes) + "}";
  CZEVApplications apps = Server("[" + App(manifest) + "]");
  const CZEVApplication& app = apps.application(0);
  EXPECT_EQ(app.code(), "app");
  EXPECT_EQ(app.decription(), "d");
  const CZEVComponent& c = app.components().component(0);
  EXPECT_EQ(c.componentid(), "comp");
  const CZEVVersion& v = c.versions().version(0);
  EXPECT_EQ(v.version(), "1.2.3");
  EXPECT_EQ(v.platformtype(), ptWindows);
  const CZEVManifest& m = v.manifest();
  EXPECT_EQ(m.downloaddir(), kDownloadDir);  // shorter than 4 characters
  EXPECT_EQ(m.runtimetype(), 0);
  EXPECT_EQ(m.runmode(), btApplicaiton);
  EXPECT_EQ(m.updatetime(), 1700000000000);
  EXPECT_EQ(m.sourcetype(), cstServerStrategy);
  EXPECT_EQ(m.params().interval(), 1);  // a boolean in an integer key
  EXPECT_EQ(m.params().expiredtime(), kDefaultExpiredTimeMs);
  EXPECT_EQ(m.depends().depend(0).version(), "2");  // a number in a text key
  const CZEVResource& r = m.resources().resource(0);
  EXPECT_EQ(r.zupsize(), 10);
  EXPECT_EQ(r.zuphash(), "zh");
  EXPECT_EQ(r.size(), 20);
  EXPECT_EQ(r.hash(), "oh");
  EXPECT_EQ(r.directory(), "bin/x64/");

  // A positive expiredTime is kept.
  std::string later = manifest;
  later.replace(later.find("\"expiredTime\":0"), 15, "\"expiredTime\":9000000000000");
  EXPECT_EQ(Server("[" + App(later) + "]").application(0).components().component(0).versions().version(0)
                .manifest().params().expiredtime(),
            9000000000000);
}

TEST(CatalogueJson, FormatErrorsEndTheWholeDocument) {
  CZEVApplications apps;
  apps.add_application()->set_code("kept");
  for (const std::string& bad : {
           "[" + App("{\"resources\":[]}") + "," + ArchText() + "]",
           "[" + App("{\"loadMode\":[1],\"resources\":[]}") + "]",
           "[" + App("{\"resources\":{\"a\":1}}") + "]",
           "[" + App("{\"updateTime\":1e300,\"resources\":[]}") + "]",
           "[" + App("{\"loadMode\":4294967296,\"resources\":[]}") + "]",
           std::string("{\"a\":1}"),
           std::string("[1,2"),
           std::string("/* c */ []"),
           std::string("\"text\""),
           "[" + App("{\"entryPoint\":\"\xff\",\"resources\":[]}") + "]",  // not UTF-8
           // Names with control characters: they reach log lines and arguments.
           "[" + App("{\"entryPoint\":\"run.sh\\nx\",\"resources\":[]}") + "]",
           "[" + App("{\"execParams\":{\"pgroup\":\"g\\u0007\"},\"resources\":[]}") + "]",
           "[" + App("{\"entryPoint\":\"nul\\u0000.sh\",\"resources\":[]}") + "]",
           "[" + App("{\"resources\":[{\"name\":\"a\\u001b[31m.7z\"}]}") + "]",
           "[" + App("{\"resources\":[]}", ",\"version\":\"1.0\\n2026-12-09 [1] Installed\"") + "]",
           // Deep nesting, a body over 16 MiB, more than 20,000 versions.
           std::string(100000, '[') + std::string(100000, ']'),
           "[" + App("{\"resources\":[]}") + std::string(16 << 20, ' ') + "]",
           [] {
             std::string many = "[" + App("{\"resources\":[]}");
             for (int i = 0; i < 20000; ++i) many += "," + App("{\"resources\":[]}");
             return many + "]";
           }(),
       }) {
    EXPECT_FALSE(ReadServerCatalogue(bad, kDownloadDir, &apps)) << bad.substr(0, 200);
    ASSERT_EQ(apps.application_size(), 1);
    EXPECT_EQ(apps.application(0).code(), "kept");
  }
  EXPECT_TRUE(ReadServerCatalogue("{}", kDownloadDir, &apps));
  EXPECT_EQ(apps.application_size(), 0);
  // A missing required key appends an empty application.
  ASSERT_TRUE(ReadServerCatalogue("[" + App("{\"resources\":[]}", "", "") + "]", kDownloadDir, &apps));
  ASSERT_EQ(apps.application_size(), 1);
  EXPECT_EQ(apps.application(0).code(), "");
}

TEST(CatalogueJson, DirectoryNormalisation) {
  EXPECT_EQ(NormaliseResourceDirectory("a/b"), "a/b/");
  EXPECT_EQ(NormaliseResourceDirectory("/a/b/"), "a/b/");
  EXPECT_EQ(NormaliseResourceDirectory("\\"), "/");
  EXPECT_EQ(NormaliseResourceDirectory(""), "/");
  EXPECT_EQ(NormaliseResourceDirectory("\\lib"), "lib/");
}

TEST(CatalogueJson, ConfigJsonMakesEntriesOfTheProductPackage) {
  ScopedTempDir pkg;
  std::vector<CZEVComponentProxy> entries;
  EXPECT_FALSE(ReadConfigJson(pkg.path(), &entries));  // no file

  std::string manifest = "{\"loadMode\":1,\"downloadDir\":\"/elsewhere\",\"execParams\":{\"expiredTime\":5},"
                         "\"resources\":" + std::string(kRes) + ",\"resources32\":" + std::string(kRes) + "}";
  const std::string with_user = App(manifest, "", ",\"description\":\"d\",\"runAs\":\"svc\"");
  ASSERT_TRUE(WriteFileAtomically(pkg.Sub("Config.json"), "[" + with_user + "," + App("{\"resources\":[]}", "", "") + "]"));
  ASSERT_TRUE(ReadConfigJson(pkg.path(), &entries));
  ASSERT_EQ(entries.size(), 2u);  // x64 then x86; the application without description adds nothing
  EXPECT_EQ(entries[0].GetArchType(), atx64);
  EXPECT_EQ(entries[1].GetArchType(), atx86);
  EXPECT_EQ(entries[0].GetSourceType(), cstProductBuildIn);
  EXPECT_EQ(entries[0].GetAppCode(), "app");
  EXPECT_EQ(entries[0].GetAppDescription(), "d");
  EXPECT_EQ(entries[0].GetInstallRoot(), pkg.path());
  CZEVManifest m;
  ASSERT_TRUE(entries[0].GetManifest(&m));
  EXPECT_EQ(m.downloaddir(), pkg.path());
  EXPECT_EQ(m.params().expiredtime(), kDefaultExpiredTimeMs);  // never read from Config.json
  EXPECT_EQ(m.sourcetype(), cstProductBuildIn);
  EXPECT_EQ(m.runas(), "svc");

  // One application object as the root works too; a comment is refused.
  ASSERT_TRUE(WriteFileAtomically(pkg.Sub("Config.json"), App("{\"resources\":[]}")));
  entries.clear();
  ASSERT_TRUE(ReadConfigJson(pkg.path(), &entries));
  EXPECT_EQ(entries.size(), 1u);
  ASSERT_TRUE(WriteFileAtomically(pkg.Sub("Config.json"), "// c\n" + App("{\"resources\":[]}")));
  EXPECT_FALSE(ReadConfigJson(pkg.path(), &entries));
  // Deep nesting and a file over 1 MiB are refused without a throw.
  ASSERT_TRUE(WriteFileAtomically(pkg.Sub("Config.json"), std::string(100000, '[') + std::string(100000, ']')));
  EXPECT_FALSE(ReadConfigJson(pkg.path(), &entries));
  ASSERT_TRUE(WriteFileAtomically(pkg.Sub("Config.json"), App("{\"resources\":[]}") + std::string(1 << 20, ' ')));
  EXPECT_FALSE(ReadConfigJson(pkg.path(), &entries));
}

TEST(CatalogueJson, ConfigJsonIsFoundWhateverTheCaseOfItsName) {
  ScopedTempDir pkg;
  EXPECT_EQ(FindConfigJson(pkg.path()), "");
  ASSERT_TRUE(WriteFileAtomically(pkg.Sub("config.json"), App("{\"resources\":[]}")));
  EXPECT_EQ(FindConfigJson(pkg.path()), pkg.Sub("config.json"));
  std::vector<CZEVComponentProxy> entries;
  ASSERT_TRUE(ReadConfigJson(pkg.path(), &entries));
  EXPECT_EQ(entries.size(), 1u);

  // Of several spellings the exact name wins, then the first in byte order;
  // a folder of that name does not count.
  ASSERT_TRUE(WriteFileAtomically(pkg.Sub("CONFIG.JSON"), "[]"));
  EXPECT_EQ(FindConfigJson(pkg.path()), pkg.Sub("CONFIG.JSON"));
  ASSERT_TRUE(WriteFileAtomically(pkg.Sub("Config.json"), "[]"));
  EXPECT_EQ(FindConfigJson(pkg.path()), pkg.Sub("Config.json"));

  ScopedTempDir other;
  ASSERT_TRUE(CreateDirectories(other.Sub("Config.json")));
  EXPECT_EQ(FindConfigJson(other.path()), "");
  ASSERT_TRUE(WriteFileAtomically(other.Sub("cOnfig.json"), "[]"));
  EXPECT_EQ(FindConfigJson(other.path()), other.Sub("cOnfig.json"));
}

}  // namespace zev
