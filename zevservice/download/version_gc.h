// Collection of old versions in the download folder, laid out as
// ROOT/APP/COMPONENT/VERSION/ARCH. A version folder goes when it is neither
// recorded as installed, loaded, held, nor among the newest (by
// CompareVersion) of the versions of its component found there.
//
// The walk never leaves ROOT: every folder is opened relative to its parent
// with O_NOFOLLOW | O_DIRECTORY, a link is removed as a link and never
// followed, and only real folders at the three levels count as versions.
// Runs as root on a folder other users cannot write (the caller checks).
#ifndef ZEV_DOWNLOAD_VERSION_GC_H_
#define ZEV_DOWNLOAD_VERSION_GC_H_

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace zev {

// (application code, componentID, version text) as the folder names them.
using GcVersion = std::tuple<std::string, std::string, std::string>;

// What keeps a version.
struct GcKeep {
  std::set<GcVersion> recorded;  // the local component database
  std::set<GcVersion> loaded;    // what the component manager runs
  std::set<GcVersion> held;      // operators' holds
  size_t newest = 2;             // per component, of those found
};

// Of the versions `found` in the folder, those to remove, in `found`'s
// order. Versions equal by CompareVersion ("1.2", "1.02") count once in
// the newest and are kept or removed together.
std::vector<GcVersion> VersionsToCollect(const std::vector<GcVersion>& found, const GcKeep& keep);

struct FoundVersion {
  GcVersion version;
  uint64_t bytes = 0;  // of the regular files below it
};

// Every version folder below `root`, with its size. False with the reason
// when `root` cannot be opened as a folder (a link to one included).
bool ScanDownloadFolder(const std::string& root, std::vector<FoundVersion>* found, std::string* why);

// Removes ROOT/APP/COMPONENT/VERSION and everything below it, links as
// links. False with the reason when anything stays.
bool RemoveVersionFolder(const std::string& root, const GcVersion& version, std::string* why);

struct GcResult {
  bool ok = true;
  std::string error;                // the first failure
  std::vector<FoundVersion> items;  // removed (or, in a dry run, to remove)
  uint64_t bytes = 0;               // their sizes added up
};

// Scans `root`, applies the rule and, unless `dry_run`, removes what it
// gives; each removal is logged. A removal that fails is logged and left
// out of items.
GcResult CollectVersions(const std::string& root, const GcKeep& keep, bool dry_run);

}  // namespace zev

#endif  // ZEV_DOWNLOAD_VERSION_GC_H_
