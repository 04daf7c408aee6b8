// The component manager's change handler with N unchanged entries (every
// one is loaded again through a monitor that answers at once), beside a
// protobuf copy of the same catalogue, measured in the same run; and the
// same for 2N, to show that the time grows linearly.
//   manager_bench [N]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/log.h"
#include "bench/bench_util.h"
#include "bus/ref_count.h"
#include "hosting/manager.h"
#include "platform/paths.h"

namespace zev {

namespace {

// Answers every start at once; the cost measured is the manager's own.
class InstantMonitor : public pubsdk::IZEVMonitor,
                       public pubsdk::IPUBPlugin,
                       public pubsdk::IPUBPluginRun,
                       public pubsdk::CRefCountBase {
 public:
  pubsdk::HRESULT QueryInterface(const pubsdk::GUID& iid, void** out) override {
    if (iid == pubsdk::IID_IZEVMonitor) {
      *out = static_cast<pubsdk::IZEVMonitor*>(this);
    } else if (iid == pubsdk::IID_IPUBPlugin) {
      *out = static_cast<pubsdk::IPUBPlugin*>(this);
    } else if (iid == pubsdk::IID_IPUBPluginRun) {
      *out = static_cast<pubsdk::IPUBPluginRun*>(this);
    } else {
      return pubsdk::kE_NOINTERFACE;
    }
    AddRefImpl();
    return pubsdk::kS_OK;
  }
  uint32_t AddRef() override { return AddRefImpl(); }
  uint32_t Release() override { return ReleaseImpl(); }
  std::vector<pubsdk::MonitorHostInfo> GetProcessTable() override { return {}; }
  int32_t NotifyToRestartAGroup(const std::string&, const std::string&) override { return 1; }
  int32_t RemoveGroup(const std::string&) override { return 1; }
  int32_t StartComponent(const char*, uint32_t) override { return 0; }
  int32_t StopComponant(const char*, uint32_t) override { return 1; }
  int32_t StopAll() override { return 1; }
  pubsdk::HRESULT Init(int32_t) override { return 0; }
  pubsdk::HRESULT Uninit() override { return 0; }
  pubsdk::HRESULT Start() override { return 0; }
  pubsdk::HRESULT Stop() override { return 0; }
};

CZEVApplications Catalogue(int entries) {
  CZEVApplications all;
  const int per_app = 100;
  for (int a = 0; a * per_app < entries; ++a) {
    CZEVApplication* app = all.add_application();
    app->set_code("app" + std::to_string(a));
    for (int c = 0; c < per_app && a * per_app + c < entries; ++c) {
      CZEVComponent* component = app->mutable_components()->add_component();
      component->set_componentid("{component-" + std::to_string(a) + "-" + std::to_string(c) + "}");
      CZEVVersion* version = component->mutable_versions()->add_version();
      version->set_version("1.2." + std::to_string(c));
      version->set_archtype(atx64);
      CZEVManifest* manifest = version->mutable_manifest();
      manifest->set_entrypoint("bin/run.sh");
      manifest->set_updatetime(1700000000000);
      manifest->mutable_params()->set_pgroup("group" + std::to_string(c % 20));
      manifest->mutable_params()->set_expiredtime(4102416000000LL);
      for (int r = 0; r < 3; ++r) {
        CZEVResource* resource = manifest->mutable_resources()->add_resource();
        resource->set_name("file" + std::to_string(r));
        resource->set_hash(std::string(64, 'a'));
      }
    }
  }
  return all;
}

struct Sizes {
  double small = 1e18, large = 1e18;
};

// Milliseconds of one change that leaves every entry unchanged, best of
// `rounds`, for `entries` and twice as many. The two managers take turns so
// that a slow spell of the machine falls on both sizes alike.
Sizes ChangeMillis(int entries, int rounds) {
  InstantMonitor* monitor = new InstantMonitor();
  ManagerDeps deps;
  deps.monitor_factory = [monitor]() -> pubsdk::IUnknownBase* {
    monitor->AddRef();
    return static_cast<pubsdk::IZEVMonitor*>(monitor);
  };
  Sizes best;
  {
    CZEVManager small(deps), large(deps);
    const std::vector<CZEVComponentProxy> small_catalogue = EntriesOf(Catalogue(entries));
    const std::vector<CZEVComponentProxy> large_catalogue = EntriesOf(Catalogue(2 * entries));
    small.OnCatalogueChanged(small_catalogue);
    large.OnCatalogueChanged(large_catalogue);
    auto time = [](CZEVManager& manager, const std::vector<CZEVComponentProxy>& catalogue) {
      int64_t t0 = NowNanos();
      manager.OnCatalogueChanged(catalogue);
      return static_cast<double>(NowNanos() - t0) / 1e6;
    };
    for (int i = 0; i < rounds; ++i) {
      best.small = std::min(best.small, time(small, small_catalogue));
      best.large = std::min(best.large, time(large, large_catalogue));
    }
  }
  monitor->Release();
  return best;
}

Sizes CopyMillis(int entries, int rounds) {
  CZEVApplications small = Catalogue(entries), large = Catalogue(2 * entries);
  auto time = [](const CZEVApplications& catalogue) {
    int64_t t0 = NowNanos();
    CZEVApplications copy = catalogue;
    double millis = static_cast<double>(NowNanos() - t0) / 1e6;
    if (copy.application_size() != catalogue.application_size()) std::abort();
    return millis;
  };
  Sizes best;
  for (int i = 0; i < rounds; ++i) {
    best.small = std::min(best.small, time(small));
    best.large = std::min(best.large, time(large));
  }
  return best;
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  int n = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int rounds = 7;
  // The manager logs a line per entry; keep them out of the way.
  LogInit(JoinPath(GetModuleDir(), "manager_bench_log"), "zevservice");
  Sizes change = ChangeMillis(n, rounds), copy = CopyMillis(n, rounds);
  std::printf("change handler, %d unchanged entries: %8.1f ms   protobuf copy: %6.2f ms   (%.0fx)\n", n, change.small,
              copy.small, change.small / copy.small);
  std::printf("change handler, %d unchanged entries: %8.1f ms   protobuf copy: %6.2f ms   (%.0fx)\n", 2 * n,
              change.large, copy.large, change.large / copy.large);
  std::printf("growth from %d to %d entries: %.2fx (linear: 2x; the protobuf copy's own: %.2fx); best of %d\n", n,
              2 * n, change.large / change.small, copy.large / copy.small, rounds);
  return 0;
}
