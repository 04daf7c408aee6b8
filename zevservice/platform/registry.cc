#include "platform/registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/paths.h"
#include "platform/text.h"

namespace zev {

namespace {

constexpr int kBusyTimeoutMs = 10000;
// max_page_count that lifts a test's cap: SQLite's default before 3.45,
// 4 TiB of 4 KiB pages.
constexpr int64_t kNoPageLimit = 1073741823;

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS reg_values("
    " root INTEGER NOT NULL,"
    " key TEXT NOT NULL COLLATE NOCASE,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " value TEXT NOT NULL,"
    " PRIMARY KEY(root, key, name)) WITHOUT ROWID;";

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  void Bind(int index, int value) { sqlite3_bind_int(stmt_, index, value); }
  void Bind(int index, const std::string& value) {
    sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  }
  int Step() { return sqlite3_step(stmt_); }
  std::string Column(int index) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
    int len = sqlite3_column_bytes(stmt_, index);
    return text ? std::string(text, static_cast<size_t>(len)) : std::string();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

std::string NormaliseKey(const std::string& key) {
  size_t begin = key.find_first_not_of('\\');
  if (begin == std::string::npos) return std::string();
  size_t end = key.find_last_not_of('\\');
  return key.substr(begin, end - begin + 1);
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t n = strlen(prefix);
  return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

// Number of UTF-16 units of valid UTF-8 text.
size_t Utf16Units(const std::string& text) {
  size_t units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) == 0x80) continue;
    units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

std::string& LastError() {
  thread_local std::string text;
  return text;
}

bool Fail(std::string why) {
  LastError() = std::move(why);
  return false;
}

bool SqliteFail(sqlite3* db) { return Fail(db != nullptr ? sqlite3_errmsg(db) : "out of memory"); }

// LIKE pattern matching everything strictly below `key` ("key\%"), with the
// LIKE wildcards of the key escaped.
std::string BelowPattern(const std::string& key) {
  std::string out;
  for (char c : key) {
    if (c == '%' || c == '_' || c == '!') out.push_back('!');
    out.push_back(c);
  }
  return out + "\\%";
}

// Values that clients of every user read; each is kept in the public store
// as well. Keys as RegResolveKey gives them.
struct PublicValue {
  RegRoot root;
  const char* key;
  const char* name;
};
constexpr PublicValue kPublicValues[] = {
    {RegRoot::kClassesRoot, "CLSID\\{B3B39D20-92D3-4902-8C96-A571D56D2D94}\\Port", "zevservicePort"},
    {RegRoot::kClassesRoot, "WOW6432Node\\CLSID\\{B3B39D20-92D3-4902-8C96-A571D56D2D94}\\Port",
     "zevservicePort"},
};

bool IsPublicValue(RegRoot root, const std::string& resolved_key, const std::string& name) {
  for (const PublicValue& v : kPublicValues) {
    if (v.root == root && strcasecmp(v.key, resolved_key.c_str()) == 0 && strcasecmp(v.name, name.c_str()) == 0)
      return true;
  }
  return false;
}

// Whether a public value lies at or below `resolved_key`.
bool HoldsPublicValue(RegRoot root, const std::string& resolved_key) {
  for (const PublicValue& v : kPublicValues) {
    const size_t n = resolved_key.size();
    if (v.root == root && strncasecmp(v.key, resolved_key.c_str(), n) == 0 && (v.key[n] == '\0' || v.key[n] == '\\'))
      return true;
  }
  return false;
}

// Creates an empty database file with exactly `mode` before SQLite makes
// one with its own default; an existing file of this user gets `mode` too,
// and so do its -wal and -shm files. A link is never followed.
void PrepareDatabaseFile(const std::string& path, mode_t mode) {
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string file = path + suffix;
    int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (*suffix == '\0' ? O_CREAT : 0), mode);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 07777) != mode)
      fchmod(fd, mode);
    close(fd);
  }
}

}  // namespace

