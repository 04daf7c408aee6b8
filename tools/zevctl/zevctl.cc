// zevctl: the command-line client of the ZEV service.
//
//   zevctl reg get ROOT KEY [NAME] [--32]
//   zevctl reg set ROOT KEY NAME VALUE [--32]
//   zevctl reg delete ROOT KEY [NAME] [--32]     (without NAME: the key and all below it)
//   zevctl reg list ROOT [KEY] [--32]
//
// ROOT is HKCR or HKLM (or their long names). The store is the one of the
// instance that ZEV_COMMON_APPDATA names (see GetCommonDataDir). Use "" for
// the default value's empty NAME. Exit status: 0 success, 1 failure, 2 usage.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace {

int Usage() {
  fprintf(stderr,
          "usage:\n"
          "  zevctl reg get ROOT KEY [NAME] [--32]\n"
          "  zevctl reg set ROOT KEY NAME VALUE [--32]\n"
          "  zevctl reg delete ROOT KEY [NAME] [--32]\n"
          "  zevctl reg list ROOT [KEY] [--32]\n"
          "ROOT: HKCR | HKLM\n");
  return 2;
}

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
      fprintf(stderr, "zevctl: cannot write %s\\%s (store %s; value must be UTF-8)\n",
              RegRootName(root), RegResolveKey(root, args[2], view).c_str(), path.c_str());
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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") return Usage();
  if (args[0] == "reg") return Registry(std::vector<std::string>(args.begin() + 1, args.end()));
  fprintf(stderr, "zevctl: unknown command '%s'\n", args[0].c_str());
  return Usage();
}
