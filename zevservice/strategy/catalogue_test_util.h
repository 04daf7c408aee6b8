// Catalogue documents for tests: the server's application list and a
// product's Config.json, one listed version per application.
#ifndef ZEV_STRATEGY_CATALOGUE_TEST_UTIL_H_
#define ZEV_STRATEGY_CATALOGUE_TEST_UTIL_H_

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "download/archive_test_util.h"

namespace zev {

struct ListedVersion {
  std::string app = "app";
  std::string id = "comp";
  std::string version = "1.0.0";
  int64_t update_time = 1;
  // One resource: the package `resource`, fetched from `url` (the server),
  // unpacked into `directory`.
  std::string resource = "data.bin.7z";
  std::string directory;
  std::string url;
  TestPackage package;
  // How the component runs; empty/0: not set.
  std::string entry_point;
  std::string pgroup;
  int load_mode = 0;
  int run_mode = 0;
};

// One application object holding the version's component.
inline Json::Value ApplicationJson(const ListedVersion& l) {
  Json::Value app;
  app["code"] = l.app;
  app["name"] = "App";
  app["description"] = "d";
  Json::Value resource;
  resource["name"] = l.resource;
  resource["path"] = l.url;
  resource["size"] = static_cast<Json::Int>(l.package.bytes.size());
  resource["hash"] = l.package.zup_hash;
  resource["originalHash"] = l.package.hash;
  resource["directory"] = l.directory;
  Json::Value manifest;
  manifest["updateTime"] = static_cast<Json::Int64>(l.update_time);
  manifest["resources"].append(resource);
  if (!l.entry_point.empty()) manifest["entryPoint"] = l.entry_point;
  if (l.load_mode != 0) manifest["loadMode"] = l.load_mode;
  if (l.run_mode != 0) manifest["runMode"] = l.run_mode;
  if (!l.pgroup.empty()) manifest["execParams"]["pgroup"] = l.pgroup;
  Json::Value component;
  component["libraryId"] = l.id;
  component["name"] = "C";
  component["description"] = "c";
  component["version"]["version"] = l.version;
  component["version"]["manifest"] = manifest;
  app["components"].append(component);
  return app;
}

inline std::string JsonText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  return Json::writeString(builder, value);
}

// The server's document: an array of applications.
inline std::string CatalogueJson(const std::vector<ListedVersion>& listed) {
  Json::Value root(Json::arrayValue);
  for (const ListedVersion& l : listed) root.append(ApplicationJson(l));
  return JsonText(root);
}

}  // namespace zev

#endif  // ZEV_STRATEGY_CATALOGUE_TEST_UTIL_H_
