#include "strategy/local_database.h"

#include <cerrno>
#include <cstring>

#include "base/base64.h"
#include "base/log.h"
#include "platform/digest.h"
#include "platform/machine_info.h"
#include "platform/text.h"
#include "server/server_channel.h"

namespace zev {

const char kDefaultDatabaseGuid[] = "{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}";
const char kCurrentDataVersion[] = "4";

namespace {

constexpr char kClsidPrefix[] = "Software\\Classes\\CLSID\\";
constexpr char kDataVersionName[] = "DataVersion";
constexpr char kServerName[] = "Server";
constexpr char kLocalName[] = "Local";
constexpr RegRoot kRoot = RegRoot::kLocalMachine;

// Base64Decode stops quietly at the first character outside the alphabet,
// so a damaged value would decode to a shorter, still parseable prefix. A
// well-formed text of n characters with p padding characters decodes to
// exactly 3n/4 - p bytes, and any stray character makes that less: the
// length tells a whole text from a damaged one without a second pass.
bool DecodeWellFormedBase64(const std::string& text, std::string* bytes) {
  const size_t n = text.size();
  if (n % 4 != 0) return false;
  size_t padding = 0;
  if (n > 0 && text[n - 1] == '=') padding = text[n - 2] == '=' ? 2 : 1;
  std::string decoded = Base64Decode(text);
  if (decoded.size() != n / 4 * 3 - padding) return false;
  *bytes = std::move(decoded);
  return true;
}

// Index key of the components with `id` in application `app`; the fixed
// width of the number keeps any componentID text unambiguous.
std::string ComponentKey(int app, const std::string& id) {
  std::string key(reinterpret_cast<const char*>(&app), sizeof(app));
  return key + id;
}

bool SameVersion(const CZEVVersion& v, const std::string& version, int arch_type) {
  return v.archtype() == arch_type && v.version() == version;
}

long SystemError() { return static_cast<long>(errno); }

}  // namespace

std::string DatabaseKeyFromDigest(const std::string& md5_hex) {
  if (md5_hex.size() != 32) {
    LogWrite(kLogInfo, "initRegPath failed use defalt key:%s", kDefaultDatabaseGuid);
    return std::string(kClsidPrefix) + kDefaultDatabaseGuid + "\\";
  }
  std::string hex = ToLowerAscii(md5_hex);
  return std::string(kClsidPrefix) + "{" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) +
         "-" + hex.substr(16, 4) + "-" + hex.substr(20, 12) + "}\\";
}

std::string MakeDatabaseKey(const std::string& uid, const std::string& access_key_id) {
  return DatabaseKeyFromDigest(Md5Hex((uid + access_key_id).c_str()));
}

std::string MakeDatabaseKey() { return MakeDatabaseKey(GetHardwareId(2), kAccessKeyId); }

LocalComponentDatabase::LocalComponentDatabase(std::string database_key, RegistryStore* registry)
    : registry_(registry),
      database_key_(std::move(database_key)),
      server_value_(registry, kRoot, database_key_ + kServerName),
      local_value_(registry, kRoot, database_key_ + kLocalName) {}

void LocalComponentDatabase::CheckDataVersion() {
  std::string version;
  if (!registry_->ReadString(kRoot, database_key_ + kDataVersionName, "", &version)) version.clear();
  if (version == kCurrentDataVersion) return;
  LogWrite(kLogInfo, "data version changed, clear database");
  {
    MutexLock lock(&local_mu_);
    if (!local_value_.Write("")) {
      LogWrite(kLogInfo, "clearLoaclComponents error getlasterror %ld:%s", SystemError(), local_value_.last_error().c_str());
      return;
    }
    // Records of the old format must not come back with the next save.
    local_applications_.Clear();
    stored_text_.clear();
    stored_text_known_ = true;
    index_.valid = false;
  }
  MutexLock lock(&server_mu_);
  if (!registry_->WriteString(kRoot, database_key_ + kDataVersionName, "", kCurrentDataVersion)) {
    LogWrite(kLogInfo, "savecLocalDataVersion error getlasterror %ld:%s", SystemError(), RegLastError().c_str());
  }
  if (!server_value_.Write("")) {
    LogWrite(kLogInfo, "clearServerComponentsReg error %ld:%s", SystemError(), server_value_.last_error().c_str());
  }
}

bool LocalComponentDatabase::SaveServerCopy(const std::string& bytes) {
  MutexLock lock(&server_mu_);
  if (server_value_.Write(Base64Encode(bytes))) return true;
  LogWrite(kLogInfo, "setLoaclPlugins reg error getlasterror %ld:%s", SystemError(), server_value_.last_error().c_str());
  return false;
}

