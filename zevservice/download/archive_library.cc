#include "download/archive_library.h"

#include <dlfcn.h>

#include "base/annotated_mutex.h"
#include "base/log.h"

namespace zev {

namespace {

// The library of the version the program was built against.
constexpr char kArchiveSoname[] = "libarchive.so.13";

Mutex loader_mu;
int holders GUARDED_BY(loader_mu) = 0;
void* handle GUARDED_BY(loader_mu) = nullptr;
ArchiveFunctions functions;  // written by the first holder, under loader_mu

template <typename F>
bool Find(void* library, const char* name, F* function) {
  *function = reinterpret_cast<F>(dlsym(library, name));
  return *function != nullptr;
}

bool FindAll(void* l, ArchiveFunctions* f) {
  return Find(l, "archive_read_new", &f->read_new) && Find(l, "archive_read_free", &f->read_free) &&
         Find(l, "archive_read_support_format_7zip", &f->read_support_format_7zip) &&
         Find(l, "archive_read_open_memory", &f->read_open_memory) &&
         Find(l, "archive_read_open_fd", &f->read_open_fd) &&
         Find(l, "archive_read_next_header", &f->read_next_header) &&
         Find(l, "archive_read_data_block", &f->read_data_block) &&
         Find(l, "archive_read_has_encrypted_entries", &f->read_has_encrypted_entries) &&
         Find(l, "archive_error_string", &f->error_string) &&
         Find(l, "archive_entry_is_encrypted", &f->entry_is_encrypted) &&
         Find(l, "archive_entry_mode", &f->entry_mode) && Find(l, "archive_entry_mtime", &f->entry_mtime) &&
         Find(l, "archive_entry_mtime_is_set", &f->entry_mtime_is_set) &&
         Find(l, "archive_entry_mtime_nsec", &f->entry_mtime_nsec) &&
         Find(l, "archive_entry_pathname", &f->entry_pathname) &&
         Find(l, "archive_entry_pathname_utf8", &f->entry_pathname_utf8) &&
         Find(l, "archive_entry_size", &f->entry_size) &&
         Find(l, "archive_entry_size_is_set", &f->entry_size_is_set) &&
         Find(l, "archive_entry_symlink", &f->entry_symlink) &&
         Find(l, "archive_entry_symlink_utf8", &f->entry_symlink_utf8);
}

}  // namespace

ArchiveLibrary::ArchiveLibrary() {
  MutexLock lock(&loader_mu);
  if (holders == 0) {
    handle = dlopen(kArchiveSoname, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr || !FindAll(handle, &functions)) {
      const char* why = dlerror();
      LogWrite(kLogError, "cannot load %s: %s", kArchiveSoname, why != nullptr ? why : "a function is missing");
      if (handle != nullptr) dlclose(handle);
      handle = nullptr;
      return;
    }
  }
  ++holders;
  loaded_ = true;
}

ArchiveLibrary::~ArchiveLibrary() {
  if (!loaded_) return;
  MutexLock lock(&loader_mu);
  if (--holders == 0) {
    dlclose(handle);
    handle = nullptr;
  }
}

const ArchiveFunctions& Archive() { return functions; }

}  // namespace zev
