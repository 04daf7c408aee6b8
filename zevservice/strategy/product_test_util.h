// Helpers of the package watcher and product strategy tests: component
// packages made with the real 7z tool, their Config.json, and driving the
// watcher's update delay on a FakeClock.
#ifndef ZEV_STRATEGY_PRODUCT_TEST_UTIL_H_
#define ZEV_STRATEGY_PRODUCT_TEST_UTIL_H_

#include <stdio.h>
#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "download/archive_test_util.h"
#include "platform/digest.h"
#include "platform/paths.h"
#include "strategy/product_watcher.h"

namespace zev {

// One component version of a package: its file lies at
// <app>/<id>/<version>/x64/<directory><file>, named "<file>.7z" in Config.json.
struct TestComponent {
  TestComponent(std::string app_code, std::string component_id, std::string version_text,
                std::string file_content = "library")
      : app(std::move(app_code)), id(std::move(component_id)), version(std::move(version_text)),
        content(std::move(file_content)) {}

  std::string app;
  std::string id;
  std::string version;
  std::string content;
  std::string file = "lib.so";
  std::string directory;  // as Config.json gives it
  std::string hash;       // empty: the SHA-256 of content
  std::string entry_point;  // empty: none in Config.json
};

// path in the package -> content.
using PackageFiles = std::map<std::string, std::string>;

inline std::string ConfigJsonFor(const std::vector<TestComponent>& components) {
  std::string json = "[";
  for (const TestComponent& c : components) {
    std::string hash = c.hash.empty() ? Sha256Hex(c.content.data(), c.content.size()) : c.hash;
    if (json.size() > 1) json += ",";
    json += "{\"code\":\"" + c.app + "\",\"name\":\"n\",\"description\":\"d\",\"components\":[{\"libraryId\":\"" +
            c.id + "\",\"name\":\"c\",\"description\":\"cd\",\"version\":{\"version\":\"" + c.version +
            "\",\"manifest\":{\"loadMode\":2," +
            (c.entry_point.empty() ? "" : "\"entryPoint\":\"" + c.entry_point + "\",") + "\"resources\":[{\"name\":\"" +
            c.file + ".7z\",\"originalHash\":\"" + hash + "\",\"directory\":\"" + c.directory + "\"}]}}}]}";
  }
  return json + "]";
}

// Config.json (named `config_name`) and every component's file.
inline PackageFiles PackageOf(const std::vector<TestComponent>& components,
                              const std::string& config_name = "Config.json") {
  PackageFiles files{{config_name, ConfigJsonFor(components)}};
  for (const TestComponent& c : components) {
    files[c.app + "/" + c.id + "/" + c.version + "/x64/" + c.directory + c.file] = c.content;
  }
  return files;
}

// Writes `files` into a fresh folder below `work` and packs them into
// `archive` with the real 7z tool.
inline bool MakePackage(const std::string& work, const std::string& archive, const PackageFiles& files) {
  static int serial = 0;
  const std::string src = work + "/src" + std::to_string(++serial);
  std::vector<std::string> args = {"a", "-bd", "-y", archive};
  std::map<std::string, bool> tops;
  for (const auto& [path, content] : files) {
    const std::string full = src + "/" + path;
    if (!CreateDirectories(GetUrlDir(full)) || !WriteFileAtomically(full, content)) return false;
    tops[path.substr(0, path.find('/'))] = true;
  }
  for (const auto& top : tops) args.push_back(top.first);
  // Packages that others could write are refused, whatever the umask.
  return Run7z(src, args) && chmod(archive.c_str(), 0644) == 0;
}

// Makes the package beside its place and renames it to components.7z, as an
// installer publishes a finished package.
inline bool PublishPackage(const std::string& work, const std::string& product_dir, const PackageFiles& files) {
  const std::string part = product_dir + "/components.7z.part";
  return MakePackage(work, part, files) && rename(part.c_str(), (product_dir + "/components.7z").c_str()) == 0;
}

class FakeClock;

// Waits until `watcher` has kept `kept` package changes, then moves the clock
// over the update delay and waits for that run to finish. Defined in
// product_watcher_test.cc.
bool RunWatcherUpdate(const CZEVProductInnerWatcher* watcher, FakeClock* clock, uint64_t kept);

}  // namespace zev

#endif  // ZEV_STRATEGY_PRODUCT_TEST_UTIL_H_
