// zevctl as an administrator uses it: a separate process on the same store.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/registry.h"
#include "testing/test_util.h"

namespace {

struct Result {
  int status;
  std::string out;
};

Result Zevctl(const std::string& args) {
  std::string command = std::string(ZEVCTL_PATH) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  Result r{-1, ""};
  if (pipe == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) r.out.append(buf, n);
  int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace

TEST(Zevctl, SetsGetsListsAndDeletesValuesOfTheSharedStore) {
  ScopedCommonDataDir common;
  const std::string key = "\"Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\"";
  EXPECT_EQ(Zevctl("reg set HKLM " + key + " Url \"http://127.0.0.1:61200\"").status, 0);

  std::string value;
  ASSERT_TRUE(RegReadString(RegRoot::kLocalMachine,
                            "SOFTWARE\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}", "url",
                            &value));
  EXPECT_EQ(value, "http://127.0.0.1:61200");

  ASSERT_TRUE(RegWriteString(RegRoot::kClassesRoot, "CLSID\\{X}\\Port", "zevservicePort", "61024",
                             RegView::kWow64_32));
  Result got = Zevctl("reg get HKCR \"CLSID\\{X}\\Port\" zevservicePort --32");
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.out, "61024\n");

  Result listed = Zevctl("reg list HKLM");
  EXPECT_EQ(listed.status, 0);
  EXPECT_NE(listed.out.find("Url\thttp://127.0.0.1:61200"), std::string::npos) << listed.out;

  EXPECT_EQ(Zevctl("reg delete HKLM " + key + " Url").status, 0);
  Result missing = Zevctl("reg get HKLM " + key + " Url");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("not found"), std::string::npos);
}

TEST(Zevctl, RejectsBadUsage) {
  ScopedCommonDataDir common;
  EXPECT_EQ(Zevctl("").status, 2);
  EXPECT_EQ(Zevctl("reg get HKCU Software x").status, 2);
  EXPECT_EQ(Zevctl("reg set HKLM Software").status, 2);
  EXPECT_EQ(Zevctl("frobnicate").status, 2);
  EXPECT_EQ(Zevctl("reg delete HKLM Software\\Nothing").status, 1);
}
