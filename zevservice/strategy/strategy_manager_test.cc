// The strategy manager over two sources written for the test: what each
// offers is set by the test, and each reports a change when told, from any
// thread. The real sources have suites of their own.
#include "strategy/strategy_manager.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/base64.h"
#include "testing/sync.h"

namespace {

class TestSource : public CZEVStrategyBase {
 public:
  TestSource(CZEVComponentSourceType type, std::atomic<int>* destroyed) : type_(type), destroyed_(destroyed) {}
  ~TestSource() override { ++*destroyed_; }

  bool GetComponents(std::vector<CZEVComponentProxy>* entries) override {
    std::lock_guard<std::mutex> lock(mu_);
    entries->insert(entries->end(), entries_.begin(), entries_.end());
    return readable_;
  }
  bool CheckComponent(const CZEVComponentProxy&) override { return true; }

  void Offer(std::vector<CZEVComponentProxy> entries, bool readable = true) {
    std::lock_guard<std::mutex> lock(mu_);
    entries_ = std::move(entries);
    readable_ = readable;
  }
  bool Report() { return ReportChanged(type_); }

 private:
  const CZEVComponentSourceType type_;
  std::atomic<int>* const destroyed_;
  std::mutex mu_;
  std::vector<CZEVComponentProxy> entries_;  // guarded by mu_
  bool readable_ = true;                     // guarded by mu_
};

CZEVComponentProxy Entry(const std::string& app, const std::string& id, const std::string& version, int arch,
                         int source = cstServerStrategy) {
  CZEVComponentProxy entry(source);
  entry.SetAppCode(app);
  entry.SetAppName("Name of " + app);
  entry.SetComponentID(id);
  entry.mutable_component()->set_description("about " + id);
  CZEVVersion* v = entry.mutable_component()->mutable_versions()->add_version();
  v->set_version(version);
  v->set_archtype(static_cast<CZEVArchType>(arch));
  return entry;
}

class StrategyManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto server = std::make_unique<TestSource>(cstServerStrategy, &destroyed_);
    auto product = std::make_unique<TestSource>(cstProductBuildIn, &destroyed_);
    server_ = server.get();
    product_ = product.get();
    manager_ = std::make_unique<CZEVStrategyManager>(std::move(server), std::move(product));
    handler_ = [this](const CZEVApplications& apps) {
      std::lock_guard<std::mutex> lock(mu_);
      handled_.push_back(apps);
      handled_count_.Hit();
      return true;
    };
    manager_->SetCatalogueHandler(&handler_);
  }

  std::vector<CZEVApplications> Handled() {
    std::lock_guard<std::mutex> lock(mu_);
    return handled_;
  }

  std::atomic<int> destroyed_{0};
  TestSource* server_ = nullptr;
  TestSource* product_ = nullptr;
  CZEVStrategyManager::CatalogueHandler handler_;
  std::unique_ptr<CZEVStrategyManager> manager_;
  std::mutex mu_;
  std::vector<CZEVApplications> handled_;  // guarded by mu_
  Counter handled_count_;
};

