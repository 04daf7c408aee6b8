#include "download/zip_extractor.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "download/archive_test_util.h"
#include "download/extract_sink.h"
#include "platform/paths.h"
#include "testing/test_util.h"

namespace zev {

namespace {

const char kOddName[] = "with blank \xc3\xa9t\xc3\xa9.txt";
constexpr time_t kPackedTime = 978494706;  // of the packed data file and its folder

bool Contains(const std::vector<std::string>& messages, const std::string& text) {
  return std::any_of(messages.begin(), messages.end(),
                     [&](const std::string& m) { return m.find(text) != std::string::npos; });
}

// A package source tree: text, a script, an empty file and folder, a
// world-writable file, a relative link, a non-ASCII name with a blank.
class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    src_ = dir_.Sub("src");
    ASSERT_TRUE(CreateDirectories(src_ + "/bin/sub"));
    ASSERT_TRUE(CreateDirectories(src_ + "/empty_dir"));
    std::string text;
    for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + " of the package\n";
    Write("bin/data.txt", text, 0644);
    Write("bin/run.sh", "#!/bin/sh\necho hi\n", 0755);
    Write("bin/sub/shared.cfg", "everyone=1\n", 0666);
    Write("empty.txt", "", 0644);
    Write(kOddName, "odd\n", 0644);
    ASSERT_EQ(symlink("data.txt", (src_ + "/bin/data.lnk").c_str()), 0);
    for (const char* name : {"/bin/data.txt", "/bin"})
      ASSERT_EQ(system(("touch -d @" + std::to_string(kPackedTime) + " '" + src_ + name + "'").c_str()), 0);
  }

  void Write(const std::string& name, const std::string& data, mode_t mode) {
    std::string path = src_ + "/" + name;
    std::ofstream(path, std::ios::binary) << data;
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
  }

  // Packs the source tree with 7z and `switches`; returns the archive path.
  std::string Pack(const std::string& name, const std::vector<std::string>& switches) {
    std::string archive = dir_.Sub(name);
    std::vector<std::string> args = {"a", "-snl", archive};
    args.insert(args.end(), switches.begin(), switches.end());
    args.push_back(".");
    EXPECT_TRUE(Run7z(src_, args));
    return archive;
  }

  void ExpectSameTree(const std::string& out) {
    EXPECT_EQ(ReadAll(out + "/bin/data.txt"), ReadAll(src_ + "/bin/data.txt"));
    EXPECT_EQ(ReadAll(out + "/bin/run.sh"), "#!/bin/sh\necho hi\n");
    EXPECT_EQ(ReadAll(out + "/bin/sub/shared.cfg"), "everyone=1\n");
    EXPECT_EQ(ReadAll(out + "/empty.txt"), "");
    EXPECT_EQ(ReadAll(out + "/" + kOddName), "odd\n");
    EXPECT_TRUE(DirectoryExists(out + "/empty_dir"));
    EXPECT_EQ(ModeOf(out + "/bin/run.sh") & 07777, 0755u);
    EXPECT_EQ(ModeOf(out + "/bin/sub/shared.cfg") & 07777, 0644u);
    ASSERT_TRUE(S_ISLNK(ModeOf(out + "/bin/data.lnk")));
    EXPECT_EQ(std::filesystem::read_symlink(out + "/bin/data.lnk").string(), "data.txt");
    EXPECT_FALSE(std::filesystem::exists(out + "/[Content]"));
    struct stat file, folder;
    ASSERT_EQ(stat((out + "/bin/data.txt").c_str(), &file) | stat((out + "/bin").c_str(), &folder), 0);
    EXPECT_TRUE(file.st_mtime == kPackedTime && folder.st_mtime == kPackedTime);  // not the extraction's time
  }

  ScopedTempDir dir_;
  std::string src_;
};

}  // namespace

