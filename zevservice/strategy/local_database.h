// What the server strategy keeps in the registry so that the service works
// without the strategy server and knows what it has installed, all under
// HKEY_LOCAL_MACHINE below a key derived from the machine (MakeDatabaseKey),
// each as the default value of its key:
//   <database key>DataVersion  the format version, "4";
//   <database key>Server       the last catalogue from the server: Base64 of
//                              the serialised CZEVApplications;
//   <database key>Local        the local database, every component version
//                              installed here: Base64 of the serialised
//                              CZEVApplications.
// "Server" and "Local" are split into parts when they outgrow the registry's
// read limit (SplitRegistryValue); up to it they are stored as said above.
//
// In the local database an application carries its code and, as its name,
// the Base64 text of the application name; each component carries one
// version per installed version text and archType.
#ifndef ZEV_STRATEGY_LOCAL_DATABASE_H_
#define ZEV_STRATEGY_LOCAL_DATABASE_H_

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/annotated_mutex.h"
#include "common/zevclasses/ZEVCommonDefine.pb.h"
#include "model/component_proxy.h"
#include "platform/registry.h"
#include "strategy/split_value.h"

namespace zev {

// Used when the machine's digest cannot be made.
extern const char kDefaultDatabaseGuid[];  // "{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}"
extern const char kCurrentDataVersion[];   // "4"

// "Software\Classes\CLSID\{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\" from the
// lower-case MD5 hex of `uid` followed by `access_key_id`; with the fixed
// kDefaultDatabaseGuid (logged as "initRegPath failed use defalt key:%s")
// when no digest of 32 characters can be made.
std::string MakeDatabaseKey(const std::string& uid, const std::string& access_key_id);
// The same for this machine: its uid (GetHardwareId kind 2) and the access
// key id the service sends to the strategy server.
std::string MakeDatabaseKey();
// The key for an already computed digest (exposed so that a failed digest
// can be tested).
std::string DatabaseKeyFromDigest(const std::string& md5_hex);

// The registry side of the server strategy. Safe from any thread: every
// operation on "Local" holds one lock across its load, change and save, and
// writes of "Server" and "DataVersion" hold another.
class LocalComponentDatabase {
 public:
  class Batch;

  // Works below `database_key` (ending with "\") in `registry`, which must
  // outlive this object. Touches nothing until called.
  LocalComponentDatabase(std::string database_key, RegistryStore* registry);
  LocalComponentDatabase(const LocalComponentDatabase&) = delete;
  LocalComponentDatabase& operator=(const LocalComponentDatabase&) = delete;

  const std::string& database_key() const { return database_key_; }

  // When "DataVersion" is not "4" (or cannot be read): logs "data version
  // changed, clear database", empties "Local" and, when that worked, writes
  // "4" to "DataVersion" and empties "Server". Failures are logged.
  void CheckDataVersion();

  // Stores `bytes` (a serialised catalogue) Base64-encoded as "Server".
  bool SaveServerCopy(const std::string& bytes);
  // The bytes stored as "Server" (possibly empty). False when it cannot be
  // read or does not decode; *bytes is then untouched.
  bool ReadServerCopy(std::string* bytes);

  // Reads "Local" into memory. True when it held a non-empty database.
  //  - The stored text is taken over only when it differs from the text
  //    this object last read or wrote: otherwise memory is already that
  //    database, plus whatever a failed save could not store yet.
  //  - A text that does not decode or parse leaves memory as it was, is
  //    logged, and counts as unreadable.
  //  - When "Local" is unreadable (missing, damaged) and memory holds
  //    records, they are written back ("Fill back components local
  //    success"/"... failed"); with nothing in memory that is logged
  //    ("Empty local-components records"). The result is false then.
  bool LoadLocalDatabase();
  // Writes the database in memory whole as "Local". False, logged, when the
  // registry refused it; memory keeps its records for the next save.
  bool SaveLocalDatabase();

