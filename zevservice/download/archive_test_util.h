// Helpers of the download tests: running the real 7z tool, writing 7z
// archives with libarchive's writer, reading files back.
#ifndef ZEV_DOWNLOAD_ARCHIVE_TEST_UTIL_H_
#define ZEV_DOWNLOAD_ARCHIVE_TEST_UTIL_H_

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/digest.h"
#include "platform/paths.h"

namespace zev {

// Runs /usr/bin/7z with `args` in `cwd`, output to /dev/null. True on exit 0.
inline bool Run7z(const std::string& cwd, const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("7z"));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv("/usr/bin/7z", argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One item for WriteArchive7z.
struct TestItem {
  std::string name;
  mode_t type;          // AE_IFREG, AE_IFDIR or AE_IFLNK
  std::string content;  // data of a file, target of a link
  mode_t perms = 0644;
};

// Writes a 7z archive with libarchive's writer. Names are written as given.
inline bool WriteArchive7z(const std::string& path, const std::vector<TestItem>& items) {
  struct archive* a = archive_write_new();
  bool ok = archive_write_set_format_7zip(a) == ARCHIVE_OK && archive_write_open_filename(a, path.c_str()) == ARCHIVE_OK;
  for (const TestItem& item : items) {
    if (!ok) break;
    struct archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, item.name.c_str());
    archive_entry_set_filetype(entry, item.type);
    archive_entry_set_perm(entry, item.perms);
    if (item.type == AE_IFLNK) {
      archive_entry_set_symlink(entry, item.content.c_str());
      archive_entry_set_size(entry, 0);
    } else {
      archive_entry_set_size(entry, item.type == AE_IFREG ? static_cast<la_int64_t>(item.content.size()) : 0);
    }
    ok = archive_write_header(a, entry) == ARCHIVE_OK;
    if (ok && item.type == AE_IFREG && !item.content.empty())
      ok = archive_write_data(a, item.content.data(), item.content.size()) == static_cast<la_ssize_t>(item.content.size());
    archive_entry_free(entry);
  }
  ok = archive_write_close(a) == ARCHIVE_OK && ok;
  archive_write_free(a);
  return ok;
}

inline std::string ReadAll(const std::string& path) {
  std::string data;
  return ReadFileToString(path, &data) ? data : std::string("<missing>");
}

inline mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// A package as a catalogue lists it: a 7z made by the 7z tool from one file,
// with the digests of the package and of the file inside.
struct TestPackage {
  std::string bytes;
  std::string zup_hash;  // of the package
  std::string hash;      // of the file inside
};

// Writes `content` as `stage`/`inner_name` (`stage` must exist and hold no
// "pkg.7z"), packs it and reads the package back.
inline bool MakeTestPackage(const std::string& stage, const std::string& inner_name, const std::string& content,
                            TestPackage* package) {
  if (!WriteFileAtomically(stage + "/" + inner_name, content) || !Run7z(stage, {"a", "-t7z", "pkg.7z", inner_name}) ||
      !ReadFileToString(stage + "/pkg.7z", &package->bytes))
    return false;
  package->zup_hash = Sha256Hex(package->bytes.data(), package->bytes.size());
  package->hash = Sha256Hex(content.data(), content.size());
  return true;
}

}  // namespace zev

#endif  // ZEV_DOWNLOAD_ARCHIVE_TEST_UTIL_H_