TEST_F(StrategyManagerTest, FoldsTheMergedEntriesIntoApplications) {
  server_->Offer({Entry("app", "comp", "1.2", atx64), Entry("app", "comp", "1.2", atx86),
                  Entry("app", "lib", "1.0", atx64), Entry("other", "x", "3", atx64)});
  // The product's 1.10 beats the server's 1.2 for x64; its equal "1.0" of
  // lib wins the tie; its second version of x becomes a second version.
  product_->Offer({Entry("app", "comp", "1.10", atx64, cstProductBuildIn),
                   Entry("app", "lib", "1.0", atx64, cstProductBuildIn),
                   Entry("other", "x", "4", atx86, cstProductBuildIn)});
  CZEVApplications apps;
  ASSERT_TRUE(manager_->GetApplications(&apps));
  ASSERT_EQ(apps.application_size(), 2);
  const CZEVApplication& app = apps.application(0);
  EXPECT_EQ(app.code(), "app");
  EXPECT_EQ(app.name(), Base64Encode("Name of app"));
  ASSERT_EQ(app.components().component_size(), 2);
  // comp: x86 1.2 (server only) and x64 1.10 (product) as two versions.
  const CZEVComponent& comp = app.components().component(0);
  EXPECT_EQ(comp.componentid(), "comp");
  ASSERT_EQ(comp.versions().version_size(), 2);
  EXPECT_EQ(comp.versions().version(0).version(), "1.2");
  EXPECT_EQ(comp.versions().version(0).archtype(), atx86);
  EXPECT_EQ(comp.versions().version(1).version(), "1.10");
  EXPECT_EQ(app.components().component(1).componentid(), "lib");
  const CZEVApplication& other = apps.application(1);
  EXPECT_EQ(other.decription(), "about x");
  ASSERT_EQ(other.components().component_size(), 1);
  EXPECT_EQ(other.components().component(0).versions().version_size(), 2);

  // The same version text for two architectures: two components with one id.
  CZEVApplications twins;
  ASSERT_TRUE(CombineApplications(&twins, {Entry("a", "c", "1", atx64), Entry("a", "c", "1", atx86)}));
  ASSERT_EQ(twins.application(0).components().component_size(), 2);
  EXPECT_EQ(twins.application(0).components().component(1).versions().version(0).archtype(), atx86);
  // An entry without a version cannot be folded in; the others are.
  CZEVComponentProxy versionless;
  versionless.SetAppCode("a");
  versionless.SetComponentID("broken");
  CZEVApplications partial;
  EXPECT_FALSE(CombineApplications(&partial, {versionless, Entry("a", "fine", "1", atx64)}));
  EXPECT_EQ(partial.application(0).components().component(0).componentid(), "fine");
}

TEST_F(StrategyManagerTest, ReportsHandTheCatalogueOnUnlessTheServerCannotBeRead) {
  // Nothing anywhere: an empty catalogue is handed on.
  product_->Report();
  ASSERT_EQ(Handled().size(), 1u);
  EXPECT_EQ(Handled()[0].application_size(), 0);

  product_->Offer({Entry("app", "comp", "1", atx64, cstProductBuildIn)}, /*readable=*/false);
  server_->Report();
  ASSERT_EQ(Handled().size(), 2u);  // an unreadable product source is logged only
  EXPECT_EQ(Handled()[1].application_size(), 1);

  server_->Offer({}, /*readable=*/false);
  server_->Report();
  EXPECT_EQ(Handled().size(), 2u);
  CZEVApplications untouched;
  untouched.add_application()->set_code("kept");
  EXPECT_FALSE(manager_->GetApplications(&untouched));
  EXPECT_EQ(untouched.application(0).code(), "kept");
}

TEST_F(StrategyManagerTest, AReportWaitsForTheInitialLoad) {
  server_->Offer({Entry("app", "comp", "1", atx64)});
  std::thread reporter;
  manager_->RunExclusive([&] {
    CZEVApplications apps;
    ASSERT_TRUE(manager_->GetApplications(&apps));
    reporter = std::thread([&] { product_->Report(); });
    // The report cannot reach the handler while the load holds the lock.
    EXPECT_FALSE(handled_count_.WaitFor(1, std::chrono::milliseconds(50)));
  });
  reporter.join();
  EXPECT_EQ(handled_count_.count(), 1);
}

TEST_F(StrategyManagerTest, HandlerCallsNeverOverlapAndStopWaitsForTheOneUnderWay) {
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  Latch release;
  Latch entered;
  std::atomic<bool> block{false};
  handler_ = [&](const CZEVApplications&) {
    if (++inside > 1) ++overlaps;
    if (block) {
      entered.Open();
      release.Wait();
    }
    --inside;
    handled_count_.Hit();
    return true;
  };
  std::vector<std::thread> reporters;
  for (int t = 0; t < 4; ++t)
    reporters.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) (t % 2 ? server_ : product_)->Report();
    });
  for (auto& r : reporters) r.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(handled_count_.count(), 200);

  // A report blocked in the handler: Stop waits for it, then ends both
  // sources; a later report does nothing.
  block = true;
  std::thread late([&] { server_->Report(); });
  ASSERT_TRUE(entered.Wait());
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    manager_->Stop();
    stopped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(stopped.load());
  EXPECT_EQ(destroyed_.load(), 0);
  release.Open();
  stopper.join();
  late.join();
  EXPECT_EQ(destroyed_.load(), 2);
  EXPECT_FALSE(manager_->OnStrategyChanged(cstServerStrategy));
  EXPECT_EQ(handled_count_.count(), 201);
  bool ran = false;
  manager_->RunExclusive([&] { ran = true; });
  EXPECT_FALSE(ran);
}

}  // namespace
