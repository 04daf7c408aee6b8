// Archives made to escape the target folder or to mislead the space check.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "download/archive_engine.h"
#include "download/archive_test_util.h"
#include "download/extract_sink.h"
#include "download/zip_extractor.h"
#include "testing/test_util.h"

namespace zev {

namespace {

// A parent folder with a sentinel file beside the target folder; after a
// hostile extraction the parent must hold exactly what it held before.
class HostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parent_ = dir_.Sub("parent");
    target_ = parent_ + "/target";
    ASSERT_TRUE(CreateDirectories(target_));
    std::ofstream(parent_ + "/x") << "sentinel";
  }

  std::vector<std::string> ParentEntries() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(parent_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  void ExpectFailsAndStaysInside(const std::vector<TestItem>& items, const std::string& label) {
    SCOPED_TRACE(label);
    std::string archive = dir_.Sub("hostile.7z");
    ASSERT_TRUE(WriteArchive7z(archive, items));
    CZEVZipExtractor extractor;
    ASSERT_TRUE(extractor.init7zLib());
    EXPECT_FALSE(extractor.extractZip(archive, target_));
    EXPECT_EQ(extractor.getLastError(), "extract zip failed:" + archive);
    EXPECT_EQ(ReadAll(parent_ + "/x"), "sentinel");
    EXPECT_EQ(ParentEntries(), (std::vector<std::string>{"target", "x"}));
    EXPECT_FALSE(std::filesystem::exists("/abs_zevtest"));
  }

  ScopedTempDir dir_;
  std::string parent_;
  std::string target_;
};

}  // namespace

TEST_F(HostileTest, NamesThatLeaveTheFolderAreRefused) {
  for (const char* name : {"../x", "/abs_zevtest", "a/../../x", "C:\\x", "a\\..\\..\\x"}) {
    ExpectFailsAndStaysInside({{"fine.txt", AE_IFREG, "ok"}, {name, AE_IFREG, "evil"}}, name);
    // The other items are still written.
    EXPECT_EQ(ReadAll(target_ + "/fine.txt"), "ok");
  }
}

TEST_F(HostileTest, LinksOutOfTheFolderAreRefusedAndNeverFollowed) {
  ExpectFailsAndStaysInside({{"abs", AE_IFLNK, parent_}, {"abs/x", AE_IFREG, "evil"}}, "absolute target");
  EXPECT_FALSE(S_ISLNK(ModeOf(target_ + "/abs")));
  ExpectFailsAndStaysInside({{"up", AE_IFLNK, "../"}, {"up/x", AE_IFREG, "evil"}}, "parent target");
  ExpectFailsAndStaysInside({{"deep", AE_IFLNK, "a/../.."}}, "hidden parent target");

  // A link planted in the target beforehand is not walked through either.
  ASSERT_EQ(symlink(parent_.c_str(), (target_ + "/planted").c_str()), 0);
  ExpectFailsAndStaysInside({{"planted/x", AE_IFREG, "evil"}}, "planted link");

  // A safe relative link may be made, but a later item is not written
  // through it.
  ExpectFailsAndStaysInside({{"d", AE_IFDIR, "", 0755}, {"in", AE_IFLNK, "d"}, {"in/x", AE_IFREG, "evil"}},
                            "file through a link");
  EXPECT_FALSE(std::filesystem::exists(target_ + "/d/x"));
}

TEST_F(HostileTest, SpecialFilesAndSetIdModesBecomePlainFiles) {
  std::string archive = dir_.Sub("special.7z");
  ASSERT_TRUE(WriteArchive7z(archive, {{"fifo", AE_IFIFO, "", 0644},
                                       {"suid", AE_IFREG, "#!/bin/sh\n", 06777},
                                       {"win_script", AE_IFREG, "#!/bin/sh\n", 0666},
                                       {"win_text", AE_IFREG, "text", 0444}}));
  CZEVZipExtractor extractor;
  ASSERT_TRUE(extractor.init7zLib());
  ASSERT_TRUE(extractor.extractZip(archive, target_)) << extractor.getLastError();
  EXPECT_TRUE(S_ISREG(ModeOf(target_ + "/fifo")));
  EXPECT_EQ(ModeOf(target_ + "/suid") & 07777, 0755u);
  EXPECT_EQ(ModeOf(target_ + "/win_script") & 07777, 0755u);
  EXPECT_EQ(ModeOf(target_ + "/win_text") & 07777, 0644u);
}