bool LocalComponentDatabase::ReadServerCopy(std::string* bytes) {
  std::string text;
  {
    MutexLock lock(&server_mu_);
    if (!server_value_.Read(&text)) return false;
  }
  if (!DecodeWellFormedBase64(text, bytes)) {
    LogWrite(kLogError, "The stored server catalogue is not Base64 text; it is not used.");
    return false;
  }
  return true;
}

bool LocalComponentDatabase::LoadLocalDatabase() {
  MutexLock lock(&local_mu_);
  return LoadLocked();
}

bool LocalComponentDatabase::LoadLocked() {
  std::string text;
  if (local_value_.Read(&text)) {
    // The text this object stored itself: memory already holds that
    // database, and maybe records whose save failed, which must not be lost.
    if (stored_text_known_ && text == stored_text_) return !text.empty();
    CZEVApplications parsed;
    std::string bytes;
    if (DecodeWellFormedBase64(text, &bytes) && parsed.ParseFromString(bytes)) {
      local_applications_.Swap(&parsed);
      stored_text_ = std::move(text);
      stored_text_known_ = true;
      index_.valid = false;
      return !stored_text_.empty();
    }
    LogWrite(kLogError, "The local database in the registry does not decode (%zu characters); the records in memory are kept.",
             text.size());
  }
  if (local_applications_.application_size() == 0) {
    LogWrite(kLogInfo, "Empty local-components records");
  } else {
    LogWrite(kLogInfo, SaveLocked() ? "Fill back components local success" : "Fill back components local failed");
  }
  return false;
}

bool LocalComponentDatabase::SaveLocalDatabase() {
  MutexLock lock(&local_mu_);
  return SaveLocked();
}

bool LocalComponentDatabase::SaveLocked() {
  std::string bytes;
  if (!local_applications_.SerializeToString(&bytes)) {
    LogWrite(kLogError, "The local database could not be serialised.");
    return false;
  }
  std::string text = Base64Encode(bytes);
  if (!local_value_.Write(text)) {
    LogWrite(kLogInfo, "setLoaclPlugins reg error getlasterror %ld:%s", SystemError(), local_value_.last_error().c_str());
    return false;
  }
  stored_text_ = std::move(text);
  stored_text_known_ = true;
  return true;
}

void LocalComponentDatabase::LoadBeforeChange() {
  if (!LoadLocked() && local_applications_.application_size() > 0) LogWrite(kLogError, "local reg status error");
}

void LocalComponentDatabase::BuildIndex() const {
  if (index_.valid) return;
  index_.application.clear();
  index_.components.clear();
  for (int a = 0; a < local_applications_.application_size(); ++a) {
    const CZEVApplication& app = local_applications_.application(a);
    index_.application.emplace(app.code(), a);  // the first one stays
    for (int c = 0; c < app.components().component_size(); ++c) {
      index_.components[ComponentKey(a, app.components().component(c).componentid())].push_back(c);
    }
  }
  index_.valid = true;
}

bool LocalComponentDatabase::RecordLocked(const CZEVComponentProxy& entry) {
  if (entry.component().versions().version_size() == 0) {
    LogWrite(kLogError, "An entry without a version is not recorded: %s, %s", entry.GetAppCode().c_str(),
             entry.GetComponentID().c_str());
    return false;
  }
  const CZEVVersion& version = entry.component().versions().version(0);
  auto add_component = [&](CZEVApplication* app) {
    CZEVComponent* component = app->mutable_components()->add_component();
    component->set_name(entry.component().name());
    component->set_componentid(entry.GetComponentID());
    component->set_description(entry.GetDescription());
    *component->mutable_versions()->add_version() = version;
  };

  BuildIndex();
  auto app_it = index_.application.find(entry.GetAppCode());
  if (app_it == index_.application.end()) {
    int a = local_applications_.application_size();
    CZEVApplication* app = local_applications_.add_application();
    app->set_name(Base64Encode(entry.GetAppName()));
    app->set_code(entry.GetAppCode());
    app->set_decription(entry.GetDescription());
    add_component(app);
    index_.application.emplace(entry.GetAppCode(), a);
    index_.components[ComponentKey(a, entry.GetComponentID())].push_back(0);
    return true;
  }
  CZEVApplication* app = local_applications_.mutable_application(app_it->second);
  std::vector<int>& same_id = index_.components[ComponentKey(app_it->second, entry.GetComponentID())];
  if (same_id.empty()) {
    same_id.push_back(app->components().component_size());
    add_component(app);
    return true;
  }
  CZEVVersions* versions = app->mutable_components()->mutable_component(same_id.front())->mutable_versions();
  for (CZEVVersion& recorded : *versions->mutable_version()) {
    if (SameVersion(recorded, version.version(), version.archtype())) {
      recorded = version;
      return true;
    }
  }
  *versions->add_version() = version;
  return true;
}

