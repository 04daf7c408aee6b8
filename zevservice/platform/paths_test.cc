#include "platform/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/digest.h"
#include "platform/file_modes.h"
#include "platform/guid.h"
#include "testing/scoped_user.h"
#include "testing/test_util.h"

namespace zev {

TEST(Paths, GetRawnameNeedsAStemOfTwoCharacters) {
  std::string stem;
  ASSERT_TRUE(getRawname("ab.zip", &stem));
  EXPECT_EQ(stem, "ab");
  ASSERT_TRUE(getRawname("pkg.tar.7z", &stem));
  EXPECT_EQ(stem, "pkg.tar");
  EXPECT_FALSE(getRawname("a.zip", &stem));
  EXPECT_FALSE(getRawname(".zip", &stem));
  EXPECT_FALSE(getRawname("zip", &stem));
  EXPECT_FALSE(getRawname("", &stem));
}

TEST(Paths, FileAndUrlNamePieces) {
  std::string name;
  EXPECT_TRUE(GetFileName("/a/b/c.txt", &name));
  EXPECT_EQ(name, "c.txt");
  EXPECT_TRUE(GetFileName("bin\\x64\\host", &name));
  EXPECT_EQ(name, "host");
  EXPECT_FALSE(GetFileName("plain", &name));
  EXPECT_EQ(name, "plain");

  EXPECT_EQ(GetUrlFileName("http://h/p/f.7z"), "f.7z");
  EXPECT_EQ(GetUrlFileName("nofolder"), "");
  EXPECT_EQ(GetUrlDir("http://h/p/f.7z"), "http://h/p");
  EXPECT_EQ(GetUrlDir("nofolder"), "");
  EXPECT_TRUE(SameUrlFileName("http://a/x/f.7z", "/tmp/f.7z"));
  EXPECT_TRUE(SameUrlFileName("f.7z", "http://a/f.7z"));
  EXPECT_FALSE(SameUrlFileName("http://a/f.7z", "http://a/g.7z"));
}

TEST(Paths, CommonDataDirComesFromTheEnvironmentAndIsRemembered) {
  ScopedTempDir a, b;
  setenv("ZEV_COMMON_APPDATA", (a.path() + "/").c_str(), 1);
  ForgetCommonDataDir();
  EXPECT_EQ(GetCommonDataDir(), a.path());
  setenv("ZEV_COMMON_APPDATA", b.path().c_str(), 1);
  EXPECT_EQ(GetCommonDataDir(), a.path());  // the first answer stays
  ForgetCommonDataDir();
  EXPECT_EQ(GetCommonDataDir(), b.path());
  EXPECT_EQ(GetRuntimeDir(), b.path() + "/run");
  EXPECT_TRUE(DirectoryExists(b.path() + "/run"));
  unsetenv("ZEV_COMMON_APPDATA");
  ForgetCommonDataDir();
}

TEST(Paths, ModulePathNamesThisTest) {
  EXPECT_NE(GetModulePath().find("zev_platform_test"), std::string::npos);
  EXPECT_EQ(GetModuleDir().back(), '/');
  EXPECT_EQ(GetFileVersionText(GetModulePath()), GetProgramVersion());
  EXPECT_EQ(GetFileVersionText("/bin/sh"), "");
}

TEST(Paths, CreateDirectoriesMakesTheWholeChain) {
  ScopedTempDir tmp;
  EXPECT_FALSE(CreateDirectories(""));
  EXPECT_TRUE(CreateDirectories(tmp.Sub("a/b/c/")));
  EXPECT_TRUE(DirectoryExists(tmp.Sub("a/b/c")));
  EXPECT_TRUE(CreateDirectories(tmp.Sub("a/b")));
  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("file"), "x"));
  EXPECT_FALSE(CreateDirectories(tmp.Sub("file/sub")));
  EXPECT_TRUE(FileExists(tmp.Sub("file")));
  EXPECT_FALSE(FileExists(tmp.Sub("a")));
  EXPECT_FALSE(FileExists(""));
}

TEST(Paths, CopyDirectoryTreeKeepsFilesAlreadyInTheTarget) {
  ScopedTempDir tmp;
  ASSERT_TRUE(CreateDirectories(tmp.Sub("src/sub")));
  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("src/a.txt"), "new a"));
  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("src/sub/b.txt"), "new b"));
  ASSERT_TRUE(CreateDirectories(tmp.Sub("dst")));
  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("dst/a.txt"), "old a"));

  ASSERT_TRUE(CopyDirectoryTree(tmp.Sub("src"), tmp.Sub("dst")));
  std::string data;
  ASSERT_TRUE(ReadFileToString(tmp.Sub("dst/a.txt"), &data));
  EXPECT_EQ(data, "old a");
  ASSERT_TRUE(ReadFileToString(tmp.Sub("dst/sub/b.txt"), &data));
  EXPECT_EQ(data, "new b");
  EXPECT_FALSE(CopyDirectoryTree(tmp.Sub("missing"), tmp.Sub("dst2")));
}

