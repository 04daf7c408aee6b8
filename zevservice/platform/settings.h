// The service's settings, each the default value of a key of its own under
// HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}.
// kSettings lists every one with what an operator needs to set it
// (zevctl config); the parts of the service that read a setting take its
// key, default and range from here. A new setting is its key and one more
// entry here.
#ifndef ZEV_PLATFORM_SETTINGS_H_
#define ZEV_PLATFORM_SETTINGS_H_

#include <cstdint>
#include <string>

#include "platform/registry.h"

namespace zev {

// The service's own key; the settings are keys below it.
inline constexpr char kServiceRegistryKey[] = "Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}";
inline constexpr char kServerUrlKey[] = "Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\\Url";
inline constexpr char kFirstSettingKey[] = "Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\\First";
inline constexpr char kIntervalSettingKey[] =
    "Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\\Interval";
inline constexpr char kBindAddressSettingKey[] =
    "Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\\BindAddress";
// Earlier releases read the bind address from this named value of
// kServiceRegistryKey; it still counts when kBindAddressSettingKey holds none.
inline constexpr char kBindAddressValueName[] = "BindAddress";

inline constexpr char kDefaultServerBaseUrl[] = "http://127.0.0.1:61200";

enum class SettingType {
  kSeconds,  // a whole number of seconds in [low, high]
  kUrl,      // an http:// or https:// base URL
  kChoice,   // one of `choices`, in any case
  kFile,     // an absolute file path, or empty for none
};

inline constexpr const char* kBindAddressChoices[] = {"127.0.0.1", "localhost", "0.0.0.0", nullptr};

struct Setting {
  const char* name;     // also the last part of its key
  const char* key;      // HKLM key whose default value holds the setting
  const char* meaning;  // one line for the operator
  SettingType type;
  const char* default_text;        // kUrl, kChoice, kFile: the value without a stored one
  int64_t fallback, low, high;     // kSeconds: the value without a stored one, and the range
  const char* const* choices;      // kChoice: the accepted values, null-terminated
  const char* old_value_name;      // a named value of kServiceRegistryKey read when the key holds none
  const char* takes_effect;        // when a running service picks a change up
};

inline constexpr char kAtNextStart[] = "at the next start of the service (systemctl restart zevsvc)";
inline constexpr char kAtNextServerRequest[] =
    "at the service's next request to the strategy server (read anew for each); no restart needed";

inline constexpr Setting kUrlSetting = {
    "Url", kServerUrlKey, "base URL of the strategy server, for the catalogue and the event reports",
    SettingType::kUrl, kDefaultServerBaseUrl, 0, 0, 0, nullptr, nullptr, kAtNextServerRequest};
inline constexpr Setting kFirstSetting = {
    "First", kFirstSettingKey, "seconds from the start of the service to its first update pass",
    SettingType::kSeconds, nullptr, 300, 30, 300, nullptr, nullptr, kAtNextStart};
inline constexpr Setting kIntervalSetting = {
    "Interval", kIntervalSettingKey, "seconds between update passes (the catalogue asked of the strategy server)",
    SettingType::kSeconds, nullptr, 10800, 120, 10800, nullptr, nullptr, kAtNextStart};
inline constexpr Setting kBindAddressSetting = {
    "BindAddress", kBindAddressSettingKey,
    "address the HTTP endpoint listens on: 127.0.0.1 or localhost for loopback only, 0.0.0.0 for all interfaces",
    SettingType::kChoice, "0.0.0.0", 0, 0, 0, kBindAddressChoices, kBindAddressValueName, kAtNextStart};

inline constexpr char kCollectOldVersionsSettingKey[] =
    "Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\\CollectOldVersions";
inline constexpr const char* kOnOffChoices[] = {"off", "on", nullptr};
inline constexpr Setting kCollectOldVersionsSetting = {
    "CollectOldVersions", kCollectOldVersionsSettingKey,
    "whether each update pass removes old versions from the download folder (recorded, loaded and the newest "
    "2 of each component stay)",
    SettingType::kChoice, "on", 0, 0, 0, kOnOffChoices, nullptr, kAtNextStart};

inline constexpr char kTlsVerifySettingKey[] =
    "Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\\TlsVerify";
inline constexpr const char* kZeroOneChoices[] = {"0", "1", nullptr};
inline constexpr Setting kTlsVerifySetting = {
    "TlsVerify", kTlsVerifySettingKey,
    "1: the catalogue request and the event reports check the server's certificate and host name (against "
    "TlsCaFile, else the system's CA store); 0: any certificate is accepted",
    SettingType::kChoice, "0", 0, 0, 0, kZeroOneChoices, nullptr, kAtNextServerRequest};

inline constexpr char kTlsCaFileSettingKey[] =
    "Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\\TlsCaFile";
inline constexpr Setting kTlsCaFileSetting = {
    "TlsCaFile", kTlsCaFileSettingKey,
    "PEM file of the CA certificates trusted instead of the system's store: by verified requests to the "
    "strategy server (TlsVerify 1) and by every package download",
    SettingType::kFile, "", 0, 0, 0, nullptr, nullptr,
    "at the next request to the strategy server or download (read anew for each); no restart needed"};

inline constexpr char kCatalogueKeySettingKey[] =
    "Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\\CatalogueKey";
inline constexpr Setting kCatalogueKeySetting = {
    "CatalogueKey", kCatalogueKeySettingKey,
    "PEM file of the Ed25519 public key whose signature every catalogue from the strategy server must carry; "
    "empty: catalogues are not signed",
    SettingType::kFile, "", 0, 0, 0, nullptr, nullptr, kAtNextServerRequest};

inline constexpr const Setting* kSettings[] = {
    &kUrlSetting,       &kFirstSetting,     &kIntervalSetting,   &kBindAddressSetting, &kCollectOldVersionsSetting,
    &kTlsVerifySetting, &kTlsCaFileSetting, &kCatalogueKeySetting};

// The setting called `name`, in any case; null for none.
const Setting* FindSetting(const std::string& name);

// Where ReadSettingText found the text.
enum class SettingSource { kNone, kKey, kOldValue };

// The stored text of `setting` in `registry` (not owned): the default value
// of its key, else that of its older named value. kNone when neither is
// stored or the store cannot be read.
SettingSource ReadSettingText(RegistryStore* registry, const Setting& setting, std::string* text);

// The default as text, and what the setting accepts ("whole seconds from 30
// to 300").
std::string SettingDefaultText(const Setting& setting);
std::string SettingAllowedText(const Setting& setting);

// A kSeconds setting's value as the service takes it: `fallback` unless
// `text` is a non-empty run of decimal digits; then the number clamped to
// [low, high] (digits beyond any integer count as above `high`).
int64_t ParseSetting(const std::string& text, int64_t fallback, int64_t low, int64_t high);

// Whether `text` is a value the setting accepts, as an operator sets it
// (stricter than the service, which falls back or clamps): true with the
// text to store in *stored (a number without leading zeros), else false
// with the reason in *why.
bool CheckSettingValue(const Setting& setting, const std::string& text, std::string* stored, std::string* why);

// The settings of one application: each the default value of a key below
// HKEY_LOCAL_MACHINE\kApplicationsRegistryKey\<application code>, read when
// one of its components starts.
inline constexpr char kApplicationsRegistryKey[] = "Software\\Varnel\\ZEV\\Applications";
// The user the application's components run as (zevhost drops to its uid,
// gid and groups); takes precedence over the "runAs" of a product package.
inline constexpr char kRunAsSettingName[] = "RunAs";

// The stored text of the application's setting `name`; false when none is
// stored, the store cannot be read or the code is empty or holds a "\\".
bool ReadApplicationSetting(RegistryStore* registry, const std::string& app_code, const std::string& name,
                            std::string* text);

}  // namespace zev

#endif  // ZEV_PLATFORM_SETTINGS_H_
