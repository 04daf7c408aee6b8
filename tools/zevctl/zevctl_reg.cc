// zevctl reg: the registry store of the instance that ZEV_COMMON_APPDATA
// names.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tools/zevctl/zevctl.h"

namespace zev::ctl {

int Registry(std::vector<std::string> args) {
  RegView view = RegView::kDefault;
  for (auto it = args.begin(); it != args.end();) {
    if (*it == "--32") {
      view = RegView::kWow64_32;
      it = args.erase(it);
    } else {
      ++it;
    }
  }
  if (args.size() < 2) return Usage();
  const std::string& verb = args[0];
  RegRoot root;
  if (!ParseRegRoot(args[1], &root)) {
    fprintf(stderr, "zevctl: unknown root '%s' (use HKCR or HKLM)\n", args[1].c_str());
    return 2;
  }
  std::string path = RegistryDatabasePath();
  if (path.empty()) {
    fprintf(stderr, "zevctl: no common data folder (set ZEV_COMMON_APPDATA)\n");
    return 1;
  }
  if (verb == "get" && (args.size() == 3 || args.size() == 4)) {
    std::string name = args.size() == 4 ? args[3] : std::string();
    std::string value;
    if (!RegReadString(root, args[2], name, &value, view)) {
      fprintf(stderr, "zevctl: %s\\%s: value '%s' not found\n", RegRootName(root),
              RegResolveKey(root, args[2], view).c_str(), name.c_str());
      return 1;
    }
    printf("%s\n", value.c_str());
    return 0;
  }
  if (verb == "set" && args.size() == 5) {
    if (!RegWriteString(root, args[2], args[3], args[4], view)) {
      fprintf(stderr, "zevctl: cannot write %s\\%s (store %s): %s\n", RegRootName(root),
              RegResolveKey(root, args[2], view).c_str(), path.c_str(), RegLastError().c_str());
      return 1;
    }
    return 0;
  }
  if (verb == "delete" && (args.size() == 3 || args.size() == 4)) {
    bool ok = args.size() == 4 ? RegDeleteValue(root, args[2], args[3], view)
                               : RegDeleteTree(root, args[2], view);
    if (!ok) {
      fprintf(stderr, "zevctl: nothing to delete at %s\\%s\n", RegRootName(root),
              RegResolveKey(root, args[2], view).c_str());
      return 1;
    }
    return 0;
  }
  if (verb == "list" && (args.size() == 2 || args.size() == 3)) {
    std::vector<RegEntry> entries;
    if (!RegList(root, args.size() == 3 ? args[2] : std::string(), &entries, view)) {
      fprintf(stderr, "zevctl: cannot read the store %s\n", path.c_str());
      return 1;
    }
    for (const RegEntry& e : entries) {
      printf("%s\\%s\t%s\t%s\n", RegRootName(root), e.key.c_str(),
             e.name.empty() ? "(default)" : e.name.c_str(), e.value.c_str());
    }
    return 0;
  }
  return Usage();
}

}  // namespace zev::ctl
