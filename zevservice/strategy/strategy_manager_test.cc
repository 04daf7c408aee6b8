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

namespace zev {

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

// `note` marks which entry an output's texts come from.
CZEVComponentProxy Entry(const std::string& app, const std::string& id, const std::string& version, int arch,
                         int source = cstServerStrategy, const std::string& note = "") {
  CZEVComponentProxy entry(source);
  entry.SetAppCode(app);
  entry.SetAppName("Name of " + app + note);
  entry.SetComponentID(id);
  entry.mutable_component()->set_description("about " + id + note);
  CZEVVersion* v = entry.mutable_component()->mutable_versions()->add_version();
  v->set_version(version);
  v->set_archtype(static_cast<CZEVArchType>(arch));
  v->mutable_manifest()->set_sourcetype(static_cast<CZEVComponentSourceType>(source));
  return entry;
}

// What the component manager reads of a catalogue entry.
std::string Describe(const CZEVComponentProxy& e) {
  return e.GetAppCode() + " " + Base64Decode(e.GetAppName()) + " " + e.GetComponentID() + " " + e.GetDescription() +
         " " + e.GetVersion() + " " + e.GetArchName() + " s" + std::to_string(e.GetSourceType()) + " v" +
         std::to_string(e.component().versions().version_size()) + e.GetInstallRoot() + e.GetAppDescription() +
         (e.GetUpdateFlag() ? " updated" : "");
}

class StrategyManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto server = std::make_unique<TestSource>(cstServerStrategy, &destroyed_);
    auto product = std::make_unique<TestSource>(cstProductBuildIn, &destroyed_);
    server_ = server.get();
    product_ = product.get();
    manager_ = std::make_unique<CZEVStrategyManager>(std::move(server), std::move(product));
    handler_ = [this](const std::vector<CZEVComponentProxy>& entries) {
      std::lock_guard<std::mutex> lock(mu_);
      handled_.push_back(entries);
      handled_count_.Hit();
      return true;
    };
    manager_->SetCatalogueHandler(&handler_);
  }

  std::vector<std::vector<CZEVComponentProxy>> Handled() {
    std::lock_guard<std::mutex> lock(mu_);
    return handled_;
  }

  std::atomic<int> destroyed_{0};
  TestSource* server_ = nullptr;
  TestSource* product_ = nullptr;
  CZEVStrategyManager::CatalogueHandler handler_;
  std::unique_ptr<CZEVStrategyManager> manager_;
  std::mutex mu_;
  std::vector<std::vector<CZEVComponentProxy>> handled_;  // guarded by mu_
  Counter handled_count_;
};

