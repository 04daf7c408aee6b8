// The catalogue sources' two costs that grow with the catalogue, each beside
// its floor measured in the same run:
//   - MergeEntryLists of 5,000 + 5,000 entries (2,500 twins), beside copying
//     the 10,000 entries into one list;
//   - loading a local database of 1,000 and of 5,000 entries, beside a raw
//     SQLite read of the same value with its Base64 decode and parse;
//   - recording 1,000 new installations in one pass (a Batch), in a new
//     database object and in a long-lived one, beside one save of the final
//     database; and, for comparison, records made one by one.
// The registry lives in a temporary folder of the run's own.
//   strategy_bench
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/base64.h"
#include "bench/bench_util.h"
#include "platform/digest.h"
#include "platform/registry.h"
#include "strategy/local_database.h"
#include "strategy/strategy_base.h"

namespace zev {

namespace {

CZEVComponentProxy Entry(int app, int component, const std::string& version, int32_t source) {
  CZEVComponentProxy entry(source);
  entry.SetAppCode("app" + std::to_string(app));
  entry.SetAppName("Application " + std::to_string(app));
  entry.SetComponentID("{component-" + std::to_string(app) + "-" + std::to_string(component) + "}");
  entry.mutable_component()->set_name("Component " + std::to_string(component));
  entry.mutable_component()->set_description("a component of application " + std::to_string(app));
  entry.SetInstallRoot("/var/lib/zev/Varnel/ZEV/download");
  CZEVVersion* v = entry.mutable_component()->mutable_versions()->add_version();
  v->set_version(version);
  v->set_archtype(component % 2 ? atx64 : atx86);
  CZEVManifest* m = v->mutable_manifest();
  m->set_entrypoint("bin/run");
  m->set_loadmode(lmOutterComponent);
  m->set_updatetime(1700000000000);
  m->mutable_params()->set_pgroup("group" + std::to_string(component % 20));
  m->mutable_params()->set_expiredtime(4102416000000LL);
  for (const char* name : {"main.bin.7z", "data.pak.7z"}) {
    CZEVResource* r = m->mutable_resources()->add_resource();
    r->set_name(name);
    r->set_path("https://cdn.example/" + entry.GetComponentID() + "/" + version + "/" + name);
    r->set_directory("bin/");
    r->set_size(2097152);
    r->set_zupsize(1048576);
    std::string seed = entry.GetComponentID() + name;
    r->set_hash(Sha256Hex(seed.data(), seed.size()));
    r->set_zuphash(Sha256Hex(name, 4));
  }
  return entry;
}

// Median of `runs` timings of `fn`, in milliseconds; `prepare` runs untimed
// before each.
double MedianMillis(int runs, const std::function<void()>& fn, const std::function<void()>& prepare = nullptr) {
  std::vector<int64_t> samples;
  for (int i = 0; i < runs; ++i) {
    if (prepare) prepare();
    int64_t start = NowNanos();
    fn();
    samples.push_back(NowNanos() - start);
  }
  return static_cast<double>(Quantile(samples, 0.5)) / 1e6;
}

void Report(const char* what, double ours, const char* floor_name, double floor, double aim) {
  double ratio = floor > 0 ? ours / floor : 0;
  printf("%-44s %9.2f ms   %-36s %9.2f ms   x%.2f (aim <= %.1f)%s\n", what, ours, floor_name, floor, ratio, aim,
         ratio <= aim ? "" : "  ABOVE AIM");
}

void BenchMerge() {
  std::vector<CZEVComponentProxy> a, b;
  for (int i = 0; i < 5000; ++i) a.push_back(Entry(i % 50, i, "1.2." + std::to_string(i % 7), cstServerStrategy));
  // The first 2,500 of the product list are twins of server entries.
  for (int i = 0; i < 5000; ++i) {
    int component = i < 2500 ? i * 2 : 5000 + i;
    b.push_back(Entry(component % 50, component, "1.2." + std::to_string(i % 5), cstProductBuildIn));
  }
  size_t merged_size = 0;
  double merge = MedianMillis(15, [&] {
    std::vector<CZEVComponentProxy> merged;
    std::string error;
    MergeEntryLists(a, b, &merged, &error);
    merged_size = merged.size();
  });
  double copy = MedianMillis(15, [&] {
    std::vector<CZEVComponentProxy> all;
    all.reserve(a.size() + b.size());
    for (const auto& e : a) all.push_back(e);
    for (const auto& e : b) all.push_back(e);
  });
  printf("merge: %zu entries out\n", merged_size);
  Report("MergeEntryLists 5,000 + 5,000 (2,500 twins)", merge, "copy of the 10,000 entries", copy, 2.0);
}

// The floor of a load: the value read with SQLite's own calls on a
// connection of its own, its parts joined when it is split, decoded and parsed.
class RawReader {
 public:
  explicit RawReader(const std::string& path) { sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr); }
  ~RawReader() { sqlite3_close_v2(db_); }

  bool Read(const std::string& key, const std::string& name, std::string* value) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db_, "SELECT value FROM reg_values WHERE root=?1 AND key=?2 AND name=?3;", -1, &st, nullptr);
    sqlite3_bind_int(st, 1, static_cast<int>(RegRoot::kLocalMachine));
    sqlite3_bind_text(st, 2, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 3, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    bool found = sqlite3_step(st) == SQLITE_ROW;
    if (found) {
      value->assign(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                    static_cast<size_t>(sqlite3_column_bytes(st, 0)));
    }
    sqlite3_finalize(st);
    return found;
  }