namespace {

void PutNumber(std::string* out, uint64_t value) {
  if (value < 0x80) {
    out->push_back(static_cast<char>(value));
    return;
  }
  out->push_back(static_cast<char>(0xFF));
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

void PutLe(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

// A 7z archive whose items claim the given sizes, each stored (Copy) in a
// folder of its own with no packed data behind it.
std::string ForgedSizes(const std::vector<uint64_t>& sizes) {
  const uint64_t count = sizes.size();
  std::string h;
  h += '\x01';                                      // Header
  h += '\x04';                                      // MainStreamsInfo
  h += '\x06';                                      // PackInfo
  PutNumber(&h, 0);                                 // pack position
  PutNumber(&h, count);                             // pack streams
  h += '\x09';
  for (uint64_t i = 0; i < count; ++i) PutNumber(&h, 0);
  h += '\x00';
  h += '\x07';                                      // UnpackInfo
  h += '\x0B';
  PutNumber(&h, count);                             // folders
  h += '\x00';                                      // not external
  for (uint64_t i = 0; i < count; ++i) h += std::string("\x01\x01\x00", 3);  // one coder: Copy
  h += '\x0C';
  for (uint64_t size : sizes) PutNumber(&h, size);
  h += '\x00';
  h += std::string("\x08\x00", 2);                 // SubStreamsInfo: one item per folder
  h += '\x00';                                      // end of streams info
  h += '\x05';                                      // FilesInfo
  PutNumber(&h, count);
  std::string names;
  for (uint64_t i = 0; i < count; ++i) {
    names += static_cast<char>('a' + i);
    names += std::string("\0\0\0", 3);
  }
  h += '\x11';
  PutNumber(&h, names.size() + 1);
  h += '\x00';
  h += names;
  h += '\x00';
  h += '\x00';

  std::string tail;
  PutLe(&tail, 0, 8);  // next header right after the start header
  PutLe(&tail, h.size(), 8);
  PutLe(&tail, crc32(0, reinterpret_cast<const Bytef*>(h.data()), h.size()), 4);
  std::string archive("7z\xBC\xAF\x27\x1C\x00\x04", 8);
  PutLe(&archive, crc32(0, reinterpret_cast<const Bytef*>(tail.data()), tail.size()), 4);
  return archive + tail + h;
}

}  // namespace

TEST_F(HostileTest, ForgedSizesSaturateInsteadOfWrapping) {
  // 2 * (2^63 - 1) + 2 is 2^64: a plain sum would be 0 and pass any check.
  std::string bytes = ForgedSizes({(1ULL << 63) - 1, (1ULL << 63) - 1, 2});
  ArchiveInput input;
  input.data = bytes.data();
  input.size = bytes.size();
  uint64_t total = 0;
  ArchiveOutcome outcome;
  ASSERT_TRUE(ListArchive(input, &total, &outcome));
  EXPECT_EQ(total, ~0ULL);

  CZEVZipExtractor extractor;
  ASSERT_TRUE(extractor.init7zLib());
  std::string archive = dir_.Sub("forged.7z");
  ASSERT_TRUE(WriteFileAtomically(archive, bytes));
  EXPECT_FALSE(extractor.extractZip(archive, target_));
  EXPECT_NE(extractor.getLastError().find(" has no enough space for requirement: "), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(target_));

  // Sizes of 2^63 each: the reader gives up on them, and nothing is written.
  ASSERT_TRUE(WriteFileAtomically(archive, ForgedSizes({1ULL << 63, 1ULL << 63})));
  EXPECT_FALSE(extractor.extractZip(archive, target_));
  EXPECT_TRUE(std::filesystem::is_empty(target_));

  // Honest sizes list as they are.
  bytes = ForgedSizes({5, 7});
  input.data = bytes.data();
  input.size = bytes.size();
  ASSERT_TRUE(ListArchive(input, &total, &outcome));
  EXPECT_EQ(total, 12u);
}

TEST_F(HostileTest, MemorySinkRefusesTheSameNames) {
  std::string archive = dir_.Sub("mem.7z");
  ASSERT_TRUE(WriteArchive7z(archive, {{"../x", AE_IFREG, "evil"},
                                       {"l", AE_IFLNK, "/etc"},
                                       {"f", AE_IFREG, "file"},
                                       {"f/x", AE_IFREG, "through a file"}}));
  std::string bytes = ReadAll(archive);
  ArchiveInput input;
  input.data = bytes.data();
  input.size = bytes.size();
  MemorySink sink(1 << 20);
  ArchiveOutcome outcome;
  EXPECT_FALSE(ExtractArchive(input, &sink, nullptr, &outcome));
  EXPECT_EQ(outcome.error_count, 3u);
  ASSERT_EQ(sink.items().size(), 1u);
  EXPECT_EQ(sink.items().at("f").content, "file");
}

}  // namespace zev
