#include "model/component_proxy.h"

#include <google/protobuf/util/message_differencer.h>

#include <utility>

#include "model/catalogue.h"
#include "platform/digest.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace zev {

std::string ResourceFilePath(const std::string& component_dir, const std::string& directory,
                             const std::string& installed_name) {
  std::string dir = directory;
  for (char& c : dir) {
    if (c == '\\') c = '/';
  }
  // A leading separator would otherwise climb to the root of the file system.
  while (!dir.empty() && dir.front() == '/') dir.erase(0, 1);
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return component_dir + "/" + dir + installed_name;
}

CZEVComponentProxy CatalogueEntry(const std::string& app_name, const std::string& app_code,
                                  const CZEVComponent& component, const CZEVVersion& version) {
  CZEVComponentProxy entry(version.manifest().sourcetype());
  CZEVComponent* own = entry.mutable_component();
  own->set_name(component.name());
  own->set_componentid(component.componentid());
  own->set_description(component.description());
  *own->mutable_versions()->add_version() = version;
  entry.SetAppName(app_name);
  entry.SetAppCode(app_code);
  return entry;
}

std::vector<CZEVComponentProxy> EntriesOf(const CZEVApplication& application) {
  std::vector<CZEVComponentProxy> entries;
  for (const CZEVComponent& component : application.components().component()) {
    for (const CZEVVersion& version : component.versions().version()) {
      entries.push_back(CatalogueEntry(application.name(), application.code(), component, version));
    }
  }
  return entries;
}

std::vector<CZEVComponentProxy> EntriesOf(const CZEVApplications& applications) {
  std::vector<CZEVComponentProxy> entries;
  for (const CZEVApplication& application : applications.application()) {
    for (CZEVComponentProxy& entry : EntriesOf(application)) entries.push_back(std::move(entry));
  }
  return entries;
}

bool IsPlainPathName(const std::string& text) {
  return !text.empty() && text != "." && text != ".." &&
         text.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

bool IsRelativeSubfolder(const std::string& text) {
  // A leading separator is harmless: paths below the install folder are
  // joined without it (ResourceFilePath), and catalogues write the folder
  // itself as a single backslash.
  if (text.find('\0') != std::string::npos) return false;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find_first_of("/\\", begin);
    if (end == std::string::npos) end = text.size();
    if (text.compare(begin, end - begin, "..") == 0) return false;
    begin = end + 1;
  }
  return true;
}

bool CheckPathTexts(const CZEVComponentProxy& entry, std::string* why) {
  const std::pair<const char*, std::string> parts[] = {
      {"application code", entry.GetAppCode()},
      {"componentID", entry.GetComponentID()},
      {"version", entry.GetVersion()},
  };
  for (const auto& part : parts) {
    if (!part.second.empty() && !IsPlainPathName(part.second)) {
      *why = std::string(part.first) + " \"" + part.second + "\" is not a plain folder name";
      return false;
    }
  }
  CZEVManifest manifest;
  if (!entry.GetManifest(&manifest)) return true;
  for (const CZEVResource& resource : manifest.resources().resource()) {
    // The name and the unpacked file's name (the name without its last
    // extension: "...7z" would give "..") must both be plain.
    std::string unpacked;
    if (!IsPlainPathName(resource.name()) ||
        (getRawname(resource.name(), &unpacked) && !IsPlainPathName(unpacked))) {
      *why = "resource name \"" + resource.name() + "\" is not a plain file name";
      return false;
    }
    if (!IsRelativeSubfolder(resource.directory())) {
      *why = "resource directory \"" + resource.directory() + "\" leads out of the install folder";
      return false;
    }
  }
  return true;
}

void CZEVComponentProxy::SetInstallRoot(const std::string& path) {
  install_root_ = path;
  ReplaceAll(install_root_, "\"", "");
}

const CZEVVersion* CZEVComponentProxy::FirstVersion() const {
  if (!component_.has_versions() || component_.versions().version_size() == 0) return nullptr;
  return &component_.versions().version(0);
}

std::string CZEVComponentProxy::GetVersion() const {
  const CZEVVersion* v = FirstVersion();
  return v ? v->version() : std::string();
}

int CZEVComponentProxy::GetArchType() const {
  const CZEVVersion* v = FirstVersion();
  return v ? v->archtype() : 0;
}

std::string CZEVComponentProxy::GetArchName() const {
  const CZEVVersion* v = FirstVersion();
  return v ? ArchName(v->archtype()) : "atNone";
}

int CZEVComponentProxy::GetBits() const {
  const CZEVVersion* v = FirstVersion();
  return v ? ArchBits(v->archtype()) : 0;
}

bool CZEVComponentProxy::GetManifest(CZEVManifest* manifest) const {
  const CZEVVersion* v = FirstVersion();
  if (v == nullptr) return false;
  *manifest = v->manifest();
  return true;
}

int64_t CZEVComponentProxy::GetUpdateTime() const {
  const CZEVVersion* v = FirstVersion();
  return v ? v->manifest().updatetime() : 0;
}

std::string CZEVComponentProxy::GetInstallDir() const {
  return install_root_ + "/" + app_code_ + "/" + GetComponentID() + "/" + GetVersion() + "/" + GetArchName();
}

int32_t CZEVComponentProxy::CheckInstalledFiles(std::string* error) const {
  const std::string folder = GetInstallDir();
  const CZEVVersion* v = FirstVersion();
  if (v == nullptr) {
    *error = "spath manifest error";
    return -4;
  }
  for (const CZEVResource& resource : v->manifest().resources().resource()) {
    // Catalogue texts are UTF-8, as are paths here, so the directory needs no conversion.
    std::string installed;
    if (!getRawname(resource.name(), &installed)) {
      *error = folder + "/" + resource.name() + "format error";
      return -1;
    }
    std::string path = ResourceFilePath(folder, resource.directory(), installed);
    if (!FileExists(path)) {
      *error = path + " is not exists";
      return -2;
    }
    if (FileSha256Hex(path) != resource.hash()) {
      *error = path + " hash check error: deshash:" + resource.hash();
      return -3;
    }
  }
  return 0;
}

bool CZEVComponentProxy::operator==(const CZEVComponentProxy& other) const {
  return update_flag_ == other.update_flag_ && install_root_ == other.install_root_ &&
         app_name_ == other.app_name_ && app_code_ == other.app_code_ &&
         app_description_ == other.app_description_ && version_text_ == other.version_text_ &&
         source_type_ == other.source_type_ &&
         google::protobuf::util::MessageDifferencer::Equals(component_, other.component_);
}

}  // namespace zev