  bool Load(const std::string& key, CZEVApplications* apps) {
    std::string text;
    if (!Read(key, "", &text)) return false;
    int slot = 0;
    unsigned long long count = 0, length = 0;
    if (sscanf(text.c_str(), "#parts %d %llu %llu", &slot, &count, &length) == 3) {
      std::string whole, piece;
      const std::string slot_key = key + "\\parts\\" + std::to_string(slot);
      for (unsigned long long i = 0; i < count; ++i) {
        if (!Read(slot_key, std::to_string(i), &piece)) return false;
        whole += piece;
      }
      text = std::move(whole);
    }
    return apps->ParseFromString(Base64Decode(text));
  }

 private:
  sqlite3* db_ = nullptr;
};

void BenchLoad(RegistryStore* store, int entries) {
  const std::string key = "Software\\Classes\\CLSID\\{load-" + std::to_string(entries) + "}\\";
  {
    LocalComponentDatabase db(key, store);
    LocalComponentDatabase::Batch batch(&db);
    for (int i = 0; i < entries; ++i) batch.RecordInstalled(Entry(i % 10, i, "2.0." + std::to_string(i % 3), 0));
  }
  std::string text;
  store->ReadString(RegRoot::kLocalMachine, key + "Local", "", &text);
  RawReader raw(store->DatabasePath());
  int parsed = 0, loaded = 0;
  double floor = MedianMillis(9, [&] {
    CZEVApplications apps;
    if (raw.Load(key + "Local", &apps)) parsed = apps.application_size();
  });
  double ours = MedianMillis(9, [&] {
    LocalComponentDatabase db(key, store);  // fresh: nothing known in memory
    loaded += db.LoadLocalDatabase();
  });
  LocalComponentDatabase check(key, store);
  check.LoadLocalDatabase();
  loaded = loaded == 9 ? check.GetLocalApplications().application_size() : -1;
  std::string what = "LoadLocalDatabase " + std::to_string(entries) + " entries" +
                     (text.rfind("#parts ", 0) == 0 ? " (split)" : " (plain)");
  if (parsed != loaded || parsed == 0) printf("load: the two sides disagree (%d, %d applications)\n", parsed, loaded);
  Report(what.c_str(), ours, "raw SQLite read, decode, parse", floor, 1.5);
}

void BenchRecord(RegistryStore* store) {
  const int kEntries = 1000;
  std::vector<CZEVComponentProxy> entries;
  for (int i = 0; i < kEntries; ++i) entries.push_back(Entry(i % 10, i, "3.1", cstServerStrategy));

  // The first pass of a process: the database object is new, the value is
  // not there yet.
  int round = 0;
  std::string key;
  double first_ms = MedianMillis(
      7,
      [&] {
        LocalComponentDatabase db(key, store);
        LocalComponentDatabase::Batch batch(&db);
        for (const auto& e : entries) batch.RecordInstalled(e);
        batch.Commit();
      },
      [&] { key = "Software\\Classes\\CLSID\\{record-" + std::to_string(round++) + "}\\"; });

  // A later pass: the service's long-lived object, whose database the
  // untimed step empties first.
  LocalComponentDatabase db("Software\\Classes\\CLSID\\{passes}\\", store);
  double later_ms = MedianMillis(
      7,
      [&] {
        LocalComponentDatabase::Batch batch(&db);
        for (const auto& e : entries) batch.RecordInstalled(e);
        batch.Commit();
      },
      [&] {
        LocalComponentDatabase::Batch batch(&db);
        for (const auto& e : entries) batch.RemoveLocalRecord(e);
      });

  // The floor: the final database saved once over the value the passes
  // start from (SQLite writes a value that grows from nothing at about twice
  // the cost of one that replaces its own size).
  const std::string save_key = "Software\\Classes\\CLSID\\{save}\\";
  LocalComponentDatabase final_db(save_key, store);
  {
    LocalComponentDatabase::Batch batch(&final_db);
    for (const auto& e : entries) batch.RecordInstalled(e);
  }
  double save_ms = MedianMillis(
      7, [&] { final_db.SaveLocalDatabase(); },
      [&] { store->WriteString(RegRoot::kLocalMachine, save_key + "Local", "", ""); });
  Report("1,000 new installations, first Batch", first_ms, "one save of the final database", save_ms, 3.0);
  Report("1,000 new installations, later Batch", later_ms, "one save of the final database", save_ms, 3.0);

  // The same records one by one (a load and a save each) grow with the
  // square of their number; 200 of them show it without taking minutes.
  LocalComponentDatabase one_by_one("Software\\Classes\\CLSID\\{one-by-one}\\", store);
  int64_t start = NowNanos();
  for (int i = 0; i < 200; ++i) one_by_one.RecordInstalled(entries[i]);
  double each_ms = static_cast<double>(NowNanos() - start) / 1e6;
  printf("%-44s %9.2f ms   (x%.1f of one save of 1,000; for comparison)\n", "200 of them, one RecordInstalled each",
         each_ms, each_ms / save_ms);
}

}  // namespace

}  // namespace zev

int main() {
  using namespace zev;
  std::string pattern = (std::filesystem::temp_directory_path() / "strategy_bench.XXXXXX").string();
  if (mkdtemp(&pattern[0]) == nullptr) return 1;
  const std::string dir = pattern;
  {
    RegistryStore store(dir);
    BenchMerge();
    BenchLoad(&store, 1000);
    BenchLoad(&store, 5000);
    BenchRecord(&store);
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