bool LocalComponentDatabase::RemoveLocked(const CZEVComponentProxy& entry) {
  const std::string version = entry.GetVersion();
  const int arch_type = entry.GetArchType();
  auto* apps = local_applications_.mutable_application();
  bool removed = false;
  for (int a = 0; a < apps->size() && !removed; ++a) {
    CZEVApplication* app = apps->Mutable(a);
    if (app->code() != entry.GetAppCode()) continue;
    auto* components = app->mutable_components()->mutable_component();
    for (int c = 0; c < components->size();) {
      CZEVComponent* component = components->Mutable(c);
      bool emptied = false;
      if (component->componentid() == entry.GetComponentID()) {
        auto* versions = component->mutable_versions()->mutable_version();
        for (int v = 0; v < versions->size(); ++v) {
          if (SameVersion(versions->Get(v), version, arch_type)) {
            versions->DeleteSubrange(v, 1);
            removed = true;
            emptied = versions->empty();
            break;
          }
        }
      }
      if (emptied) {
        components->DeleteSubrange(c, 1);
      } else {
        ++c;
      }
    }
    if (removed && components->empty()) apps->DeleteSubrange(a, 1);
  }
  if (removed) index_.valid = false;
  return removed;
}

bool LocalComponentDatabase::RecordInstalled(const CZEVComponentProxy& entry) {
  MutexLock lock(&local_mu_);
  LoadBeforeChange();
  return RecordLocked(entry) && SaveLocked();
}

bool LocalComponentDatabase::RemoveLocalRecord(const CZEVComponentProxy& entry) {
  MutexLock lock(&local_mu_);
  LoadBeforeChange();
  return RemoveLocked(entry) && SaveLocked();
}

int64_t LocalComponentDatabase::GetRecordedUpdateTime(const CZEVComponentProxy& entry) const {
  MutexLock lock(&local_mu_);
  return RecordedTimeLocked(entry);
}

int64_t LocalComponentDatabase::RecordedTimeLocked(const CZEVComponentProxy& entry) const {
  BuildIndex();
  auto app_it = index_.application.find(entry.GetAppCode());
  if (app_it == index_.application.end()) return -1;
  auto same_id = index_.components.find(ComponentKey(app_it->second, entry.GetComponentID()));
  if (same_id == index_.components.end()) return -1;
  const std::string version = entry.GetVersion();
  const int arch_type = entry.GetArchType();
  const CZEVApplication& app = local_applications_.application(app_it->second);
  for (int c : same_id->second) {
    for (const CZEVVersion& recorded : app.components().component(c).versions().version()) {
      // The architecture counts: x86 and x64 of one version are installed,
      // and changed, apart.
      if (SameVersion(recorded, version, arch_type)) return recorded.manifest().updatetime();
    }
  }
  return -1;
}

CZEVApplications LocalComponentDatabase::GetLocalApplications() const {
  MutexLock lock(&local_mu_);
  return local_applications_;
}

LocalComponentDatabase::Batch::Batch(LocalComponentDatabase* database)
    : database_(database) {
  lock_.emplace(&database_->local_mu_);
  // The analysis does not follow a lock held in a member: each use states it.
  database_->local_mu_.AssertHeld();
  database_->LoadBeforeChange();
}

LocalComponentDatabase::Batch::~Batch() { Commit(); }

bool LocalComponentDatabase::Batch::RecordInstalled(const CZEVComponentProxy& entry) {
  if (committed_) return false;
  database_->local_mu_.AssertHeld();
  if (!database_->RecordLocked(entry)) return false;
  changed_ = true;
  return true;
}

bool LocalComponentDatabase::Batch::RemoveLocalRecord(const CZEVComponentProxy& entry) {
  if (committed_) return false;
  database_->local_mu_.AssertHeld();
  if (!database_->RemoveLocked(entry)) return false;
  changed_ = true;
  return true;
}

int64_t LocalComponentDatabase::Batch::GetRecordedUpdateTime(const CZEVComponentProxy& entry) const {
  if (committed_) return -1;
  database_->local_mu_.AssertHeld();
  return database_->RecordedTimeLocked(entry);
}

bool LocalComponentDatabase::Batch::Commit() {
  if (committed_) return result_;
  committed_ = true;
  database_->local_mu_.AssertHeld();
  if (changed_) result_ = database_->SaveLocked();
  lock_.reset();
  return result_;
}

}  // namespace zev
