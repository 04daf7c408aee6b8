// libarchive, loaded only while an archive is read: with the compression,
// XML and ICU libraries it brings, it maps close to 2 MB that the service at
// rest has no use for. Archive() is its table of functions, which may be
// called only while an ArchiveLibrary that loaded() holds the library.
#ifndef ZEV_DOWNLOAD_ARCHIVE_LIBRARY_H_
#define ZEV_DOWNLOAD_ARCHIVE_LIBRARY_H_

#include <archive.h>
#include <archive_entry.h>

namespace zev {

class ArchiveLibrary {
 public:
  // Loads the library, or counts one more holder.
  ArchiveLibrary();
  // The last holder unloads it.
  ~ArchiveLibrary();
  ArchiveLibrary(const ArchiveLibrary&) = delete;
  ArchiveLibrary& operator=(const ArchiveLibrary&) = delete;

  bool loaded() const { return loaded_; }

 private:
  bool loaded_ = false;
};

struct ArchiveFunctions {
  decltype(&::archive_read_new) read_new;
  decltype(&::archive_read_free) read_free;
  decltype(&::archive_read_support_format_7zip) read_support_format_7zip;
  decltype(&::archive_read_open_memory) read_open_memory;
  decltype(&::archive_read_open_fd) read_open_fd;
  decltype(&::archive_read_next_header) read_next_header;
  decltype(&::archive_read_data_block) read_data_block;
  decltype(&::archive_read_has_encrypted_entries) read_has_encrypted_entries;
  decltype(&::archive_error_string) error_string;
  decltype(&::archive_entry_is_encrypted) entry_is_encrypted;
  decltype(&::archive_entry_mode) entry_mode;
  decltype(&::archive_entry_mtime) entry_mtime;
  decltype(&::archive_entry_mtime_is_set) entry_mtime_is_set;
  decltype(&::archive_entry_mtime_nsec) entry_mtime_nsec;
  decltype(&::archive_entry_pathname) entry_pathname;
  decltype(&::archive_entry_pathname_utf8) entry_pathname_utf8;
  decltype(&::archive_entry_size) entry_size;
  decltype(&::archive_entry_size_is_set) entry_size_is_set;
  decltype(&::archive_entry_symlink) entry_symlink;
  decltype(&::archive_entry_symlink_utf8) entry_symlink_utf8;
};

const ArchiveFunctions& Archive();

}  // namespace zev

#endif  // ZEV_DOWNLOAD_ARCHIVE_LIBRARY_H_
