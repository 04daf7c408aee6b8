// The catalogue as JSON: the application list the strategy server returns,
// and the "Config.json" of every unpacked component package. Both are read
// strictly (no comments; the root is an array or an object).
//
// Reading rules for every key: absent or null reads as "" or 0; a text key
// also takes a number or a boolean (as its JSON text); an integer key also
// takes a boolean or a real within range; anything else is a format error,
// which ends the whole document.
#ifndef ZEV_MODEL_CATALOGUE_JSON_H_
#define ZEV_MODEL_CATALOGUE_JSON_H_

#include <string>
#include <vector>

#include <json/json.h>

#include "common/zevclasses/ZEVCommonDefine.pb.h"
#include "contract/strict_json.h"
#include "model/component_proxy.h"

namespace zev {

// Limits on documents from outside, past which they are refused whole (and
// kMaxJsonDepth of ParseStrictJson, which every reader of the strategy
// server's documents uses).
constexpr size_t kMaxCatalogueBytes = 16 * 1024 * 1024;
constexpr size_t kMaxCatalogueVersions = 20000;
constexpr size_t kMaxConfigJsonBytes = 1024 * 1024;

// Replaces *apps by the applications of a server document (a JSON array of
// application objects; an empty array or object gives an empty catalogue).
// `download_dir` is the install root of versions whose "downloadDir" is
// too short (see ResolveServerDownloadDir).
// False, with *apps untouched, on a parse or format error, and for a body
// over kMaxCatalogueBytes or kMaxCatalogueVersions (logged as errors).
bool ReadServerCatalogue(const std::string& json, const std::string& download_dir, CZEVApplications* apps);

// Reads <folder>/Config.json (one application object or an array of them)
// and appends one entry per version produced; an application's "runAs" goes
// to the runAs of its versions' manifests. False when the file is missing,
// unreadable, larger than kMaxConfigJsonBytes or malformed (entries already appended stay; callers discard them).
// The file is looked up as FindConfigJson does.
bool ReadConfigJson(const std::string& folder, std::vector<CZEVComponentProxy>* entries);

// The name under which a package's configuration is read and stored.
constexpr char kConfigJsonName[] = "Config.json";

// The path of a package folder's configuration: <folder>/Config.json when
// that file exists, else the file of the folder whose name is "config.json"
// in any mix of case (the first in byte order when there are several);
// empty when there is none. Packages name it either way, and on a
// case-sensitive file system the two spellings would never meet.
std::string FindConfigJson(const std::string& folder);

// A resource's "directory" as a relative folder with "/" separators and a
// trailing "/": "" -> "/", "bin\x64" -> "bin/x64/", "/lib" -> "lib/".
std::string NormaliseResourceDirectory(const std::string& directory);

// The server's "downloadDir": `download_dir` (the service's download folder,
// <common>/Varnel/ZEV/download) for a text shorter than 4 characters or
// without a console user, else the text expanded with that user's
// environment (quotes removed).
std::string ResolveServerDownloadDir(const std::string& text, const std::string& download_dir);

}  // namespace zev

#endif  // ZEV_MODEL_CATALOGUE_JSON_H_