TEST(CatalogueEntriesTest, GroupsByApplicationAndComponentInOrderOfFirstAppearance) {
  CZEVComponentProxy versionless;
  versionless.SetAppCode("a");
  versionless.SetComponentID("broken");
  CZEVComponentProxy decorated = Entry("a", "x", "1", atx64, cstProductBuildIn);
  decorated.SetInstallRoot("/elsewhere");
  decorated.SetAppDescription("gone");
  decorated.SetUpdateFlag(true);
  const int S = cstServerStrategy, P = cstProductBuildIn;
  struct Case {
    const char* rule;
    std::vector<CZEVComponentProxy> merged;
    std::vector<std::string> want;  // empty: the catalogue fails
  } cases[] = {
      {"applications, then components, in order of first appearance; the first entry names both",
       {Entry("a", "x", "1", atx64, S, "1"), Entry("b", "y", "1", atx64), Entry("a", "z", "1", atx64, S, "2"),
        Entry("a", "x", "2", atx64, S, "3")},
       {"a Name of a1 x about x1 1 x64 s0 v1", "a Name of a1 x about x1 2 x64 s0 v1",
        "a Name of a1 z about z2 1 x64 s0 v1", "b Name of b y about y 1 x64 s0 v1"}},
      {"the same version text and archType: the later entry's version in place; versions compare as text",
       {Entry("a", "x", "1", atx64, S, "1"), Entry("a", "x", "1.0", atx64), Entry("a", "x", "1", atx64, P, "2")},
       {"a Name of a1 x about x1 1 x64 s2 v1", "a Name of a1 x about x1 1.0 x64 s0 v1"}},
      {"the same version text for another archType: a component of its own, appended; the first one gathers",
       {Entry("a", "x", "1", atx64, S, "1"), Entry("a", "y", "1", atx64), Entry("a", "x", "1", atx86, S, "2"),
        Entry("a", "x", "2", atx86, S, "3"), Entry("a", "x", "1", atx86, S, "4")},
       {"a Name of a1 x about x1 1 x64 s0 v1", "a Name of a1 x about x1 2 x86 s0 v1",
        "a Name of a1 y about y 1 x64 s0 v1", "a Name of a1 x about x2 1 x86 s0 v1",
        "a Name of a1 x about x4 1 x86 s0 v1"}},
      {"a new entry: source type from the manifest, nothing else of the merged one",
       {decorated}, {"a Name of a x about x 1 x64 s2 v1"}},
      {"an entry without a version fails the whole catalogue",
       {Entry("a", "fine", "1", atx64), versionless}, {}},
  };
  for (const Case& c : cases) {
    std::vector<CZEVComponentProxy> out = {versionless};
    EXPECT_EQ(CatalogueEntries(c.merged, &out), !c.want.empty()) << c.rule;
    std::vector<std::string> got;
    for (const CZEVComponentProxy& entry : out) got.push_back(Describe(entry));
    EXPECT_EQ(got, c.want.empty() ? std::vector<std::string>{Describe(versionless)} : c.want) << c.rule;
  }
}

TEST_F(StrategyManagerTest, HandsOnTheMergedCatalogue) {
  server_->Offer({Entry("app", "comp", "1.2", atx64), Entry("app", "comp", "1.2", atx86),
                  Entry("other", "x", "3", atx64)});
  // The product's 1.10 beats the server's 1.2 for x64.
  product_->Offer({Entry("app", "comp", "1.10", atx64, cstProductBuildIn)});
  std::vector<CZEVComponentProxy> entries;
  ASSERT_TRUE(manager_->GetCatalogue(&entries));
  std::vector<std::string> got;
  for (const CZEVComponentProxy& entry : entries) got.push_back(Describe(entry));
  EXPECT_EQ(got, (std::vector<std::string>{"app Name of app comp about comp 1.2 x86 s0 v1",
                                           "app Name of app comp about comp 1.10 x64 s2 v1",
                                           "other Name of other x about x 3 x64 s0 v1"}));
}

TEST_F(StrategyManagerTest, ReportsHandTheCatalogueOnUnlessTheServerCannotBeRead) {
  // Nothing anywhere: an empty catalogue is handed on.
  product_->Report();
  ASSERT_EQ(Handled().size(), 1u);
  EXPECT_EQ(Handled()[0].size(), 0u);

  product_->Offer({Entry("app", "comp", "1", atx64, cstProductBuildIn)}, /*readable=*/false);
  server_->Report();
  ASSERT_EQ(Handled().size(), 2u);  // an unreadable product source is logged only
  EXPECT_EQ(Handled()[1].size(), 1u);

  server_->Offer({}, /*readable=*/false);
  server_->Report();
  EXPECT_EQ(Handled().size(), 2u);
  std::vector<CZEVComponentProxy> untouched = {Entry("kept", "c", "1", atx64)};
  EXPECT_FALSE(manager_->GetCatalogue(&untouched));
  EXPECT_EQ(untouched.at(0).GetAppCode(), "kept");
}

TEST_F(StrategyManagerTest, AReportWaitsForTheInitialLoad) {
  server_->Offer({Entry("app", "comp", "1", atx64)});
  std::thread reporter;
  manager_->RunExclusive([&] {
    std::vector<CZEVComponentProxy> entries;
    ASSERT_TRUE(manager_->GetCatalogue(&entries));
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
  handler_ = [&](const std::vector<CZEVComponentProxy>&) {
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

}  // namespace zev
