// CZEVComponentProxy: one component version of one application, as it
// travels between the catalogue sources, the downloader and the component
// manager. It carries a CZEVComponent that is meant to hold exactly one
// version (versions[0]); operations that read version data read only that
// one, and an entry without a version answers with defaults.
//
// Entries are values: copy them freely. Not safe for concurrent mutation.
#ifndef ZEV_MODEL_COMPONENT_PROXY_H_
#define ZEV_MODEL_COMPONENT_PROXY_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/zevclasses/ZEVCommonDefine.pb.h"

namespace zev {

class CZEVComponentProxy {
 public:
  CZEVComponentProxy() = default;
  explicit CZEVComponentProxy(int32_t source_type) : source_type_(source_type) {}

  // The component message (protobuf classes are final, so the entry holds
  // one rather than deriving from it).
  const CZEVComponent& component() const { return component_; }
  CZEVComponent* mutable_component() { return &component_; }

  const std::string& GetAppCode() const { return app_code_; }
  const std::string& GetAppName() const { return app_name_; }
  const std::string& GetAppDescription() const { return app_description_; }
  const std::string& GetInstallRoot() const { return install_root_; }
  int32_t GetSourceType() const { return source_type_; }
  void SetAppCode(const std::string& code) { app_code_ = code; }
  void SetAppName(const std::string& name) { app_name_ = name; }
  void SetAppDescription(const std::string& description) { app_description_ = description; }
  // Stores the path with every '"' removed.
  void SetInstallRoot(const std::string& path);

  const std::string& GetComponentID() const { return component_.componentid(); }
  const std::string& GetDescription() const { return component_.description(); }
  void SetComponentID(const std::string& id) { component_.set_componentid(id); }

  // versions[0].version; empty without a version.
  std::string GetVersion() const;
  // versions[0].archType; 0 without a version.
  int GetArchType() const;
  // "None", "x86", ...; "atNone" without a version or for a value above 5.
  std::string GetArchName() const;
  // 32 for atx86, 64 for atx64, 0 otherwise.
  int GetBits() const;
  // Copies versions[0].manifest; false (output untouched) without a version.
  bool GetManifest(CZEVManifest* manifest) const;
  int64_t GetUpdateTime() const;

  void SetUpdateFlag(bool flag) { update_flag_ = flag; }
  bool GetUpdateFlag() const { return update_flag_; }
  // The version text given to an entry that had no version yet.
  const std::string& GetVersionText() const { return version_text_; }
  void SetVersionText(const std::string& text) { version_text_ = text; }

  // install root / application code / componentID / version / architecture name.
  std::string GetInstallDir() const;

  // Checks that every resource of versions[0] is installed and intact:
  //   0  all files present with their SHA-256 (lower-case hex, compared exactly);
  //  -1  a resource name that gives no installed name ("<dir>/<name>format error");
  //  -2  a file missing or a folder ("<path> is not exists");
  //  -3  a digest mismatch ("<path> hash check error: deshash:<hash>");
  //  -4  no version ("spath manifest error").
  // The first failing resource decides; *error is left alone on success.
  int32_t CheckInstalledFiles(std::string* error) const;

  bool operator==(const CZEVComponentProxy& other) const;
  bool operator!=(const CZEVComponentProxy& other) const { return !(*this == other); }

 private:
  const CZEVVersion* FirstVersion() const;

  CZEVComponent component_;
  bool update_flag_ = false;
  std::string install_root_;
  std::string app_name_;
  std::string app_code_;
  std::string app_description_;
  std::string version_text_;
  int32_t source_type_ = 0;
};

// The entry of one version of a catalogue component: source type
// from the version's manifest, the component's name, componentID and
// description, that version alone, and the application's name and code.
// Install root and update flag are left to the component manager.
CZEVComponentProxy CatalogueEntry(const std::string& app_name, const std::string& app_code,
                                  const CZEVComponent& component, const CZEVVersion& version);
// The entries of an application: one per version of each component, in
// catalogue order.
std::vector<CZEVComponentProxy> EntriesOf(const CZEVApplication& application);
// The entries of every application in turn.
std::vector<CZEVComponentProxy> EntriesOf(const CZEVApplications& applications);

// The installed file's path below `component_dir` for a resource's
// `directory` ("\" or "/" separated, may be empty) and installed name.
std::string ResourceFilePath(const std::string& component_dir, const std::string& directory,
                             const std::string& installed_name);

// Whether `text` may serve as one folder or file name below an install
// folder: not empty, not "." or "..", without "/", "\" or NUL.
bool IsPlainPathName(const std::string& text);
// Whether a resource's folder ("\" or "/" separated, may be empty) stays
// below the install folder: no ".." part, no NUL (a leading separator is
// dropped when paths are joined).
bool IsRelativeSubfolder(const std::string& text);
// Checks the catalogue texts of `entry` that become parts of install paths,
// so that none leads out of the install root: the application code,
// componentID and version of versions[0] (each when not empty) and every
// resource's name and directory. The install root itself is not checked. On
// failure *why names the first offending text, for example
// `resource name "../x" is not a plain file name`.
bool CheckPathTexts(const CZEVComponentProxy& entry, std::string* why);

}  // namespace zev

#endif  // ZEV_MODEL_COMPONENT_PROXY_H_