  // Records an installed version: loads "Local", replaces the version of
  // the same version text and archType in the first component with the
  // entry's componentID of the first application with its code (or adds
  // the version, the component or the application), and saves. The result
  // is that of the save. False without a change for an entry without a
  // version. One load and one save per call: record many at once through
  // a Batch.
  bool RecordInstalled(const CZEVComponentProxy& entry);
  // Loads "Local", removes the record of the entry's version (same version
  // text and archType) from the first application with its code that has
  // one, then a component left without versions and an application
  // left without components, and saves. True only when something was
  // removed and the save worked.
  bool RemoveLocalRecord(const CZEVComponentProxy& entry);
  // The manifest updateTime recorded for the entry's version (same version
  // text and archType) in the first application with its code; -1 when
  // there is none. Reads memory only.
  int64_t GetRecordedUpdateTime(const CZEVComponentProxy& entry) const;

  // A copy of the database in memory.
  CZEVApplications GetLocalApplications() const;

 private:
  friend class Batch;

  // The first application with a code, and the components with a
  // componentID in each application, in order: what the lookups of the
  // records would find by scanning. Versions are scanned (a component holds
  // few). Rebuilt after a load or a removal, kept up by records.
  struct Index {
    bool valid = false;
    std::unordered_map<std::string, int> application;  // by code
    // By application index (four bytes) and componentID.
    std::unordered_map<std::string, std::vector<int>> components;
  };

  // With local_mu_ held; RecordLocked and RemoveLocked change memory only.
  bool LoadLocked() REQUIRES(local_mu_);
  bool SaveLocked() REQUIRES(local_mu_);
  bool RecordLocked(const CZEVComponentProxy& entry) REQUIRES(local_mu_);
  bool RemoveLocked(const CZEVComponentProxy& entry) REQUIRES(local_mu_);
  int64_t RecordedTimeLocked(const CZEVComponentProxy& entry) const REQUIRES(local_mu_);
  void LoadBeforeChange() REQUIRES(local_mu_);
  void BuildIndex() const REQUIRES(local_mu_);

  RegistryStore* const registry_;
  const std::string database_key_;

  // Serialises writes of "Server" and "DataVersion".
  Mutex server_mu_;
  SplitRegistryValue server_value_ GUARDED_BY(server_mu_);

  // Held across every load, change and save of the local database, so that
  // records made at the same time are never lost.
  mutable Mutex local_mu_;
  SplitRegistryValue local_value_ GUARDED_BY(local_mu_);
  CZEVApplications local_applications_ GUARDED_BY(local_mu_);
  // The "Local" text this object last read or wrote, when it knows one.
  std::string stored_text_ GUARDED_BY(local_mu_);
  bool stored_text_known_ GUARDED_BY(local_mu_) = false;
  mutable Index index_ GUARDED_BY(local_mu_);
};

// Many changes of the local database with one load and one save: the scope
// holds the database's lock from construction to Commit (or destruction),
// so other threads' records wait for it and are never lost. Do not call the
// database's own operations on the thread that holds an open Batch.
class LocalComponentDatabase::Batch {
 public:
  // Takes the lock and loads "Local" (as RecordInstalled does first).
  explicit Batch(LocalComponentDatabase* database);
  // Commits when Commit was not called.
  ~Batch();
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  // RecordInstalled, RemoveLocalRecord and GetRecordedUpdateTime of the
  // database, with the saving left to Commit. False (-1) after Commit, when
  // the entry has no version or nothing was removed.
  bool RecordInstalled(const CZEVComponentProxy& entry);
  bool RemoveLocalRecord(const CZEVComponentProxy& entry);
  int64_t GetRecordedUpdateTime(const CZEVComponentProxy& entry) const;

  // Saves once when anything changed and releases the lock. True when
  // nothing changed or the save worked; later calls answer the same.
  bool Commit();

 private:
  LocalComponentDatabase* const database_;
  // Holds the database's local_mu_ until Commit.
  std::optional<MutexLock> lock_;
  bool changed_ = false;
  bool committed_ = false;
  bool result_ = true;
};

}  // namespace zev

#endif  // ZEV_STRATEGY_LOCAL_DATABASE_H_
