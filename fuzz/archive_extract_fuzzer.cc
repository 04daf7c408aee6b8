// Arbitrary bytes read as a 7z archive: listed, then extracted twice, into a
// memory sink and into a fresh folder on disk. Nothing may appear beside the
// target folder, and every link made inside it must have a safe target.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "download/archive_engine.h"
#include "download/archive_item_path.h"
#include "download/extract_sink.h"

namespace zev {

namespace {

constexpr uint64_t kMaxBytes = 8 << 20;

// Passes everything to a DirectorySink but refuses data past kMaxBytes, so
// that a small input cannot fill the disk.
class CappedSink : public ExtractSink {
 public:
  explicit CappedSink(DirectorySink* inner) : inner_(inner) {}
  bool MakeDirectory(const std::vector<std::string>& parts, mode_t mode) override {
    return Check(inner_->MakeDirectory(parts, mode));
  }
  bool MakeSymlink(const std::vector<std::string>& parts, const std::string& target) override {
    if (!IsSafeLinkTarget(target)) abort();  // the engine must have refused it
    return Check(inner_->MakeSymlink(parts, target));
  }
  bool OpenFile(const std::vector<std::string>& parts) override { return Check(inner_->OpenFile(parts)); }
  bool Write(const void* data, size_t size) override {
    if (size > kMaxBytes - written_) return false;
    written_ += size;
    return Check(inner_->Write(data, size));
  }
  bool CloseFile(mode_t mode) override { return Check(inner_->CloseFile(mode)); }
  void AbortFile() override { inner_->AbortFile(); }

 private:
  bool Check(bool ok) {
    if (!ok) error_ = inner_->error();
    return ok;
  }
  DirectorySink* inner_;
  uint64_t written_ = 0;
};

}  // namespace

}  // namespace zev

// libarchive sizes some buffers from header fields (coder properties) and
// copes when malloc fails. A forged header can ask for gigabytes: let ASan
// refuse any single request above 256 MiB as the C library would refuse an
// impossible one (before the fuzzer's own limit counts it as running out of
// memory), and answer null instead of reporting it.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=256"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zev;
  ArchiveInput input;
  input.data = data;
  input.size = size;
  uint64_t total = 0;
  ArchiveOutcome listed;
  ListArchive(input, &total, &listed);

  MemorySink memory(kMaxBytes);
  ArchiveOutcome in_memory;
  ExtractArchive(input, &memory, nullptr, &in_memory);
  for (const auto& item : memory.items()) {
    std::vector<std::string> parts;
    if (!SplitArchiveItemPath(item.first, &parts)) abort();
  }

  std::string parent = (std::filesystem::temp_directory_path() / "zevfuzz.XXXXXX").string();
  if (!mkdtemp(&parent[0])) return 0;
  std::string target = parent + "/t";
  if (mkdir(target.c_str(), 0700) == 0) {
    DirectorySink disk(target);
    if (disk.Open()) {
      CappedSink capped(&disk);
      ArchiveOutcome on_disk;
      ExtractArchive(input, &capped, nullptr, &on_disk);
    }
  }
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(parent)) {
    if (entry.path().filename() != "t") abort();
    ++entries;
  }
  if (entries != 1) abort();
  std::error_code ec;
  std::filesystem::remove_all(parent, ec);
  return 0;
}
