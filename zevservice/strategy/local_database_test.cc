#include "strategy/local_database.h"

#include <gtest/gtest.h>
#include <google/protobuf/util/message_differencer.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "base/base64.h"
#include "platform/digest.h"
#include "testing/test_util.h"

namespace zev {

namespace {

const char kKey[] = "Software\\Classes\\CLSID\\{0123abcd-0000-0000-0000-000000000000}\\";
const RegRoot kRoot = RegRoot::kLocalMachine;

CZEVComponentProxy Installed(const std::string& app, const std::string& id, const std::string& version, int arch,
                             int64_t update_time = 1700000000000) {
  CZEVComponentProxy entry;
  entry.SetAppCode(app);
  entry.SetAppName("Name of " + app);
  entry.SetComponentID(id);
  entry.mutable_component()->set_name("component " + id);
  entry.mutable_component()->set_description("about " + id);
  CZEVVersion* v = entry.mutable_component()->mutable_versions()->add_version();
  v->set_version(version);
  v->set_archtype(static_cast<CZEVArchType>(arch));
  v->mutable_manifest()->set_updatetime(update_time);
  v->mutable_manifest()->set_entrypoint("bin/" + id);
  for (const char* name : {"main.bin.7z", "data.pak.7z"}) {
    CZEVResource* r = v->mutable_manifest()->mutable_resources()->add_resource();
    r->set_name(name);
    r->set_path("https://cdn.example/" + app + "/" + id + "/" + version + "/" + name);
    r->set_directory("bin/");
    r->set_hash(Sha256Hex(name, 8));
    r->set_zuphash(Sha256Hex(id.data(), id.size()));
    r->set_size(1048576);
    r->set_zupsize(524288);
  }
  return entry;
}

// Every (application code, componentID, version, archType) recorded, in order.
std::vector<std::string> Records(const CZEVApplications& apps) {
  std::vector<std::string> out;
  for (const auto& app : apps.application()) {
    for (const auto& c : app.components().component()) {
      for (const auto& v : c.versions().version()) {
        out.push_back(app.code() + "/" + c.componentid() + "/" + v.version() + "/" + std::to_string(v.archtype()));
      }
    }
  }
  return out;
}

bool SameApps(const CZEVApplications& a, const CZEVApplications& b) {
  return google::protobuf::util::MessageDifferencer::Equals(a, b);
}

class LocalDatabaseTest : public ::testing::Test {
 protected:
  std::string ReadLocal() {
    std::string text;
    return registry_.ReadString(kRoot, std::string(kKey) + "Local", "", &text) ? text : "<none>";
  }
  // The database as a fresh object finds it in the registry.
  CZEVApplications Reloaded() {
    LocalComponentDatabase other(kKey, &registry_);
    other.LoadLocalDatabase();
    return other.GetLocalApplications();
  }

