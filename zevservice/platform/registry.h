// The registry: REG_SZ values kept in one SQLite database,
// "<common>/registry.db", shared by every process of an instance (the
// service, zevctl, tests).
//
// Key paths use "\" between their parts and compare without regard to ASCII
// case, as do value names; the default value of a key has the empty name.
// Leading and trailing "\" of a key path are ignored. Every write is one
// transaction (WAL, synchronous FULL): after a crash a value is either the old
// or the new one. All functions are safe from any thread and any process;
// none throws or logs. Each one leaves the reason for its failure in the
// calling thread's last-error text (RegLastError()).
#ifndef ZEV_PLATFORM_REGISTRY_H_
#define ZEV_PLATFORM_REGISTRY_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/annotated_mutex.h"

struct sqlite3;

namespace zev {

enum class RegRoot { kClassesRoot, kLocalMachine };

// kWow64_32 is the 32-bit view (KEY_WOW64_32KEY): "SOFTWARE\X" under the
// local machine becomes "SOFTWARE\WOW6432Node\X", "CLSID\X" under the classes
// root becomes "WOW6432Node\CLSID\X".
enum class RegView { kDefault, kWow64_32 };

// Largest value RegReadString returns: 2,097,152 bytes of UTF-16 data.
constexpr size_t kRegReadLimitUnits = 1048576;

struct RegEntry {
  std::string key;  // as it was first written
  std::string name;
  std::string value;
};

// One store: "registry.db" in a common data folder, with one connection
// that is opened on first use and reopened when the file was removed.
//
// The store holds the settings, the device id and the component records, so
// it is readable by the service's user only (0600, and SQLite gives its
// -wal and -shm files the same mode). The few values that clients running
// as other users must read (the HTTP endpoint's port) are also written to
// "registry-public.db" beside it (0644); a read of such a value that the
// private store cannot answer is answered from there.
class RegistryStore {
 public:
  // The store the free functions below use: it follows GetCommonDataDir()
  // at every call. It is the store of programs that are their own roots and
  // take the folder from the environment (zevctl, the tools), and of the
  // readers that still use the free functions; the service's root hands it
  // to its parts. Never destroyed.
  static RegistryStore& Default();

  // A store in `common_dir`; an empty folder means none (every operation
  // fails).
  explicit RegistryStore(std::string common_dir);
  ~RegistryStore();
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // The operations of the free functions of the same names (RegReadString,
  // RegWriteString, RegDeleteValue, RegDeleteTree, RegList) on this store.
  bool ReadString(RegRoot root, const std::string& key, const std::string& value_name, std::string* text,
                  RegView view = RegView::kDefault);
  bool WriteString(RegRoot root, const std::string& key, const std::string& value_name, const std::string& text,
                   RegView view = RegView::kDefault);
  bool DeleteValue(RegRoot root, const std::string& key, const std::string& value_name,
                   RegView view = RegView::kDefault);
  bool DeleteTree(RegRoot root, const std::string& key, RegView view = RegView::kDefault);
  bool List(RegRoot root, const std::string& key, std::vector<RegEntry>* entries,
            RegView view = RegView::kDefault);

  // Whether the store can be used: true when there is none yet (a first
  // start) or it opens and passes SQLite's quick check. False with *why
  // naming the file, what is wrong and what to do; the file is left as it
  // is, whatever it holds.
  bool Check(std::string* why);

  // Full path of the database file; empty without a common data folder.
  std::string DatabasePath() const;
  // Full path of the store of public values.
  std::string PublicDatabasePath() const;

  // Fault injection for tests, as a full disk would fail: caps the database
  // file at `pages` pages, so that a write needing more fails with SQLite's
  // SQLITE_FULL ("database or disk is full"). 0 lifts the cap. Holds for the
  // open connection and every later one of this store.
  void SetPageLimitForTesting(int64_t pages);

 private:
  RegistryStore(std::string common_dir, bool public_values, bool follows_process_folder);
  std::string CommonDir() const;
  // The store of public values, made on first use; null in that store.
  RegistryStore* PublicStore();
  template <typename Fn>
  bool With(bool create, Fn fn);
  bool Open(bool create) REQUIRES(mu_);
  void Close() REQUIRES(mu_);
  void ApplyPageLimit() REQUIRES(mu_);  // db_ open

  const std::string common_dir_;
  const bool public_values_ = false;
  // Default() and its public store: the folder is GetCommonDataDir() at
  // every call.
  const bool follows_process_folder_ = false;
  std::once_flag public_once_;
  std::unique_ptr<RegistryStore> public_;  // set once under public_once_
  Mutex mu_;
  sqlite3* db_ GUARDED_BY(mu_) = nullptr;
  std::string path_ GUARDED_BY(mu_);
  int64_t page_limit_ GUARDED_BY(mu_) = 0;
};

// Why the calling thread's last registry operation failed: SQLite's own
// message ("database or disk is full", "file is not a database", ...), or
// the reason the operation was refused before the store was asked ("the
// text is not valid UTF-8", "the value does not exist"). Empty after an
// operation that succeeded.
const std::string& RegLastError();

// Reads a value. False when the key or value is missing, the store cannot be
// read, or the value is longer than kRegReadLimitUnits UTF-16 units.
bool RegReadString(RegRoot root, const std::string& key, const std::string& value_name,
                   std::string* text, RegView view = RegView::kDefault);
// Creates or replaces a value. False when the text is not valid UTF-8 or the
// store cannot be written.
bool RegWriteString(RegRoot root, const std::string& key, const std::string& value_name,
                    const std::string& text, RegView view = RegView::kDefault);
// Removes one value. False when it did not exist or the store failed.
bool RegDeleteValue(RegRoot root, const std::string& key, const std::string& value_name,
                    RegView view = RegView::kDefault);
// Removes a key with every value at or below it. False when nothing was there.
bool RegDeleteTree(RegRoot root, const std::string& key, RegView view = RegView::kDefault);

// Every value at or below `key` (all of the root for an empty key), ordered
// by key and name. False when the store cannot be read.
bool RegList(RegRoot root, const std::string& key, std::vector<RegEntry>* entries,
             RegView view = RegView::kDefault);

// "HKCR"/"HKEY_CLASSES_ROOT", "HKLM"/"HKEY_LOCAL_MACHINE" (any case).
bool ParseRegRoot(const std::string& text, RegRoot* root);
const char* RegRootName(RegRoot root);

// The key path after normalisation and, for the 32-bit view, redirection.
std::string RegResolveKey(RegRoot root, const std::string& key, RegView view);
// Full path of the database file; empty without a common data folder.
std::string RegistryDatabasePath();

}  // namespace zev

#endif  // ZEV_PLATFORM_REGISTRY_H_
