// Checks on the names and link targets that archive items carry. Both "/" and
// "\" separate parts, since packages are also made on Windows.
#ifndef ZEV_DOWNLOAD_ARCHIVE_ITEM_PATH_H_
#define ZEV_DOWNLOAD_ARCHIVE_ITEM_PATH_H_

#include <string>
#include <vector>

namespace zev {

// Splits an item name into the parts of a path below the output folder.
// Empty parts and "." are dropped. False, with *parts in any state, for a name
// that could leave the output folder or that names nothing: an empty name, a
// leading separator, a drive letter ("C:"), a ".." part, a NUL byte.
bool SplitArchiveItemPath(const std::string& name, std::vector<std::string>* parts);

// Whether a symbolic link item may point at `target`: a non-empty relative
// path without "..", drive letter or NUL. Such a target stays below the
// folder that holds the link.
bool IsSafeLinkTarget(const std::string& target);

// Adds two sizes, giving UINT64_MAX instead of wrapping.
inline unsigned long long SaturatingAdd(unsigned long long a, unsigned long long b) {
  unsigned long long sum = a + b;
  return sum < a ? ~0ULL : sum;
}

}  // namespace zev

#endif  // ZEV_DOWNLOAD_ARCHIVE_ITEM_PATH_H_