TEST(Paths, CopyFileToReplacesTheTargetWholeAndKeepsTheMode) {
  ScopedTempDir tmp;
  std::string big(3 * 1024 * 1024 + 17, 'q');
  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("src"), big));
  chmod(tmp.Sub("src").c_str(), 0750);
  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("dst"), "old"));
  ASSERT_TRUE(CopyFileTo(tmp.Sub("src"), tmp.Sub("dst")));
  std::string data;
  ASSERT_TRUE(ReadFileToString(tmp.Sub("dst"), &data));
  EXPECT_EQ(data, big);
  struct stat st;
  ASSERT_EQ(stat(tmp.Sub("dst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
  EXPECT_FALSE(CopyFileTo(tmp.Sub("missing"), tmp.Sub("dst")));
  ASSERT_TRUE(ReadFileToString(tmp.Sub("dst"), &data));
  EXPECT_EQ(data.size(), big.size());  // a failed copy leaves the target alone
}

// What root may install into or run from: folders, links on the way and
// files that only root (or we) can change. The second user plants what an
// attacker would.
TEST(TrustedPaths, OnlyWhatNobodyElseCanChangeIsTrusted) {
  ScopedUser user;
  if (!user.ok()) GTEST_SKIP() << user.reason();
  ScopedTempDir tmp;  // root's, 0700, below root's sticky /tmp
  ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
  const std::string root_dir = tmp.Sub("root"), sticky = tmp.Sub("sticky"), open = tmp.Sub("open"),
                    users = tmp.Sub("users");
  for (const std::string& d : {root_dir + "/inner", sticky, open, users + "/inner"}) ASSERT_TRUE(CreateDirectories(d));
  ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  ASSERT_EQ(chown(users.c_str(), user.uid(), user.gid()), 0);
  ASSERT_EQ(symlink(root_dir.c_str(), (sticky + "/roots_link").c_str()), 0);
  ASSERT_EQ(user.Run("ln -s " + root_dir + " " + sticky + "/users_link && ln -s " + sticky + "/users_link " +
                     tmp.Sub("sticky/users_hop")), 0);
  ASSERT_EQ(symlink((sticky + "/users_hop").c_str(), tmp.Sub("roots_link_to_users_link").c_str()), 0);
  ASSERT_TRUE(WriteFileAtomically(root_dir + "/run.sh", "#!/bin/sh\n"));
  ASSERT_TRUE(WriteFileAtomically(root_dir + "/open.sh", "#!/bin/sh\n"));
  ASSERT_EQ(chmod((root_dir + "/open.sh").c_str(), 0666), 0);
  struct Case {
    std::string path;
    bool folder, create_in, file;  // IsTrustedFolder, IsTrustedToCreateIn, IsTrustedFile
  } cases[] = {
      {root_dir + "/inner", true, true, false},
      {sticky + "/roots_link/inner", true, true, false},     // root's link in root's sticky folder
      {sticky, false, true, false},                          // only to make a folder in
      {open, false, false, false},
      {users + "/inner", false, false, false},               // root's folder in a user's
      {sticky + "/users_link/inner", false, false, false},   // the user could point it elsewhere
      {tmp.Sub("roots_link_to_users_link/inner"), false, false, false},  // one hop further
      {root_dir + "/run.sh", false, false, true},
      {root_dir + "/open.sh", false, false, false},
      {sticky + "/roots_link/run.sh", false, false, true},   // root's link on the way
      {sticky + "/users_link/run.sh", false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsTrustedFolder(c.path), c.folder) << c.path;
    EXPECT_EQ(IsTrustedToCreateIn(c.path), c.create_in) << c.path;
    EXPECT_EQ(IsTrustedFile(c.path), c.file) << c.path;
  }
  std::string why;
  EXPECT_FALSE(IsTrustedFolder(sticky + "/users_link/inner", &why));
  EXPECT_EQ(why, sticky + "/users_link is a link that belongs to another user (owner " + std::to_string(user.uid()) +
                     ", mode 0777)");
}

TEST(Digest, KnownVectors) {
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex(nullptr), "");
  EXPECT_EQ(Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Digest, FileSha256HexMatchesTheDigestOfTheBytesAcrossChunks) {
  ScopedTempDir tmp;
  std::string data;
  for (int i = 0; data.size() < 2 * 1048576 + 333; ++i) data += std::to_string(i) + ",";
  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("f"), data));
  std::string expected = Sha256Hex(data.data(), data.size());
  EXPECT_EQ(FileSha256Hex(tmp.Sub("f")), expected);
  EXPECT_TRUE(FileHashEquals(tmp.Sub("f"), expected));
  EXPECT_FALSE(FileHashEquals(tmp.Sub("f"), "ABC"));

  ASSERT_TRUE(WriteFileAtomically(tmp.Sub("empty"), ""));
  EXPECT_EQ(FileSha256Hex(tmp.Sub("empty")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(FileSha256Hex(tmp.Sub("missing")), "");
  EXPECT_FALSE(FileHashEquals(tmp.Sub("missing"), ""));
  EXPECT_EQ(FileSha256Hex(tmp.path()), "");  // a folder cannot be read as a file
}

TEST(Guid, TextFormsRoundTrip) {
  GUID g = NewGuid();
  std::string text = GuidToText(g);
  ASSERT_EQ(text.size(), 38u);
  EXPECT_EQ(text.front(), '{');
  EXPECT_EQ(text[15], '4');  // version 4
  EXPECT_EQ(text, "{" + GuidToTextBare(g) + "}");
  EXPECT_EQ(TextToGuid(text), g);
  EXPECT_NE(NewGuid(), g);

  GUID known = TextToGuid("{8a9c633d-908a-43fd-aeb8-5b821a0a2ed4}");
  EXPECT_EQ(GuidToText(known), "{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}");
  EXPECT_EQ(TextToGuid("{8A9C633D-908A-43FD-AEB8-5B821A0A2ED}"), GUID());
  EXPECT_EQ(TextToGuid("{8A9C633D-908A-43FD-AEB8+5B821A0A2ED4}"), GUID());
  EXPECT_EQ(TextToGuid("{ 8A9C633-908A-43FD-AEB8-5B821A0A2ED4}"), GUID());
}

}  // namespace zev