RegistryStore& RegistryStore::Default() {
  static RegistryStore* store = new RegistryStore(std::string(), false, true);  // lives until process exit
  return *store;
}

RegistryStore::RegistryStore(std::string common_dir) : common_dir_(std::move(common_dir)) {}

RegistryStore::RegistryStore(std::string common_dir, bool public_values, bool follows_process_folder)
    : common_dir_(std::move(common_dir)),
      public_values_(public_values),
      follows_process_folder_(follows_process_folder) {}

RegistryStore* RegistryStore::PublicStore() {
  if (public_values_) return nullptr;
  std::call_once(public_once_,
                 [this] { public_.reset(new RegistryStore(common_dir_, true, follows_process_folder_)); });
  return public_.get();
}

RegistryStore::~RegistryStore() {
  MutexLock lock(&mu_);
  Close();
}

std::string RegistryStore::CommonDir() const { return follows_process_folder_ ? GetCommonDataDir() : common_dir_; }

std::string RegistryStore::DatabasePath() const {
  std::string common = CommonDir();
  return common.empty() ? std::string() : JoinPath(common, public_values_ ? "registry-public.db" : "registry.db");
}

std::string RegistryStore::PublicDatabasePath() const {
  std::string common = CommonDir();
  return common.empty() ? std::string() : JoinPath(common, "registry-public.db");
}

template <typename Fn>
bool RegistryStore::With(bool create, Fn fn) {
  MutexLock lock(&mu_);
  LastError().clear();
  if (!Open(create)) return false;
  return fn(db_);
}