  ScopedCommonDataDir common_;
  RegistryStore registry_{common_.path()};
  LocalComponentDatabase db_{kKey, &registry_};
};

}  // namespace

TEST(DatabaseKey, IsTheDigestOfUidAndAccessKeyShapedAsAGuid) {
  std::string md5 = Md5Hex("uid-1a61e0c9b57d2f384");
  std::string key = MakeDatabaseKey("uid-1", "a61e0c9b57d2f384");
  EXPECT_EQ(key, "Software\\Classes\\CLSID\\{" + md5.substr(0, 8) + "-" + md5.substr(8, 4) + "-" + md5.substr(12, 4) +
                     "-" + md5.substr(16, 4) + "-" + md5.substr(20) + "}\\");
  EXPECT_NE(key, MakeDatabaseKey("uid-2", "a61e0c9b57d2f384"));
  EXPECT_EQ(MakeDatabaseKey("", "a61e0c9b57d2f384"), DatabaseKeyFromDigest(Md5Hex("a61e0c9b57d2f384")));
  EXPECT_EQ(DatabaseKeyFromDigest("0123456789ABCDEF0123456789ABCDEF"),
            "Software\\Classes\\CLSID\\{01234567-89ab-cdef-0123-456789abcdef}\\");
  EXPECT_EQ(DatabaseKeyFromDigest(""), "Software\\Classes\\CLSID\\{8A9C633D-908A-43FD-AEB8-5B821A0A2ED4}\\");
  EXPECT_EQ(DatabaseKeyFromDigest("abc"), DatabaseKeyFromDigest(""));
}

TEST_F(LocalDatabaseTest, ADifferentDataVersionEmptiesBothCopiesAndWritesTheCurrentOne) {
  const std::string key(kKey);
  for (const char* old_version : {"", "3", "<none>"}) {
    if (std::string(old_version) == "<none>") {
      registry_.DeleteValue(kRoot, key + "DataVersion", "");
    } else {
      ASSERT_TRUE(registry_.WriteString(kRoot, key + "DataVersion", "", old_version));
    }
    ASSERT_TRUE(db_.SaveServerCopy("server bytes"));
    ASSERT_TRUE(db_.RecordInstalled(Installed("app", "c", "1.0", atx64)));
    db_.CheckDataVersion();
    std::string text;
    ASSERT_TRUE(registry_.ReadString(kRoot, key + "DataVersion", "", &text));
    EXPECT_EQ(text, "4");
    EXPECT_EQ(ReadLocal(), "") << old_version;
    ASSERT_TRUE(db_.ReadServerCopy(&text));
    EXPECT_EQ(text, "");
    // What memory held goes too, so no old record comes back.
    EXPECT_EQ(db_.GetLocalApplications().application_size(), 0);
    EXPECT_FALSE(db_.LoadLocalDatabase());
  }

  // The current version leaves both alone.
  ASSERT_TRUE(db_.SaveServerCopy("server bytes"));
  ASSERT_TRUE(db_.RecordInstalled(Installed("app", "c", "1.0", atx64)));
  db_.CheckDataVersion();
  std::string bytes;
  ASSERT_TRUE(db_.ReadServerCopy(&bytes));
  EXPECT_EQ(bytes, "server bytes");
  EXPECT_EQ(Records(Reloaded()), std::vector<std::string>{"app/c/1.0/2"});
}

TEST_F(LocalDatabaseTest, RecordsArchitecturesApartAndRemovesEmptiedComponentsAndApplications) {
  ASSERT_TRUE(db_.RecordInstalled(Installed("app", "c", "1.0", atx86, 111)));
  ASSERT_TRUE(db_.RecordInstalled(Installed("app", "c", "1.0", atx64, 222)));
  ASSERT_TRUE(db_.RecordInstalled(Installed("app", "d", "2.0", atx64)));
  ASSERT_TRUE(db_.RecordInstalled(Installed("app", "c", "1.0", atx86, 333)));  // replaces its twin

  CZEVApplications apps = db_.GetLocalApplications();
  EXPECT_EQ(Records(apps), (std::vector<std::string>{"app/c/1.0/1", "app/c/1.0/2", "app/d/2.0/2"}));
  ASSERT_EQ(apps.application_size(), 1);
  EXPECT_EQ(apps.application(0).name(), Base64Encode("Name of app"));
  EXPECT_EQ(apps.application(0).decription(), "about c");
  EXPECT_EQ(apps.application(0).components().component(0).name(), "component c");

  // Stored as the plain Base64 of the serialised database.
  std::string bytes;
  ASSERT_TRUE(apps.SerializeToString(&bytes));
  EXPECT_EQ(ReadLocal(), Base64Encode(bytes));
  EXPECT_TRUE(SameApps(Reloaded(), apps));

  // The same version for x86 and x64 keeps its own update time.
  EXPECT_EQ(db_.GetRecordedUpdateTime(Installed("app", "c", "1.0", atx86)), 333);
  EXPECT_EQ(db_.GetRecordedUpdateTime(Installed("app", "c", "1.0", atx64)), 222);
  EXPECT_EQ(db_.GetRecordedUpdateTime(Installed("app", "c", "1.0", atARMv7)), -1);
  EXPECT_EQ(db_.GetRecordedUpdateTime(Installed("app", "c", "1.1", atx86)), -1);
  EXPECT_EQ(db_.GetRecordedUpdateTime(Installed("other", "c", "1.0", atx86)), -1);

  EXPECT_TRUE(db_.RemoveLocalRecord(Installed("app", "c", "1.0", atx86)));
  EXPECT_FALSE(db_.RemoveLocalRecord(Installed("app", "c", "1.0", atx86)));
  EXPECT_EQ(Records(Reloaded()), (std::vector<std::string>{"app/c/1.0/2", "app/d/2.0/2"}));
  EXPECT_TRUE(db_.RemoveLocalRecord(Installed("app", "c", "1.0", atx64)));
  apps = Reloaded();
  ASSERT_EQ(apps.application(0).components().component_size(), 1);
  EXPECT_EQ(apps.application(0).components().component(0).componentid(), "d");
  EXPECT_TRUE(db_.RemoveLocalRecord(Installed("app", "d", "2.0", atx64)));
  EXPECT_EQ(Reloaded().application_size(), 0);
  EXPECT_EQ(ReadLocal(), "");

  CZEVComponentProxy no_version = Installed("app", "e", "1", atx64);
  no_version.mutable_component()->clear_versions();
  EXPECT_FALSE(db_.RecordInstalled(no_version));
  EXPECT_EQ(db_.GetLocalApplications().application_size(), 0);
}

TEST_F(LocalDatabaseTest, LocalDeletedWhileRunningIsWrittenBackByTheNextLoad) {
  ASSERT_TRUE(db_.RecordInstalled(Installed("app", "c", "1.0", atx64)));
  const std::string stored = ReadLocal();
  ASSERT_TRUE(registry_.DeleteTree(kRoot, std::string(kKey) + "Local"));

  EXPECT_FALSE(db_.LoadLocalDatabase());
  EXPECT_EQ(ReadLocal(), stored);
  EXPECT_TRUE(db_.LoadLocalDatabase());

  // With nothing in memory there is nothing to write back.
  LocalComponentDatabase empty("Software\\Classes\\CLSID\\{other}\\", &registry_);
  EXPECT_FALSE(empty.LoadLocalDatabase());
  std::string text;
  EXPECT_FALSE(registry_.ReadString(kRoot, "Software\\Classes\\CLSID\\{other}\\Local", "", &text));
}

TEST_F(LocalDatabaseTest, AValueThatDoesNotDecodeNeverReplacesTheGoodRecords) {
  ASSERT_TRUE(db_.RecordInstalled(Installed("app", "c", "1.0", atx64)));
  const CZEVApplications good = db_.GetLocalApplications();
  const std::string good_text = ReadLocal();
  const std::string key = std::string(kKey) + "Local";

  // Cut short, foreign text, Base64 of bytes that are no database, and a
  // valid prefix followed by junk (which a lenient decoder would accept).
  std::string stray = good_text;
  stray[stray.size() / 2] = '*';
  for (const std::string& damaged : {good_text.substr(0, good_text.size() - 5), std::string("not a database"),
                                     Base64Encode("\xff\xff\xff\xff garbage"), good_text + "!!!!", stray}) {
    ASSERT_TRUE(registry_.WriteString(kRoot, key, "", damaged));
    EXPECT_FALSE(db_.LoadLocalDatabase());
    EXPECT_TRUE(SameApps(db_.GetLocalApplications(), good));
    EXPECT_EQ(ReadLocal(), good_text);  // written back from memory
  }

  // A record made over a damaged value keeps the earlier ones.
  ASSERT_TRUE(registry_.WriteString(kRoot, key, "", "#damaged#"));
  ASSERT_TRUE(db_.RecordInstalled(Installed("app", "d", "1.0", atx64)));
  EXPECT_EQ(Records(Reloaded()), (std::vector<std::string>{"app/c/1.0/2", "app/d/1.0/2"}));

  std::string bytes = "untouched";
  ASSERT_TRUE(registry_.WriteString(kRoot, std::string(kKey) + "Server", "", "%%%"));
  EXPECT_FALSE(db_.ReadServerCopy(&bytes));
  EXPECT_EQ(bytes, "untouched");
}

TEST_F(LocalDatabaseTest, TakesOverAChangedValueButKeepsRecordsWhoseSaveFailed) {
  ASSERT_TRUE(db_.RecordInstalled(Installed("app", "c", "1.0", atx64)));

  // Another writer (an administrator's restore) changed the value: it wins.
  LocalComponentDatabase other(kKey, &registry_);
  ASSERT_TRUE(other.RecordInstalled(Installed("app", "x", "9.0", atx64)));
  EXPECT_TRUE(db_.LoadLocalDatabase());
  EXPECT_EQ(Records(db_.GetLocalApplications()), (std::vector<std::string>{"app/c/1.0/2", "app/x/9.0/2"}));

  // A full disk refuses a record; memory keeps it, and the next save that
  // works stores it with the rest.
  registry_.SetPageLimitForTesting(1);
  const CZEVComponentProxy big = Installed("app", std::string(20000, 'b'), "1.0", atx64);
  EXPECT_FALSE(db_.RecordInstalled(big));
  registry_.SetPageLimitForTesting(0);
  EXPECT_EQ(db_.GetRecordedUpdateTime(big), 1700000000000);
  ASSERT_TRUE(db_.RecordInstalled(Installed("app", "d", "1.0", atx64)));
  EXPECT_EQ(Reloaded().application(0).components().component_size(), 4);
}

TEST_F(LocalDatabaseTest, FiveThousandEntriesCrossTheReadLimitAndComeBackWhole) {
  {
    LocalComponentDatabase::Batch batch(&db_);
    for (int i = 0; i < 5000; ++i) {
      ASSERT_TRUE(batch.RecordInstalled(Installed("app" + std::to_string(i % 7), "component-" + std::to_string(i / 2),
                                                  "1." + std::to_string(i % 13), i % 2 ? atx64 : atx86, i)));
    }
    ASSERT_TRUE(batch.Commit());
  }
  const CZEVApplications apps = db_.GetLocalApplications();
  std::string bytes;
  ASSERT_TRUE(apps.SerializeToString(&bytes));
  ASSERT_GT(Base64Encode(bytes).size(), kRegReadLimitUnits);
  EXPECT_EQ(ReadLocal().rfind("#parts ", 0), 0u);  // no value over the read limit was written

  EXPECT_TRUE(SameApps(Reloaded(), apps));
  EXPECT_EQ(Records(apps).size(), 5000u);
  EXPECT_EQ(db_.GetRecordedUpdateTime(Installed("app5", "component-1000", "1.11", atx86)), 2000);
  EXPECT_EQ(db_.GetRecordedUpdateTime(Installed("app6", "component-1000", "1.12", atx64)), 2001);

  // Shrunk below the limit again, it is the plain text once more.
  {
    LocalComponentDatabase::Batch batch(&db_);
    for (int i = 0; i < 4000; ++i) {
      ASSERT_TRUE(batch.RemoveLocalRecord(Installed("app" + std::to_string(i % 7),
                                                    "component-" + std::to_string(i / 2),
                                                    "1." + std::to_string(i % 13), i % 2 ? atx64 : atx86)));
    }
  }
  ASSERT_TRUE(db_.GetLocalApplications().SerializeToString(&bytes));
  ASSERT_LT(Base64Encode(bytes).size(), kRegReadLimitUnits);
  EXPECT_EQ(ReadLocal(), Base64Encode(bytes));
  std::vector<RegEntry> values;
  ASSERT_TRUE(registry_.List(kRoot, std::string(kKey) + "Local", &values));
  EXPECT_EQ(values.size(), 1u);
  EXPECT_EQ(Records(Reloaded()).size(), 1000u);
}

TEST_F(LocalDatabaseTest, ABatchSavesOnceAtItsEndAndOtherRecordsWaitForIt) {
  ASSERT_TRUE(db_.RecordInstalled(Installed("app", "first", "1", atx64)));
  const std::string before = ReadLocal();
  std::thread other;
  {
    LocalComponentDatabase::Batch batch(&db_);
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(batch.RecordInstalled(Installed("app", "c" + std::to_string(i), "1", atx64)));
    other = std::thread([&] { EXPECT_TRUE(db_.RecordInstalled(Installed("app", "other", "1", atx64))); });
    EXPECT_EQ(batch.GetRecordedUpdateTime(Installed("app", "c7", "1", atx64)), 1700000000000);
    EXPECT_EQ(ReadLocal(), before);  // nothing stored yet
    EXPECT_TRUE(batch.Commit());
    EXPECT_FALSE(batch.RecordInstalled(Installed("app", "late", "1", atx64)));
  }
  other.join();
  std::vector<std::string> records = Records(Reloaded());
  EXPECT_EQ(records.size(), 52u);
  EXPECT_EQ(records.back(), "app/other/1/2");
}

TEST_F(LocalDatabaseTest, ConcurrentRecordersAndARemoverLoseNothing) {
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(db_.RecordInstalled(Installed("old", "c" + std::to_string(i), "1", atx86)));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 30; ++i) {
        EXPECT_TRUE(db_.RecordInstalled(Installed("app" + std::to_string(i % 3), "t" + std::to_string(t) + "-" +
                                                  std::to_string(i), "1", i % 2 ? atx64 : atx86)));
        db_.GetRecordedUpdateTime(Installed("old", "c1", "1", atx86));
      }
    });
  }
  threads.emplace_back([this] {
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(db_.RemoveLocalRecord(Installed("old", "c" + std::to_string(i), "1", atx86)));
  });
  for (auto& th : threads) th.join();

  const CZEVApplications apps = Reloaded();
  EXPECT_TRUE(SameApps(apps, db_.GetLocalApplications()));
  std::vector<std::string> records = Records(apps);
  EXPECT_EQ(records.size(), 120u);
  for (const std::string& r : records) EXPECT_NE(r.rfind("old/", 0), 0u) << r;
}

