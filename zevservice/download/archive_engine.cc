#include "download/archive_engine.h"

#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "base/log.h"
#include "download/archive_library.h"
#include "download/archive_item_path.h"
#include "download/extract_sink.h"

namespace zev {

namespace {

constexpr size_t kMaxMessages = 64;
constexpr size_t kReadBlockSize = 1 << 16;

// The reader converts item names to the thread's multibyte locale; "C" cannot
// hold them. The locale object is made once and kept for the process.
class ScopedUtf8Locale {
 public:
  ScopedUtf8Locale() {
    static const locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (utf8 != static_cast<locale_t>(0)) previous_ = uselocale(utf8);
  }
  ~ScopedUtf8Locale() {
    if (previous_ != static_cast<locale_t>(0)) uselocale(previous_);
  }
  ScopedUtf8Locale(const ScopedUtf8Locale&) = delete;
  ScopedUtf8Locale& operator=(const ScopedUtf8Locale&) = delete;

 private:
  locale_t previous_ = static_cast<locale_t>(0);
};

void Note(ArchiveOutcome* outcome, const std::string& text) {
  LogWrite(kLogError, "%s", text.c_str());
  if (outcome->messages.size() < kMaxMessages) outcome->messages.push_back(text);
}

// Owns one reader and the descriptor of the archive file.
class Reader {
 public:
  Reader() : archive_(library_.loaded() ? Archive().read_new() : nullptr) {
    if (archive_) Archive().read_support_format_7zip(archive_);
  }
  ~Reader() {
    if (archive_) Archive().read_free(archive_);
    if (fd_ >= 0) close(fd_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  bool Open(const ArchiveInput& input, ArchiveOutcome* outcome) {
    if (!archive_) return false;
    int r;
    if (input.data) {
      r = Archive().read_open_memory(archive_, input.data, input.size);
    } else if (input.fd >= 0) {
      // The reader counts offsets from where it starts; the caller's
      // descriptor may have been read before.
      if (lseek(input.fd, 0, SEEK_SET) != 0) {
        Note(outcome, "Error: Can not open archive file " + input.path);
        return false;
      }
      r = Archive().read_open_fd(archive_, input.fd, kReadBlockSize);
    } else {
      fd_ = open(input.path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd_ < 0) {
        Note(outcome, "Error: Can not open archive file " + input.path);
        return false;
      }
      r = Archive().read_open_fd(archive_, fd_, kReadBlockSize);
    }
    if (r != ARCHIVE_OK) {
      Note(outcome, "Error: Can not open file as archive " + input.path);
      return false;
    }
    return true;
  }

  // ARCHIVE_OK with *entry set, ARCHIVE_EOF, or a failure already noted.
  int Next(struct archive_entry** entry, const ArchiveInput& input, ArchiveOutcome* outcome) {
    int r = Archive().read_next_header(archive_, entry);
    if (r == ARCHIVE_OK || r == ARCHIVE_WARN) return ARCHIVE_OK;
    if (r == ARCHIVE_EOF) return r;
    const char* why = Archive().error_string(archive_);
    if (Archive().read_has_encrypted_entries(archive_) > 0 || (why && strstr(why, "ncrypt"))) {
      outcome->encrypted = true;
      Note(outcome, "Password is not defined");
    } else if (r == ARCHIVE_FATAL) {
      Note(outcome, "Error: Can not open file as archive " + input.path + (why ? std::string(": ") + why : ""));
    } else {
      Note(outcome, "  :  Error : " + ItemResultText(kItemHeadersError));
    }
    return r;
  }

  struct archive* get() { return archive_; }

 private:
  ArchiveLibrary library_;  // held while the reader and its entries are in use
  struct archive* archive_;
  int fd_ = -1;
};

std::string ItemName(struct archive_entry* entry) {
  const char* name = Archive().entry_pathname_utf8(entry);
  if (!name) name = Archive().entry_pathname(entry);
  return name && *name ? name : "[Content]";
}

// The item's modification time, when the archive gives one.
bool ItemTime(struct archive_entry* entry, struct timespec* mtime) {
  if (!Archive().entry_mtime_is_set(entry)) return false;
  mtime->tv_sec = Archive().entry_mtime(entry);
  const long nsec = Archive().entry_mtime_nsec(entry);
  mtime->tv_nsec = nsec >= 0 && nsec < 1000000000L ? nsec : 0;
  return true;
}

// Reads the data of the current item into the sink. Returns an item result;
// *fatal tells that the reader cannot go on.
int CopyItemData(struct archive* a, ExtractSink* sink, const std::atomic<bool>* stop, mode_t archive_mode,
                 bool has_unix_mode, const struct timespec* mtime, ArchiveOutcome* outcome, bool* fatal) {
  unsigned char head[4];
  size_t head_size = 0;
  uint64_t written = 0;
  int result = kItemOk;
  for (;;) {
    if (stop && stop->load(std::memory_order_relaxed)) {
      outcome->cancelled = true;
      *fatal = true;
      sink->AbortFile();
      return kItemUnexpectedEnd;
    }
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    int r = Archive().read_data_block(a, &block, &size, &offset);
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) {
      *fatal = r == ARCHIVE_FATAL;
      const char* why = Archive().error_string(a);
      if (why && strstr(why, "ncrypt")) {
        outcome->encrypted = true;
        Note(outcome, "Password is not defined");
      }
      sink->AbortFile();
      return why && strstr(why, "nsupported") ? kItemUnsupportedMethod : kItemDataError;
    }
    // A CRC mismatch comes back as a warning with the last block.
    if (r == ARCHIVE_WARN) result = kItemCrcFailed;
    if (size > 0) {
      if (offset < 0 || static_cast<uint64_t>(offset) != written) {
        sink->AbortFile();
        return kItemDataError;
      }
      size_t take = std::min(sizeof(head) - head_size, size);
      memcpy(head + head_size, block, take);
      head_size += take;
      if (!sink->Write(block, size)) {
        Note(outcome, sink->error());
        sink->AbortFile();
        return kItemDataError;
      }
      written += size;
    } else if (r == ARCHIVE_WARN) {
      break;
    }
  }
  // Not a failure of the item: its data is all there.
  if (mtime && !sink->SetFileTime(*mtime)) LogWrite(kLogWarning, "%s", sink->error().c_str());
  if (!sink->CloseFile(FileModeFor(archive_mode, has_unix_mode, head, head_size))) {
    Note(outcome, sink->error());
    return kItemDataError;
  }
  return result;
}

}  // namespace

std::string ItemResultText(int result) {
  static const char* const kTexts[] = {
      "OK",
      "Unsupported Method",
      "Data Error",
      "CRC Failed",
      "Unavailable data",
      "Unexpected end of data",
      "There are some data after the end of the payload data",
      "Is not archive",
      "Headers Error",
  };
  if (result >= 0 && result < static_cast<int>(sizeof(kTexts) / sizeof(kTexts[0]))) return kTexts[result];
  return "Error #" + std::to_string(result);
}

mode_t FileModeFor(mode_t archive_mode, bool has_unix_mode, const void* head, size_t head_size) {
  if (has_unix_mode) return archive_mode & 0755;
  const unsigned char* bytes = static_cast<const unsigned char*>(head);
  bool elf = head_size >= 4 && memcmp(bytes, "\x7f" "ELF", 4) == 0;
  bool script = head_size >= 2 && bytes[0] == '#' && bytes[1] == '!';
  return elf || script ? 0755 : 0644;
}

bool ListArchive(const ArchiveInput& input, uint64_t* total_size, ArchiveOutcome* outcome) {
  ScopedUtf8Locale utf8;
  Reader reader;
  *total_size = 0;
  if (!reader.Open(input, outcome)) return false;
  uint64_t total = 0;
  for (;;) {
    struct archive_entry* entry = nullptr;
    int r = reader.Next(&entry, input, outcome);
    if (r == ARCHIVE_EOF) break;
    if (r != ARCHIVE_OK) return false;
    // The reader keeps sizes as signed numbers; a forged size of 2^63 or more
    // comes back negative and is taken back as the unsigned number it was.
    uint64_t size = Archive().entry_size_is_set(entry) ? static_cast<uint64_t>(Archive().entry_size(entry)) : 0;
    total = SaturatingAdd(total, size);
    LogWrite(kLogInfo, "%llu  %s", static_cast<unsigned long long>(size), ItemName(entry).c_str());
  }
  *total_size = total;
  return true;
}

bool ExtractArchive(const ArchiveInput& input, ExtractSink* sink, const std::atomic<bool>* stop,
                    ArchiveOutcome* outcome) {
  ScopedUtf8Locale utf8;
  Reader reader;
  if (!reader.Open(input, outcome)) return false;
  std::vector<std::pair<std::vector<std::string>, struct timespec>> folder_times;
  for (;;) {
    if (stop && stop->load(std::memory_order_relaxed)) {
      outcome->cancelled = true;
      Note(outcome, "Extract Error, cancelled");
      return false;
    }
    struct archive_entry* entry = nullptr;
    int r = reader.Next(&entry, input, outcome);
    if (r == ARCHIVE_EOF) break;
    if (r != ARCHIVE_OK) {
      ++outcome->error_count;
      return false;
    }
    std::string name = ItemName(entry);
    LogWrite(kLogInfo, "Extracting  %s", name.c_str());
    if (Archive().entry_is_encrypted(entry)) {
      // Packages are never given a password.
      outcome->encrypted = true;
      ++outcome->error_count;
      Note(outcome, "Password is not defined");
      return false;
    }
    std::vector<std::string> parts;
    if (!SplitArchiveItemPath(name, &parts)) {
      ++outcome->error_count;
      Note(outcome, "Error: refused item path " + name);
      continue;
    }
    mode_t mode = Archive().entry_mode(entry);
    mode_t type = mode & AE_IFMT;
    struct timespec mtime;
    const bool has_mtime = ItemTime(entry, &mtime);
    int result = kItemOk;
    bool fatal = false;
    if (type == AE_IFDIR) {
      // The owner keeps full rights on folders so that later items fit in.
      if (!sink->MakeDirectory(parts, (mode & 0755) | 0700)) {
        Note(outcome, sink->error());
        result = kItemDataError;
      } else if (has_mtime) {
        folder_times.emplace_back(parts, mtime);
      }
    } else if (type == AE_IFLNK) {
      const char* target = Archive().entry_symlink_utf8(entry);
      if (!target) target = Archive().entry_symlink(entry);
      if (!target || !IsSafeLinkTarget(target)) {
        Note(outcome, "Error: refused link " + name + " -> " + (target ? target : ""));
        result = kItemDataError;
      } else if (!sink->MakeSymlink(parts, target)) {
        Note(outcome, sink->error());
        result = kItemDataError;
      }
    } else if (!sink->OpenFile(parts)) {
      // FIFOs, devices and sockets are written as plain files with their data.
      Note(outcome, sink->error());
      result = kItemDataError;
    } else {
      // Made on Windows, an item carries attributes, not a mode, and the
      // reader fills in 0666 (0444 when read-only).
      mode_t perms = mode & 07777;
      bool has_unix_mode = perms != 0666 && perms != 0444;
      result = CopyItemData(reader.get(), sink, stop, mode, has_unix_mode, has_mtime ? &mtime : nullptr, outcome,
                            &fatal);
    }
    if (result != kItemOk) {
      ++outcome->error_count;
      Note(outcome, "  :  Error : " + ItemResultText(result) + " " + name);
    }
    if (fatal) return false;
  }
  for (const auto& [parts, mtime] : folder_times) {
    if (!sink->SetFolderTime(parts, mtime)) LogWrite(kLogWarning, "%s", sink->error().c_str());
  }
  if (outcome->error_count > 0) {
    Note(outcome, std::to_string(outcome->error_count) + " File Extract Failed, fatal error");
    return false;
  }
  return true;
}

}  // namespace zev