bool RegistryStore::Open(bool create) {
  std::string path = DatabasePath();
  if (path.empty()) return Fail("no common data folder");
  if (db_ != nullptr && path == path_ && FileExists(path)) return true;
  Close();
  if (!create && !FileExists(path)) return Fail("no store at " + path);
  if (create && !CreateDirectories(CommonDir())) {
    return Fail("cannot create " + CommonDir() + ": " + strerror(errno));
  }
  if (create) PrepareDatabaseFile(path, public_values_ ? 0644 : 0600);
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    SqliteFail(db_);
    Close();
    return false;
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  if (page_limit_ > 0) ApplyPageLimit();
  // Readers of the public store may not write its folder, so it keeps no
  // -shm file for them to need.
  sqlite3_exec(db_, public_values_ ? "PRAGMA journal_mode=DELETE;" : "PRAGMA journal_mode=WAL;", nullptr, nullptr,
               nullptr);
  if (sqlite3_exec(db_, "PRAGMA synchronous=FULL;", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    SqliteFail(db_);
    Close();
    return false;
  }
  path_ = path;
  return true;
}

void RegistryStore::ApplyPageLimit() {
  std::string sql = "PRAGMA max_page_count=" + std::to_string(page_limit_ > 0 ? page_limit_ : kNoPageLimit) + ";";
  sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}

void RegistryStore::SetPageLimitForTesting(int64_t pages) {
  MutexLock lock(&mu_);
  page_limit_ = pages;
  if (db_ != nullptr) ApplyPageLimit();
}

void RegistryStore::Close() {
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
  path_.clear();
}

std::string RegistryDatabasePath() { return RegistryStore::Default().DatabasePath(); }

std::string RegResolveKey(RegRoot root, const std::string& key, RegView view) {
  std::string k = NormaliseKey(key);
  if (view != RegView::kWow64_32) return k;
  if (root == RegRoot::kLocalMachine && StartsWithNoCase(k, "SOFTWARE\\") &&
      !StartsWithNoCase(k, "SOFTWARE\\WOW6432Node\\") && strcasecmp(k.c_str(), "SOFTWARE\\WOW6432Node") != 0) {
    return k.substr(0, 9) + "WOW6432Node\\" + k.substr(9);
  }
  if (root == RegRoot::kClassesRoot && (StartsWithNoCase(k, "CLSID\\") || strcasecmp(k.c_str(), "CLSID") == 0)) {
    return "WOW6432Node\\" + k;
  }
  return k;
}

bool RegistryStore::Check(std::string* why) {
  const std::string path = DatabasePath();
  struct stat st;
  if (path.empty() || (lstat(path.c_str(), &st) != 0 && errno == ENOENT)) return true;
  const bool whole = (S_ISREG(st.st_mode) || Fail("not a regular file")) && With(false, [](sqlite3* db) {
    Statement check(db, "PRAGMA quick_check(1);");
    if (!check.ok()) return SqliteFail(db);
    if (check.Step() != SQLITE_ROW) return SqliteFail(db);
    const std::string result = check.Column(0);
    return result == "ok" || Fail(result);
  });
  if (!whole) {
    *why = "the registry store " + path + " cannot be used (" + RegLastError() +
           "); move it aside to start afresh with default settings and no component records";
  }
  return whole;
}

bool RegistryStore::ReadString(RegRoot root, const std::string& key, const std::string& value_name,
                               std::string* text, RegView view) {
  std::string k = RegResolveKey(root, key, view);
  const bool found = With(false, [&](sqlite3* db) {
    Statement st(db, "SELECT value FROM reg_values WHERE root=?1 AND key=?2 AND name=?3;");
    if (!st.ok()) return SqliteFail(db);
    st.Bind(1, static_cast<int>(root));
    st.Bind(2, k);
    st.Bind(3, value_name);
    int rc = st.Step();
    if (rc == SQLITE_DONE) return Fail("the value does not exist");
    if (rc != SQLITE_ROW) return SqliteFail(db);
    std::string value = st.Column(0);
    if (Utf16Units(value) > kRegReadLimitUnits) return Fail("the value is longer than the read limit");
    *text = std::move(value);
    return true;
  });
  if (found || !IsPublicValue(root, k, value_name) || PublicStore() == nullptr) return found;
  // Another user's client cannot open the private store.
  const std::string why = RegLastError();
  if (PublicStore()->ReadString(root, k, value_name, text)) return true;
  LastError() = why;
  return false;
}

bool RegistryStore::WriteString(RegRoot root, const std::string& key, const std::string& value_name,
                                const std::string& text, RegView view) {
  if (!IsValidUtf8(text) || !IsValidUtf8(key) || !IsValidUtf8(value_name)) {
    return Fail("the text is not valid UTF-8");
  }
  std::string k = RegResolveKey(root, key, view);
  if (k.empty()) return Fail("the key is empty");
  const bool written = With(true, [&](sqlite3* db) {
    // An existing row keeps the spelling of its key and name; only the value changes.
    Statement st(db,
                 "INSERT INTO reg_values(root, key, name, value) VALUES(?1, ?2, ?3, ?4) "
                 "ON CONFLICT(root, key, name) DO UPDATE SET value=excluded.value;");
    if (!st.ok()) return SqliteFail(db);
    st.Bind(1, static_cast<int>(root));
    st.Bind(2, k);
    st.Bind(3, value_name);
    st.Bind(4, text);
    return st.Step() == SQLITE_DONE || SqliteFail(db);
  });
  if (!written || !IsPublicValue(root, k, value_name) || PublicStore() == nullptr) return written;
  return PublicStore()->WriteString(root, k, value_name, text);
}

bool RegistryStore::DeleteValue(RegRoot root, const std::string& key, const std::string& value_name,
                                RegView view) {
  std::string k = RegResolveKey(root, key, view);
  const bool deleted = With(false, [&](sqlite3* db) {
    Statement st(db, "DELETE FROM reg_values WHERE root=?1 AND key=?2 AND name=?3;");
    if (!st.ok()) return SqliteFail(db);
    st.Bind(1, static_cast<int>(root));
    st.Bind(2, k);
    st.Bind(3, value_name);
    if (st.Step() != SQLITE_DONE) return SqliteFail(db);
    return sqlite3_changes(db) > 0 || Fail("the value does not exist");
  });
  if (!IsPublicValue(root, k, value_name) || PublicStore() == nullptr) return deleted;
  const std::string why = RegLastError();
  if (PublicStore()->DeleteValue(root, k, value_name) || deleted) {
    LastError().clear();
    return true;
  }
  LastError() = why;
  return false;
}

bool RegistryStore::DeleteTree(RegRoot root, const std::string& key, RegView view) {
  std::string k = RegResolveKey(root, key, view);
  if (k.empty()) return Fail("the key is empty");
  const bool deleted = With(false, [&](sqlite3* db) {
    Statement st(db,
                 "DELETE FROM reg_values WHERE root=?1 AND (key=?2 OR key LIKE ?3 ESCAPE '!');");
    if (!st.ok()) return SqliteFail(db);
    st.Bind(1, static_cast<int>(root));
    st.Bind(2, k);
    st.Bind(3, BelowPattern(k));
    if (st.Step() != SQLITE_DONE) return SqliteFail(db);
    return sqlite3_changes(db) > 0 || Fail("the key does not exist");
  });
  if (!HoldsPublicValue(root, k) || PublicStore() == nullptr) return deleted;
  const std::string why = RegLastError();
  if (PublicStore()->DeleteTree(root, k) || deleted) {
    LastError().clear();
    return true;
  }
  LastError() = why;
  return false;
}

bool RegistryStore::List(RegRoot root, const std::string& key, std::vector<RegEntry>* entries, RegView view) {
  std::string k = RegResolveKey(root, key, view);
  entries->clear();
  if (!FileExists(DatabasePath())) {
    LastError().clear();
    return true;  // an empty store lists nothing
  }
  return With(false, [&](sqlite3* db) {
    Statement st(db, k.empty()
                         ? "SELECT key, name, value FROM reg_values WHERE root=?1 ORDER BY key, name;"
                         : "SELECT key, name, value FROM reg_values WHERE root=?1 AND "
                           "(key=?2 OR key LIKE ?3 ESCAPE '!') ORDER BY key, name;");
    if (!st.ok()) return SqliteFail(db);
    st.Bind(1, static_cast<int>(root));
    if (!k.empty()) {
      st.Bind(2, k);
      st.Bind(3, BelowPattern(k));
    }
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) entries->push_back({st.Column(0), st.Column(1), st.Column(2)});
    return rc == SQLITE_DONE || SqliteFail(db);
  });
}

