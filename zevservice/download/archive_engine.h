// The engine client: listing and extraction of 7z archives on libarchive's
// 7z reader. Every archive is read as 7z, whatever its name.
//
// Both operations run on the calling thread and switch that thread (only) to
// a UTF-8 locale while they run: in the "C" locale the reader gives no path
// for an item whose name is not ASCII. They may run on several threads at
// once; they share no state.
#ifndef ZEV_DOWNLOAD_ARCHIVE_ENGINE_H_
#define ZEV_DOWNLOAD_ARCHIVE_ENGINE_H_

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zev {

class ExtractSink;

// An archive to read: a file, or bytes in memory when `data` is set (they
// must outlive the call), or an open file when `fd` is not -1. An open file
// is read from its start whatever its offset, and left open with its offset
// moved; `path` then only names it in messages. Calls on one descriptor
// must not overlap.
struct ArchiveInput {
  std::string path;
  const void* data = nullptr;
  size_t size = 0;
  int fd = -1;
};

// What went wrong, for callers and tests. The same texts go to the log.
struct ArchiveOutcome {
  uint64_t error_count = 0;     // items that did not extract
  std::vector<std::string> messages;  // failure texts, the first 64 only
  bool encrypted = false;       // an item or the header needs a password
  bool cancelled = false;       // the stop flag was seen
};

// Item results of the engine (the operation result numbers).
enum ArchiveItemResult {
  kItemOk = 0,
  kItemUnsupportedMethod = 1,
  kItemDataError = 2,
  kItemCrcFailed = 3,
  kItemUnavailable = 4,
  kItemUnexpectedEnd = 5,
  kItemDataAfterEnd = 6,
  kItemIsNotArchive = 7,
  kItemHeadersError = 8,
};
// "CRC Failed" and so on; "Error #<n>" for a number outside the table.
std::string ItemResultText(int result);

// Lists the archive: *total_size := the sum of the item sizes (an item
// without a size counts 0), added with saturation so that forged sizes cannot
// wrap round to a small total. Each item is logged as "<size>  <path>".
// False when the archive cannot be opened or read as 7z, or its header is
// encrypted ("Password is not defined").
bool ListArchive(const ArchiveInput& input, uint64_t* total_size, ArchiveOutcome* outcome);

// Extracts every item into `sink`. True when every item was written. An
// item that fails (a refused name or link, a CRC or data error, an encrypted
// item, a write error) counts in outcome->error_count and the extraction
// goes on with the next item while the reader can; files written before a
// failure stay. `stop`, when given, is read between data blocks: once it is
// true the extraction ends and fails. `stop` and `sink` must outlive the
// call.
bool ExtractArchive(const ArchiveInput& input, ExtractSink* sink, const std::atomic<bool>* stop,
                    ArchiveOutcome* outcome);

// The mode a file item gets on disk: the archive's permission bits without
// set-id bits and without group/other write. `has_unix_mode` false (an
// archive made on Windows) gives 0755 to content starting with "\x7fELF" or
// "#!" and 0644 to the rest.
mode_t FileModeFor(mode_t archive_mode, bool has_unix_mode, const void* head, size_t head_size);

}  // namespace zev

#endif  // ZEV_DOWNLOAD_ARCHIVE_ENGINE_H_
