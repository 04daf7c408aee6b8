#include "model/catalogue_json.h"

#include <dirent.h>
#include <json/json.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

#include "base/log.h"
#include "model/catalogue.h"
#include "platform/paths.h"
#include "platform/session.h"
#include "platform/text.h"

namespace zev {

namespace {

// The pointer width of this process, which decides the variants produced.
constexpr int kProcessBits = sizeof(void*) * 8;

struct FormatError {};

const Json::Value& Member(const Json::Value& object, const char* key) {
  static const Json::Value null_value;
  const Json::Value* v = object.isObject() ? object.find(key, key + strlen(key)) : nullptr;
  return v ? *v : null_value;
}

bool Has(const Json::Value& object, const char* key) {
  return object.isObject() && object.find(key, key + strlen(key)) != nullptr;
}

std::string Text(const Json::Value& object, const char* key) {
  const Json::Value& v = Member(object, key);
  if (v.isNull()) return std::string();
  if (v.isString()) {
    // Catalogue texts end up in protobuf string fields, which hold UTF-8
    // only; a document with other bytes in a text is malformed.
    std::string text = v.asString();
    if (!IsValidUtf8(text)) throw FormatError();
    return text;
  }
  if (v.isBool() || v.isNumeric()) return v.asString();
  throw FormatError();
}

std::string Converted(const Json::Value& object, const char* key) { return AnsiToUtf8(Text(object, key)); }

// A text that names something (a code, an id, a version, a group, a file):
// it reaches file names, process arguments and log lines, so a control
// character in it makes the document malformed.
std::string Name(const Json::Value& object, const char* key) {
  std::string text = Text(object, key);
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) throw FormatError();
  }
  return text;
}

template <typename T>
T Integer(const Json::Value& object, const char* key) {
  const Json::Value& v = Member(object, key);
  if (v.isNull()) return 0;
  if (v.isBool()) return v.asBool() ? 1 : 0;
  constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
  constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
  if (v.isInt64() && sizeof(T) == 8) return static_cast<T>(v.asInt64());
  if (v.isInt() && sizeof(T) == 4) return static_cast<T>(v.asInt());
  if (v.isDouble()) {
    double d = v.asDouble();
    if (d >= lo && d <= hi) return static_cast<T>(d);
  }
  throw FormatError();  // text, object, array, or a number out of range
}

// An array key: anything but an array reads as empty, except a non-empty object.
const Json::Value& ArrayMember(const Json::Value& object, const char* key) {
  static const Json::Value empty_array(Json::arrayValue);
  const Json::Value& v = Member(object, key);
  if (v.isArray()) return v;
  if (v.isObject() && !v.empty()) throw FormatError();
  return empty_array;
}

// An object key: an object, or null as an empty object.
const Json::Value& ObjectMember(const Json::Value& object, const char* key) {
  static const Json::Value empty_object(Json::objectValue);
  const Json::Value& v = Member(object, key);
  if (v.isObject()) return v;
  if (v.isNull()) return empty_object;
  throw FormatError();
}

enum class Source { kServer, kConfig };

void ReadResources(const Json::Value& list, CZEVResources* out) {
  for (const Json::Value& item : list) {
    if (!item.isObject() && !item.isNull()) throw FormatError();
    CZEVResource* r = out->add_resource();
    r->set_name(Name(item, "name"));
    r->set_path(AnsiToUtf8(Name(item, "path")));
    r->set_zupsize(Integer<int32_t>(item, "size"));
    r->set_zuphash(Name(item, "hash"));
    r->set_filetype(static_cast<CZEVFileType>(Integer<int32_t>(item, "fileType")));
    r->set_directory(AnsiToUtf8(NormaliseResourceDirectory(Name(item, "directory"))));
    if (Has(item, "originalSize")) r->set_size(Integer<int32_t>(item, "originalSize"));
    if (Has(item, "originalHash")) r->set_hash(Name(item, "originalHash"));
  }
}

