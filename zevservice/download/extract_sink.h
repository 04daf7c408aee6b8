// Where the extraction pipeline puts what it unpacks. Every call names its
// item by the parts of a checked relative path (SplitArchiveItemPath), never
// by a text that could still hold "..".
#ifndef ZEV_DOWNLOAD_EXTRACT_SINK_H_
#define ZEV_DOWNLOAD_EXTRACT_SINK_H_

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zev {

class ExtractSink {
 public:
  virtual ~ExtractSink() = default;

  // Each call returns false when the item could not be written; the reason
  // is then in error() (a text of the extraction log).
  virtual bool MakeDirectory(const std::vector<std::string>& parts, mode_t mode) = 0;
  virtual bool MakeSymlink(const std::vector<std::string>& parts, const std::string& target) = 0;
  // Starts a file; Write and CloseFile follow, or AbortFile. One file is open
  // at a time.
  virtual bool OpenFile(const std::vector<std::string>& parts) = 0;
  virtual bool Write(const void* data, size_t size) = 0;
  // Sets the final mode and finishes the file.
  virtual bool CloseFile(mode_t mode) = 0;
  // Drops the open file (what was written so far stays).
  virtual void AbortFile() = 0;

  // Gives the open file its item's modification time; called after the
  // last Write, before CloseFile. A sink that keeps no times ignores it.
  virtual bool SetFileTime(const struct timespec& /*mtime*/) { return true; }
  // Gives a folder made by MakeDirectory its item's modification time.
  // Called once every item is written, since each item made in a folder
  // moves its time.
  virtual bool SetFolderTime(const std::vector<std::string>& /*parts*/, const struct timespec& /*mtime*/) {
    return true;
  }

  const std::string& error() const { return error_; }

 protected:
  std::string error_;
};

// Writes below one folder of the file system. Every part is reached from the
// folder's descriptor with mkdirat/openat and O_NOFOLLOW, so a link inside
// the folder (made by this archive or found there) is never followed, and an
// existing file or link at an item's path is removed and made anew rather
// than written through. Not thread-safe.
class DirectorySink : public ExtractSink {
 public:
  // `root` must exist; Open() tells whether it could be opened.
  explicit DirectorySink(const std::string& root);
  ~DirectorySink() override;
  DirectorySink(const DirectorySink&) = delete;
  DirectorySink& operator=(const DirectorySink&) = delete;

  bool Open();

  bool MakeDirectory(const std::vector<std::string>& parts, mode_t mode) override;
  bool MakeSymlink(const std::vector<std::string>& parts, const std::string& target) override;
  bool OpenFile(const std::vector<std::string>& parts) override;
  bool Write(const void* data, size_t size) override;
  bool CloseFile(mode_t mode) override;
  void AbortFile() override;
  bool SetFileTime(const struct timespec& mtime) override;
  bool SetFolderTime(const std::vector<std::string>& parts, const struct timespec& mtime) override;

 private:
  // Opens (creating as needed) the folder that holds the last part and
  // returns its descriptor, or -1. The caller closes a descriptor other than
  // root_fd_.
  int OpenParent(const std::vector<std::string>& parts);
  // Removes whatever non-folder item sits at `name` in `dir_fd`.
  bool RemoveExisting(int dir_fd, const std::string& name, const std::string& shown);

  const std::string root_;
  int root_fd_ = -1;
  int file_fd_ = -1;
  std::string file_path_;  // shown in messages
};

// Keeps what it is given in memory (fuzzing, tests). A folder, a link and a
// file may not share a path; a file replaces a file. Stops accepting data
// after `max_bytes` in all.
class MemorySink : public ExtractSink {
 public:
  explicit MemorySink(uint64_t max_bytes) : max_bytes_(max_bytes) {}

  bool MakeDirectory(const std::vector<std::string>& parts, mode_t mode) override;
  bool MakeSymlink(const std::vector<std::string>& parts, const std::string& target) override;
  bool OpenFile(const std::vector<std::string>& parts) override;
  bool Write(const void* data, size_t size) override;
  bool CloseFile(mode_t mode) override;
  void AbortFile() override;

  struct Item {
    char kind;  // 'd', 'l' or 'f'
    mode_t mode;
    std::string content;  // the data of a file, the target of a link
  };
  const std::map<std::string, Item>& items() const { return items_; }

 private:
  const uint64_t max_bytes_;
  uint64_t total_bytes_ = 0;
  std::map<std::string, Item> items_;
  std::string open_path_;
  bool file_open_ = false;
};

}  // namespace zev

#endif  // ZEV_DOWNLOAD_EXTRACT_SINK_H_