// The value must survive its writer being killed at any point: after a
// SIGKILL in the middle of a save it reads back whole (the old or the new
// database), whether it was split or not.
TEST_F(LocalDatabaseTest, AWriterKilledMidSaveLeavesAValueThatParses) {
  for (int round = 0; round < 4; ++round) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(ready[0]);
      RegistryStore store(common_.path());  // a connection of the child's own
      LocalComponentDatabase db(kKey, &store);
      for (int pass = 1;; ++pass) {
        LocalComponentDatabase::Batch batch(&db);
        // Sizes on both sides of the read limit, so that plain and split
        // saves replace each other. Every record of a pass carries its number.
        int count = pass % 2 ? 2000 : 600;
        for (int i = 0; i < count; ++i) {
          batch.RecordInstalled(Installed("app", "c" + std::to_string(i), "1", atx64, pass));
        }
        for (int i = count; i < 2000; ++i) batch.RemoveLocalRecord(Installed("app", "c" + std::to_string(i), "1", atx64));
        if (!batch.Commit()) _exit(2);
        if (write(ready[1], "x", 1) != 1) _exit(3);
      }
    }
    close(ready[1]);
    char byte;
    // Let it finish a few saves, then kill it during the next one.
    for (int i = 0; i < 2 + round; ++i) ASSERT_EQ(read(ready[0], &byte, 1), 1);
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(ready[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended on its own: " << status;

    LocalComponentDatabase reader(kKey, &registry_);
    ASSERT_TRUE(reader.LoadLocalDatabase()) << "round " << round;
    CZEVApplications apps = reader.GetLocalApplications();
    ASSERT_EQ(apps.application_size(), 1);
    // One whole pass, not a mix of two.
    const auto& components = apps.application(0).components().component();
    ASSERT_TRUE(components.size() == 600 || components.size() == 2000) << components.size();
    const int64_t pass = components.Get(0).versions().version(0).manifest().updatetime();
    EXPECT_EQ(components.size() == 2000, pass % 2 == 1);
    for (const auto& c : components) ASSERT_EQ(c.versions().version(0).manifest().updatetime(), pass);
  }
}

}  // namespace zev