// The versions one component produces: x64 from "resources", x86 from
// "resources32" (only for in-process components, or in a 32-bit process).
// `download_dir`: see ReadServerCatalogue (server documents only).
std::vector<CZEVVersion> ReadVersions(const Json::Value& component, Source source, const std::string& download_dir) {
  std::vector<CZEVVersion> versions;
  const Json::Value& version = ObjectMember(component, "version");
  CZEVVersion v;
  v.set_version(Name(version, "version"));
  Integer<int32_t>(version, "arch");  // checked, then replaced by the variant's architecture
  v.set_platformtype(static_cast<CZEVPlatformType>(Integer<int32_t>(version, "platform")));
  v.set_description(Converted(version, "description"));
  if (Member(version, "manifest").isNull()) return versions;
  const Json::Value& manifest = ObjectMember(version, "manifest");

  CZEVManifest* m = v.mutable_manifest();
  Integer<int32_t>(manifest, "runtime");  // read and not kept
  const std::string manifest_download_dir = Name(manifest, "downloadDir");
  if (source == Source::kServer) m->set_downloaddir(ResolveServerDownloadDir(manifest_download_dir, download_dir));
  m->set_entrypoint(Name(manifest, "entryPoint"));
  m->set_loadmode(static_cast<CZEVLoadMode>(Integer<int32_t>(manifest, "loadMode")));
  m->set_runmode(static_cast<CZEVRunMode>(Integer<int32_t>(manifest, "runMode")));
  m->set_updatetime(Integer<int64_t>(manifest, "updateTime"));
  m->set_sourcetype(source == Source::kServer ? cstServerStrategy : cstProductBuildIn);

  const Json::Value& exec = ObjectMember(manifest, "execParams");
  CZEVExecParams* p = m->mutable_params();
  p->set_pgroup(Name(exec, "pgroup"));
  p->set_pname(AnsiToUtf8(Name(exec, "pname")));
  p->set_extendparams(Text(exec, "extendedParams"));
  p->set_portrange(Text(exec, "portRange"));
  p->set_triggertime(Integer<int64_t>(exec, "triggerTime"));
  p->set_interval(Integer<int32_t>(exec, "interval"));
  p->set_expiredtime(kDefaultExpiredTimeMs);
  if (source == Source::kServer && Has(exec, "expiredTime")) {
    int64_t expired = Integer<int64_t>(exec, "expiredTime");
    if (expired > 0) p->set_expiredtime(expired);
  }

  for (const Json::Value& d : ArrayMember(manifest, "depends")) {
    if (!d.isObject() && !d.isNull()) throw FormatError();
    CZEVDepend* depend = m->mutable_depends()->add_depend();
    depend->set_appcode(Name(d, "appCode"));
    depend->set_componentid(Name(d, "libraryId"));
    depend->set_version(Name(d, "componentVersion"));
  }

  // Both lists are read (and checked) before either variant is made.
  CZEVResources resources64, resources32;
  ReadResources(ArrayMember(manifest, "resources"), &resources64);
  ReadResources(ArrayMember(manifest, "resources32"), &resources32);
  if (Has(manifest, "resources") && kProcessBits == 64 && !Member(manifest, "resources").isNull()) {
    CZEVVersion x64 = v;
    x64.set_archtype(atx64);
    *x64.mutable_manifest()->mutable_resources() = resources64;
    versions.push_back(x64);
  }
  if (Has(manifest, "resources32") && !Member(manifest, "resources32").isNull() &&
      (m->loadmode() == lmInnerComponent || kProcessBits != 64)) {
    CZEVVersion x86 = v;
    x86.set_archtype(atx86);
    *x86.mutable_manifest()->mutable_resources() = resources32;
    versions.push_back(x86);
  }
  return versions;
}

bool HasApplicationKeys(const Json::Value& app) {
  return Has(app, "code") && Has(app, "name") && Has(app, "description") && Has(app, "components");
}

void ReadServerApplication(const Json::Value& app, const std::string& download_dir, CZEVApplication* out) {
  if (!app.isObject()) {
    if (app.isNull()) return;
    throw FormatError();
  }
  if (!HasApplicationKeys(app)) return;  // appended with every field empty
  out->set_code(Name(app, "code"));
  out->set_name(Converted(app, "name"));
  out->set_decription(Converted(app, "description"));
  for (const Json::Value& c : ArrayMember(app, "components")) {
    if (!c.isObject() && !c.isNull()) throw FormatError();
    for (CZEVVersion& version : ReadVersions(c, Source::kServer, download_dir)) {
      CZEVComponent* component = out->mutable_components()->add_component();
      component->set_name(Converted(c, "name"));
      component->set_componentid(Name(c, "libraryId"));
      component->set_description(Converted(c, "description"));
      *component->mutable_versions()->add_version() = version;
    }
  }
}