const std::string& RegLastError() { return LastError(); }

bool RegReadString(RegRoot root, const std::string& key, const std::string& value_name, std::string* text,
                   RegView view) {
  return RegistryStore::Default().ReadString(root, key, value_name, text, view);
}

bool RegWriteString(RegRoot root, const std::string& key, const std::string& value_name, const std::string& text,
                    RegView view) {
  return RegistryStore::Default().WriteString(root, key, value_name, text, view);
}

bool RegDeleteValue(RegRoot root, const std::string& key, const std::string& value_name, RegView view) {
  return RegistryStore::Default().DeleteValue(root, key, value_name, view);
}

bool RegDeleteTree(RegRoot root, const std::string& key, RegView view) {
  return RegistryStore::Default().DeleteTree(root, key, view);
}

bool RegList(RegRoot root, const std::string& key, std::vector<RegEntry>* entries, RegView view) {
  return RegistryStore::Default().List(root, key, entries, view);
}

bool ParseRegRoot(const std::string& text, RegRoot* root) {
  if (strcasecmp(text.c_str(), "HKCR") == 0 || strcasecmp(text.c_str(), "HKEY_CLASSES_ROOT") == 0) {
    *root = RegRoot::kClassesRoot;
    return true;
  }
  if (strcasecmp(text.c_str(), "HKLM") == 0 || strcasecmp(text.c_str(), "HKEY_LOCAL_MACHINE") == 0) {
    *root = RegRoot::kLocalMachine;
    return true;
  }
  return false;
}

const char* RegRootName(RegRoot root) {
  return root == RegRoot::kClassesRoot ? "HKEY_CLASSES_ROOT" : "HKEY_LOCAL_MACHINE";
}

}  // namespace zev