TEST_F(PackageTest, UnpacksSolidNonSolidBcj2AndPpmdPackagesAlike) {
  struct Case {
    const char* name;
    std::vector<std::string> switches;
  } cases[] = {
      {"solid.7z", {"-ms=on"}},
      {"nonsolid.7z", {"-ms=off"}},
      {"bcj2.7z", {"-mf=BCJ2"}},
      {"ppmd.7z", {"-m0=PPMd"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string archive = Pack(c.name, c.switches);
    CZEVZipExtractor extractor;
    ASSERT_TRUE(extractor.init7zLib());
    std::string out = dir_.Sub(std::string("out_") + c.name + "/deep/target");
    ASSERT_TRUE(extractor.extractZip(archive, out)) << extractor.getLastError();
    ExpectSameTree(out);
  }
}

TEST_F(PackageTest, ListingSumsItemSizesAndIgnoresTheExtension) {
  std::string archive = Pack("pkg.7z", {});
  std::string renamed = dir_.Sub("pkg.zip");
  ASSERT_EQ(rename(archive.c_str(), renamed.c_str()), 0);
  ArchiveInput input;
  input.path = renamed;
  uint64_t total = 0;
  ArchiveOutcome outcome;
  ASSERT_TRUE(ListArchive(input, &total, &outcome));
  // The reader gives links no size.
  uint64_t expected = ReadAll(src_ + "/bin/data.txt").size() + 18 + 11 + 4;
  EXPECT_EQ(total, expected);

  CZEVZipExtractor extractor;
  ASSERT_TRUE(extractor.init7zLib());
  ASSERT_TRUE(extractor.extractZip(renamed, dir_.Sub("out")));
  ExpectSameTree(dir_.Sub("out"));
}

TEST_F(PackageTest, ReplacesExistingFilesAndLinksInsteadOfWritingThroughThem) {
  std::string archive = Pack("pkg.7z", {});
  std::string out = dir_.Sub("out");
  std::string victim = dir_.Sub("victim.txt");
  std::ofstream(victim) << "keep";
  ASSERT_TRUE(CreateDirectories(out + "/bin"));
  std::ofstream(out + "/empty.txt") << "old read-only";
  ASSERT_EQ(chmod((out + "/empty.txt").c_str(), 0444), 0);
  ASSERT_EQ(symlink(victim.c_str(), (out + "/bin/data.txt").c_str()), 0);

  CZEVZipExtractor extractor;
  ASSERT_TRUE(extractor.init7zLib());
  ASSERT_TRUE(extractor.extractZip(archive, out)) << extractor.getLastError();
  ExpectSameTree(out);
  EXPECT_EQ(ReadAll(victim), "keep");
}

TEST_F(PackageTest, EncryptedDataOrHeaderFailsWithoutAPassword) {
  // Without links: the reader cannot even list a link whose target is
  // encrypted.
  std::string data_only = dir_.Sub("data.7z");
  ASSERT_TRUE(Run7z(src_, {"a", "-pSECRET", data_only, "bin/data.txt", "empty.txt"}));
  std::string with_header = Pack("header.7z", {"-pSECRET", "-mhe=on"});
  CZEVZipExtractor extractor;
  ASSERT_TRUE(extractor.init7zLib());

  EXPECT_FALSE(extractor.extractZip(data_only, dir_.Sub("out1")));
  EXPECT_EQ(extractor.getLastError(), "extract zip failed:" + data_only);
  EXPECT_TRUE(extractor.lastOutcome().encrypted);
  EXPECT_TRUE(Contains(extractor.lastOutcome().messages, "Password is not defined"));

  EXPECT_FALSE(extractor.extractZip(with_header, dir_.Sub("out2")));
  EXPECT_TRUE(extractor.lastOutcome().encrypted);
  EXPECT_EQ(extractor.getLastError(), "view zip content failed");
  EXPECT_TRUE(Contains(extractor.lastOutcome().messages, "Password is not defined"));
}

TEST_F(PackageTest, AFlippedByteInASolidBlockFails) {
  std::string archive = Pack("solid.7z", {"-ms=on", "-m0=Copy"});
  std::string bytes = ReadAll(archive);
  // With the Copy method the data lies as it is: damage the middle of the
  // big text file so that the CRC of the block no longer matches.
  size_t at = bytes.find("of the package\nline");
  ASSERT_NE(at, std::string::npos);
  bytes[at + 3] ^= 0x20;
  ASSERT_TRUE(WriteFileAtomically(archive, bytes));

  CZEVZipExtractor extractor;
  ASSERT_TRUE(extractor.init7zLib());
  EXPECT_FALSE(extractor.extractZip(archive, dir_.Sub("out")));
  EXPECT_EQ(extractor.getLastError(), "extract zip failed:" + archive);
  const auto& messages = extractor.lastOutcome().messages;
  EXPECT_TRUE(Contains(messages, "CRC Failed"));
  EXPECT_TRUE(Contains(messages, "File Extract Failed, fatal error"));
}

TEST_F(PackageTest, AFlippedByteInACompressedSolidBlockFails) {
  std::string archive = Pack("lzma2.7z", {"-ms=on", "-m0=LZMA2"});
  std::string bytes = ReadAll(archive);
  // Packed data starts right after the 32-byte start header.
  bytes[32 + (bytes.size() - 32) / 3] ^= 0x01;
  ASSERT_TRUE(WriteFileAtomically(archive, bytes));

  CZEVZipExtractor extractor;
  ASSERT_TRUE(extractor.init7zLib());
  EXPECT_FALSE(extractor.extractZip(archive, dir_.Sub("out")));
  const auto& messages = extractor.lastOutcome().messages;
  EXPECT_TRUE(Contains(messages, "CRC Failed") || Contains(messages, "Data Error") ||
              Contains(messages, "Can not open file as archive"));
}

TEST_F(PackageTest, LifecycleAndSimpleFailures) {
  std::string archive = Pack("pkg.7z", {});
  CZEVZipExtractor first;
  CZEVZipExtractor second;
  EXPECT_FALSE(first.isInitialised());
  EXPECT_FALSE(first.extractZip(archive, dir_.Sub("none")));
  EXPECT_EQ(first.getLastError(), "");
  ASSERT_TRUE(first.init7zLib());
  ASSERT_TRUE(first.init7zLib());
  ASSERT_TRUE(second.init7zLib());
  first.release();
  EXPECT_FALSE(first.isInitialised());
  EXPECT_TRUE(second.isInitialised());
  EXPECT_TRUE(second.extractZip(archive, dir_.Sub("out")));

  EXPECT_FALSE(second.extractZip(dir_.Sub("missing.7z"), dir_.Sub("out")));
  EXPECT_EQ(second.getLastError(), "view zip content failed");
  std::ofstream(dir_.Sub("junk.7z")) << "not an archive at all";
  EXPECT_FALSE(second.extractZip(dir_.Sub("junk.7z"), dir_.Sub("out")));
  EXPECT_EQ(second.getLastError(), "view zip content failed");

  // A file where the target folder should be.
  std::ofstream(dir_.Sub("plainfile")) << "x";
  EXPECT_FALSE(second.extractZip(archive, dir_.Sub("plainfile/below")));
  EXPECT_EQ(second.getLastError(), "Failed to create decompression path: " + dir_.Sub("plainfile/below") + ", skip");
}

TEST_F(PackageTest, TheSpaceCheckAndTheUnpackReadOneOpenFile) {
  const std::string archive = Pack("pkg.7z", {});
  const std::string other = dir_.Sub("other.7z");
  ASSERT_TRUE(Run7z(src_, {"a", other, "empty.txt"}));
  CZEVZipExtractor extractor;
  ASSERT_TRUE(extractor.init7zLib());
  // Renamed over the package after its sizes were counted: what was counted is unpacked.
  extractor.SetListedHookForTesting([&] { ASSERT_EQ(rename(other.c_str(), archive.c_str()), 0); });
  ASSERT_TRUE(extractor.extractZip(archive, dir_.Sub("out"))) << extractor.getLastError();
  ExpectSameTree(dir_.Sub("out"));
  ASSERT_EQ(symlink(archive.c_str(), dir_.Sub("link.7z").c_str()), 0);
  EXPECT_FALSE(extractor.extractZip(dir_.Sub("link.7z"), dir_.Sub("link")));  // a link is not followed
}

TEST_F(PackageTest, AStopFlagCancelsTheExtraction) {
  std::string archive = Pack("pkg.7z", {});
  std::atomic<bool> stop{true};
  CZEVZipExtractor extractor;
  ASSERT_TRUE(extractor.init7zLib());
  extractor.SetStopFlag(&stop);
  EXPECT_FALSE(extractor.extractZip(archive, dir_.Sub("out")));
  EXPECT_TRUE(extractor.lastOutcome().cancelled);
  stop = false;
  EXPECT_TRUE(extractor.extractZip(archive, dir_.Sub("out")));
  extractor.SetStopFlag(nullptr);
}

TEST_F(PackageTest, ExtractionsOnSeveralThreadsDoNotDisturbEachOther) {
  std::string archive = Pack("pkg.7z", {"-ms=on"});
  bool ok[3] = {false, false, false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      CZEVZipExtractor extractor;
      ok[i] = extractor.init7zLib() && extractor.extractZip(archive, dir_.Sub("t" + std::to_string(i)));
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(ok[i]);
    ExpectSameTree(dir_.Sub("t" + std::to_string(i)));
  }
}

TEST_F(PackageTest, MemorySinkSeesWhatTheDiskGets) {
  std::string archive = Pack("pkg.7z", {});
  std::string bytes = ReadAll(archive);
  ArchiveInput input;
  input.data = bytes.data();
  input.size = bytes.size();
  MemorySink sink(1 << 20);
  ArchiveOutcome outcome;
  ASSERT_TRUE(ExtractArchive(input, &sink, nullptr, &outcome));
  const auto& items = sink.items();
  ASSERT_TRUE(items.count("bin/run.sh"));
  EXPECT_EQ(items.at("bin/run.sh").mode, 0755u);
  EXPECT_EQ(items.at("bin/data.lnk").kind, 'l');
  EXPECT_EQ(items.at("bin/data.lnk").content, "data.txt");
  EXPECT_EQ(items.at("empty_dir").kind, 'd');
  EXPECT_EQ(items.at(kOddName).content, "odd\n");

  MemorySink small(100);
  ArchiveOutcome failed;
  EXPECT_FALSE(ExtractArchive(input, &small, nullptr, &failed));
  EXPECT_GT(failed.error_count, 0u);
}

// Free space equal to the unpacked size is not enough; needs a small tmpfs.
TEST(ZipExtractorSpace, FreeSpaceEqualToTheSizeIsNotEnough) {
  ScopedTempDir dir;
  std::string mount_point = dir.Sub("mnt");
  ASSERT_TRUE(CreateDirectories(mount_point));
  if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=256k") != 0) GTEST_SKIP() << "cannot mount tmpfs";
  // Unmounted whatever the outcome, before the folder is removed.
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{mount_point};
  uint64_t free_bytes = 0;
  ASSERT_TRUE(FreeDiskSpace(mount_point + "/not/yet", &free_bytes));
  ASSERT_EQ(free_bytes, 262144u);
  std::string src = dir.Sub("src");
  ASSERT_TRUE(CreateDirectories(src));
  ASSERT_TRUE(WriteFileAtomically(src + "/exact.bin", std::string(free_bytes, 'z')));
  ASSERT_TRUE(Run7z(src, {"a", dir.Sub("exact.7z"), "exact.bin"}));
  ASSERT_TRUE(WriteFileAtomically(src + "/exact.bin", std::string(free_bytes - 1, 'z')));
  ASSERT_TRUE(Run7z(src, {"a", dir.Sub("fits.7z"), "exact.bin"}));

  CZEVZipExtractor extractor;
  ASSERT_TRUE(extractor.init7zLib());
  std::string target = mount_point + "/pkg";
  EXPECT_FALSE(extractor.extractZip(dir.Sub("exact.7z"), target));
  EXPECT_EQ(extractor.getLastError(), target + " has no enough space for requirement: 256.0 KB 256.0 KB");
  EXPECT_FALSE(DirectoryExists(target));
  EXPECT_TRUE(extractor.extractZip(dir.Sub("fits.7z"), target)) << extractor.getLastError();
}

}  // namespace zev