void ReadConfigApplication(const Json::Value& app, const std::string& folder,
                           std::vector<CZEVComponentProxy>* entries) {
  if (!app.isObject()) {
    if (app.isNull()) return;
    throw FormatError();
  }
  if (!HasApplicationKeys(app)) return;
  const std::string code = Name(app, "code");
  const std::string name = Text(app, "name");
  const std::string description = Text(app, "description");
  // The user the application's components run as; the application's RunAs
  // setting, when stored, is taken before it.
  const std::string run_as = Name(app, "runAs");
  for (const Json::Value& c : ArrayMember(app, "components")) {
    if (!c.isObject() && !c.isNull()) throw FormatError();
    for (CZEVVersion& version : ReadVersions(c, Source::kConfig, std::string())) {
      CZEVComponentProxy entry(cstProductBuildIn);
      CZEVComponent* component = entry.mutable_component();
      component->set_name(Converted(c, "name"));
      component->set_componentid(Name(c, "libraryId"));
      component->set_description(Converted(c, "description"));
      version.mutable_manifest()->set_downloaddir(folder);
      version.mutable_manifest()->set_runas(run_as);
      *component->mutable_versions()->add_version() = version;
      entry.SetAppCode(code);
      entry.SetAppName(name);
      entry.SetAppDescription(description);
      entry.SetInstallRoot(folder);
      entries->push_back(entry);
    }
  }
}

}  // namespace

std::string NormaliseResourceDirectory(const std::string& directory) {
  if (directory.empty()) return "/";
  std::string d = directory;
  for (char& c : d) {
    if (c == '\\') c = '/';
  }
  if (d == "/") return d;
  if (d.front() == '/') d.erase(0, 1);
  if (d.empty() || d.back() != '/') d += '/';
  return d;
}

std::string ResolveServerDownloadDir(const std::string& text, const std::string& download_dir) {
  std::string result = download_dir;
  if (text.size() >= 4) {
    std::optional<UserToken> token = GetActiveUserToken();
    std::string expanded;
    if (token && ExpandForUser(&*token, text, &expanded)) result = expanded;
  }
  ReplaceAll(result, "\"", "");
  return result;
}

bool ReadServerCatalogue(const std::string& json, const std::string& download_dir, CZEVApplications* apps) {
  if (json.size() > kMaxCatalogueBytes) {
    LogWrite(kLogError, "The catalogue is refused: %zu bytes, more than %zu.", json.size(), kMaxCatalogueBytes);
    return false;
  }
  Json::Value root;
  std::string error;
  if (!ParseStrictJson(json, &root, &error)) {
    LogWrite(kLogError, "The catalogue is refused: %s.", error.c_str());
    return false;
  }
  try {
    CZEVApplications fresh;
    size_t versions = 0;
    if (root.isObject()) {
      if (!root.empty()) return false;  // a non-empty object is no application list
    } else {
      for (const Json::Value& app : root) {
        CZEVApplication* out = fresh.add_application();
        ReadServerApplication(app, download_dir, out);
        versions += static_cast<size_t>(out->components().component_size());
        if (versions > kMaxCatalogueVersions) {
          LogWrite(kLogError, "The catalogue is refused: more than %zu component versions.", kMaxCatalogueVersions);
          return false;
        }
      }
    }
    apps->Swap(&fresh);
    return true;
  } catch (const FormatError&) {
    return false;
  } catch (const std::exception&) {
    return false;  // JsonCpp's own checks
  }
}

std::string FindConfigJson(const std::string& folder) {
  const std::string exact = JoinPath(folder, kConfigJsonName);
  if (FileExists(exact)) return exact;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return std::string();
  std::string best;
  while (struct dirent* entry = readdir(dir)) {
    if (strcasecmp(entry->d_name, kConfigJsonName) != 0) continue;
    if (!best.empty() && best <= entry->d_name) continue;
    if (FileExists(JoinPath(folder, entry->d_name))) best = entry->d_name;
  }
  closedir(dir);
  return best.empty() ? std::string() : JoinPath(folder, best);
}

bool ReadConfigJson(const std::string& folder, std::vector<CZEVComponentProxy>* entries) {
  const std::string path = FindConfigJson(folder);
  if (path.empty()) {
    LogWrite(kLogInfo, "file not exist: %s", JoinPath(folder, kConfigJsonName).c_str());
    return false;
  }
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > kMaxConfigJsonBytes) {
    LogWrite(kLogError, "file json refused: %s has %lld bytes, more than %zu", path.c_str(), static_cast<long long>(st.st_size),
             kMaxConfigJsonBytes);
    return false;
  }
  std::string text;
  if (!ReadFileToString(path, &text)) {
    fputs("Error opening\n", stdout);
    return false;
  }
  Json::Value root;
  std::string error;
  if (!ParseStrictJson(text, &root, &error)) {
    LogWrite(kLogInfo, "file json format error: %s (%s)", path.c_str(), error.c_str());
    return false;
  }
  try {
    if (root.isArray()) {
      for (const Json::Value& app : root) ReadConfigApplication(app, folder, entries);
    } else {
      ReadConfigApplication(root, folder, entries);
    }
    return true;
  } catch (...) {
    LogWrite(kLogInfo, "file json format error: %s", path.c_str());
    return false;
  }
}

}  // namespace zev
