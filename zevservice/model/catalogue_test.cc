#include "model/catalogue.h"

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

namespace zev {

TEST(Catalogue, VersionOrderComparesSegmentsAsNumbers) {
  EXPECT_EQ(CompareVersion("1.2", "1.2.0"), 0);
  EXPECT_EQ(CompareVersion("1.02", "1.2"), 0);
  EXPECT_EQ(CompareVersion("2", "2.0.0"), 0);
  EXPECT_EQ(CompareVersion("1.10", "1.9"), 1);
  EXPECT_EQ(CompareVersion("1.9", "1.10"), -1);
  EXPECT_EQ(CompareVersion("", ""), 0);
  EXPECT_EQ(CompareVersion("", "0.0"), 0);
  EXPECT_EQ(CompareVersion("1.0.1", "1"), 1);
  // Characters are not checked for digits: 'a' counts 49.
  EXPECT_EQ(CompareVersion("1.a", "1.49"), 0);
  // Very long segments wrap instead of overflowing.
  EXPECT_EQ(CompareVersion(std::string(200, '9'), std::string(200, '9')), 0);
}

// The key must agree with CompareVersion on every pair, equal or not.
TEST(Catalogue, VersionKeyAgreesWithTheOrder) {
  const char* versions[] = {"", "0", "0.0", "1", "1.0", "1.", "1.2", "1.2.0", "1.02", "1.20", "2",
                            "2.0.0", "1.a", "1.49", "1..2", "1.0.2", "10", "1.10", "1.9"};
  for (const char* a : versions) {
    for (const char* b : versions) {
      EXPECT_EQ(VersionKey(a) == VersionKey(b), CompareVersion(a, b) == 0) << a << " / " << b;
    }
  }
}

TEST(Catalogue, ArchitectureNamesAndBits) {
  EXPECT_EQ(ArchName(atNone), "None");
  EXPECT_EQ(ArchName(atx64), "x64");
  EXPECT_EQ(ArchName(atLoongarch), "Loongarch");
  EXPECT_EQ(ArchName(6), "atNone");
  EXPECT_EQ(ArchName(-1), "atNone");
  EXPECT_EQ(ArchBits(atx86), 32);
  EXPECT_EQ(ArchBits(atx64), 64);
  EXPECT_EQ(ArchBits(atARMv7), 0);
}

TEST(Catalogue, ValidityWindowUsesWholeSeconds) {
  CZEVExecParams p;
  p.set_triggertime(1000999);
  p.set_expiredtime(2000999);
  EXPECT_FALSE(IsValidAt(p, 999));
  EXPECT_TRUE(IsValidAt(p, 1000));
  EXPECT_TRUE(IsValidAt(p, 2000));
  EXPECT_FALSE(IsValidAt(p, 2001));
  EXPECT_TRUE(IsExpired(p, 2001));
  EXPECT_TRUE(IsExpired(CZEVExecParams(), 1));  // no expiredTime: never loadable
  EXPECT_EQ(MakeTaskKey("app", "comp", "1.0", "x64"), "app#comp#1.0#x64");
}

TEST(Catalogue, StringFieldsMustBeUtf8WhileDownloadDirIsRaw) {
  CZEVManifest raw;
  raw.set_downloaddir("\xFF\xFE/opt");
  CZEVManifest parsed;
  EXPECT_TRUE(parsed.ParseFromString(raw.SerializeAsString()));
  EXPECT_EQ(parsed.downloaddir(), "\xFF\xFE/opt");

  // The same bytes in entryPoint (field 3, a string) fail the parse.
  std::string bad = std::string("\x1a\x02", 2) + "\xFF\xFE";
  EXPECT_FALSE(parsed.ParseFromString(bad));
}

TEST(Catalogue, JsonMappingKeepsTheDeclaredSpellings) {
  CZEVApplication app;
  app.set_decription("d");
  CZEVComponent* c = app.mutable_components()->add_component();
  c->set_componentid("c1");
  CZEVVersion* v = c->mutable_versions()->add_version();
  v->mutable_manifest()->set_runmode(btApplicaiton);
  v->mutable_manifest()->set_loadmode(lmOutterComponent);
  std::string json;
  ASSERT_TRUE(google::protobuf::util::MessageToJsonString(app, &json).ok());
  for (const char* part : {"\"decription\":\"d\"", "\"componentID\":\"c1\"", "\"btApplicaiton\"", "\"lmOutterComponent\""}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << " in " << json;
  }
}

}  // namespace zev
