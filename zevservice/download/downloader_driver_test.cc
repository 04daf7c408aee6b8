// The downloader driver against the real zevdownloader program (placed beside
// this test) and a loopback HTTP server: whole files, failures, stop, time
// limit and the reaping of every child.
#include "download/downloader_driver.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "testing/fake_clock.h"
#include "testing/sync.h"
#include "testing/test_util.h"
#include "download/archive_test_util.h"
#include "download/download_test_util.h"
#include "tools/zevdownloader/loopback_http_server.h"

namespace zev {

namespace {

namespace fs = std::filesystem;
using downloader::HttpConnection;
using downloader::HttpRequest;
using downloader::LoopbackHttpServer;

// True when `pid` is not an unreaped child of ours (neither running nor a
// zombie): waitid answers ECHILD for it.
bool IsReaped(pid_t pid) {
  siginfo_t info;
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD;
}

class DownloaderDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    body_.resize(300 * 1024);
    uint32_t x = 12345;
    for (char& c : body_) {
      x = x * 1103515245u + 12345u;
      c = static_cast<char>(x >> 24);
    }
    server_ = std::make_unique<LoopbackHttpServer>(
        [this](const HttpRequest& request, HttpConnection& c) { Answer(request, c); });
    ASSERT_TRUE(server_->Start());
    ASSERT_FALSE(tmp_.path().empty());
  }
  void TearDown() override { server_->Stop(); }

  void Answer(const HttpRequest& request, HttpConnection& c) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      paths_.push_back(request.path);
    }
    if (request.path.rfind("/data", 0) == 0) {
      c.SendHead(200, {"Content-Length: " + std::to_string(body_.size())});
      c.Send(body_);
    } else if (request.path == "/held") {
      c.SendHead(200, {"Content-Length: " + std::to_string(body_.size())});
      c.Send(body_.data(), 1000);
      held_.Open();
      c.HoldUntilClosed();
    } else {
      const std::string page = "<html>not here</html>";
      c.SendHead(404, {"Content-Length: " + std::to_string(page.size())});
      c.Send(page);
    }
  }

  std::vector<std::string> Paths() {
    std::lock_guard<std::mutex> lock(mu_);
    return paths_;
  }

  std::string ProgramDir() const { return GetModuleDir(); }

  ScopedTempDir tmp_;
  FakeClock clock_;
  std::string body_;
  std::unique_ptr<LoopbackHttpServer> server_;
  Latch held_;
  std::mutex mu_;
  std::vector<std::string> paths_;  // guarded by mu_
};

TEST_F(DownloaderDriverTest, FindsTheDownloaderBesideTheRunningProgram) {
  CZEVAR2CDownLoader loader;
  EXPECT_TRUE(loader.isInitialised());
  EXPECT_EQ(loader.exePath(), GetModuleDir() + "zevdownloader");
  EXPECT_TRUE(FileExists(loader.exePath()));
}

TEST_F(DownloaderDriverTest, BuildsTheParameterTextWithEachBlankQuoted) {
  EXPECT_EQ(CZEVAR2CDownLoader::BuildParameterText("http://h/f.7z", "C:\\a b\\", "f.7z"),
            "\"http://h/f.7z\" -d C:\\a\" \"b\\ --file-allocation=none -o f.7z");
  EXPECT_EQ(CZEVAR2CDownLoader::BuildParameterText("u", "/x  y", "n m"),
            "\"u\" -d /x\" \"\" \"y --file-allocation=none -o n m");
  // The program gets every value as one argument, unchanged.
  std::vector<std::string> expected = {"/p/zevdownloader", "http://h/?q=\"a b\"", "-d", "/x  y",
                                       "--file-allocation=none", "-o", "n m"};
  EXPECT_EQ(CZEVAR2CDownLoader::BuildArguments("/p/zevdownloader", "http://h/?q=\"a b\"", "/x  y", "n m"), expected);
}

TEST_F(DownloaderDriverTest, FetchesWholeFileIntoFolderAndNameWithBlanksAndQuotedQuery) {
  CZEVAR2CDownLoader loader(ProgramDir(), &clock_);
  const std::string folder = tmp_.Sub("two  blanks and more");
  const std::string query = "/data?name=\"x\"&v=1";
  loader.setParams(server_->Url(query), folder, "my file.bin", -1);
  ASSERT_TRUE(loader.download()) << loader.getLastError();
  EXPECT_EQ(ReadAll(folder + "/my file.bin"), body_);
  EXPECT_EQ(Paths(), std::vector<std::string>{query});
  // Nothing landed beside the folder under a split name.
  std::vector<std::string> entries;
  for (const auto& e : fs::directory_iterator(tmp_.path())) entries.push_back(e.path().filename().string());
  EXPECT_EQ(entries, std::vector<std::string>{"two  blanks and more"});
}

TEST_F(DownloaderDriverTest, QuoteInUrlInjectsNoOption) {
  CZEVAR2CDownLoader loader(ProgramDir(), &clock_);
  const std::string folder = tmp_.Sub("in");
  // Split as one command-line text, this URL would become "/data?x=" plus
  // an option of its own, and the download would succeed with it.
  loader.setParams(server_->Url("/data?x=\" \"--stall-seconds=1"), folder, "out.bin", -1);
  EXPECT_FALSE(loader.download());
  // The downloader got the whole text as its URL and refused it as malformed
  // (a URL holds no blank), before any request.
  EXPECT_EQ(loader.getLastError(), "down process ret:1");
  EXPECT_TRUE(Paths().empty());
  EXPECT_FALSE(fs::exists(folder + "/out.bin"));
}

TEST_F(DownloaderDriverTest, ReportsFailuresWithTheirTexts) {
  {
    CZEVAR2CDownLoader loader(ProgramDir(), &clock_);
    loader.setParams(server_->Url("/missing"), tmp_.Sub("out"), "f.bin", -1);
    EXPECT_FALSE(loader.download());
    EXPECT_EQ(loader.getLastError(), "down process ret:7");  // the downloader's source failure
    EXPECT_FALSE(fs::exists(tmp_.Sub("out/f.bin")));
  }
  {
    CZEVAR2CDownLoader loader(ProgramDir(), &clock_);
    loader.setParams("", tmp_.Sub("out"), "f.bin", -1);
    EXPECT_FALSE(loader.download());
    EXPECT_EQ(loader.getLastError(), "down load paramers error");
    loader.setParams(server_->Url("/data"), "", "f.bin", -1);
    EXPECT_FALSE(loader.download());
    EXPECT_EQ(loader.getLastError(), "down load paramers error");
    loader.setParams(server_->Url("/data"), tmp_.Sub("out"), "", -1);
    EXPECT_FALSE(loader.download());
    EXPECT_EQ(loader.getLastError(), "down load paramers error");
  }
  EXPECT_EQ(Paths().size(), 1u);
}

TEST_F(DownloaderDriverTest, RefusesLineBreaksAndNulWithoutStartingAnything) {
  CZEVAR2CDownLoader loader(ProgramDir(), &clock_);
  const std::string folder = tmp_.Sub("out");
  const std::vector<std::vector<std::string>> cases = {
      {server_->Url("/data\r\nX: y"), folder, "f.bin"},
      {server_->Url("/data"), folder + "\nz", "f.bin"},
      {server_->Url("/data"), folder, std::string("f\0.bin", 6)},
      {server_->Url("/data") + std::string("\0-d", 3), folder, "f.bin"},
      {server_->Url("/data"), folder, "f\r.bin"},
  };
  for (const auto& c : cases) {
    loader.setParams(c[0], c[1], c[2], 5);
    EXPECT_FALSE(loader.download());
    EXPECT_EQ(loader.getLastError(), "down load paramers error");
    EXPECT_EQ(AwaitChildDownloader(0), 0);
  }
  EXPECT_TRUE(Paths().empty());
  EXPECT_FALSE(fs::exists(folder));
}

TEST_F(DownloaderDriverTest, ReportsAMissingOrUnstartableDownloader) {
  ScopedTempDir empty;
  CZEVAR2CDownLoader missing(empty.path() + "/", &clock_);
  missing.setParams(server_->Url("/data"), tmp_.Sub("out"), "f.bin", -1);
  EXPECT_FALSE(missing.download());
  EXPECT_EQ(missing.getLastError(), "downloader not exists");

  // A file that cannot be run: the system error number follows the text.
  std::ofstream(empty.Sub("zevdownloader")) << "not a program\n";
  chmod(empty.Sub("zevdownloader").c_str(), 0644);
  CZEVAR2CDownLoader unstartable(empty.path() + "/", &clock_);
  unstartable.setParams(server_->Url("/data"), tmp_.Sub("out"), "f.bin", -1);
  EXPECT_FALSE(unstartable.download());
  EXPECT_EQ(unstartable.getLastError(), "down process error: " + std::to_string(EACCES));
  EXPECT_TRUE(Paths().empty());
}

// Stop, time limit and an outside stop, each during a download the server
// holds open: the child ends, is reaped, and download returns promptly.
TEST_F(DownloaderDriverTest, StopEndsAndReapsAHeldDownloadWithinASecond) {
  CZEVAR2CDownLoader loader(ProgramDir(), &clock_);
  loader.setParams(server_->Url("/missing"), tmp_.Sub("out"), "f.bin", -1);
  ASSERT_FALSE(loader.download());
  ASSERT_EQ(loader.getLastError(), "down process ret:7");

  loader.setParams(server_->Url("/held"), tmp_.Sub("out"), "f.bin", -1);
  bool result = true;
  std::thread worker([&] { result = loader.download(); });
  ASSERT_TRUE(held_.Wait());
  pid_t child = AwaitChildDownloader();
  ASSERT_NE(child, 0);
  auto asked = std::chrono::steady_clock::now();
  loader.stop();
  worker.join();
  auto took = std::chrono::steady_clock::now() - asked;
  EXPECT_LT(took, std::chrono::seconds(8));  // the stall limit is a minute
  EXPECT_FALSE(result);
  EXPECT_EQ(loader.getLastError(), "down process ret:7");  // a stop leaves the last error alone
  EXPECT_TRUE(IsReaped(child));
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(child)));
}

TEST_F(DownloaderDriverTest, StopBeforeDownloadEndsTheNextOneAtOnce) {
  CZEVAR2CDownLoader loader(ProgramDir(), &clock_);
  loader.stop();
  loader.setParams(server_->Url("/held"), tmp_.Sub("out"), "f.bin", -1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(loader.download());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  EXPECT_EQ(loader.getLastError(), "");
  EXPECT_EQ(AwaitChildDownloader(0), 0);
  // The event reset itself: the next download runs to its end.
  loader.setParams(server_->Url("/data"), tmp_.Sub("out"), "f.bin", -1);
  EXPECT_TRUE(loader.download()) << loader.getLastError();
}

TEST_F(DownloaderDriverTest, TimeLimitOnTheClockEndsAndReapsTheDownloader) {
  CZEVAR2CDownLoader loader(ProgramDir(), &clock_);
  loader.setParams(server_->Url("/held"), tmp_.Sub("out"), "f.bin", 2);
  bool result = true;
  Latch returned;
  std::thread worker([&] {
    result = loader.download();
    returned.Open();
  });
  ASSERT_TRUE(held_.Wait());
  pid_t child = AwaitChildDownloader();
  ASSERT_NE(child, 0);
  // 19 polls of 100 ms: 1899 ms are not yet the limit.
  clock_.Advance(1899);
  EXPECT_FALSE(returned.Wait(std::chrono::milliseconds(300)));
  EXPECT_FALSE(IsReaped(child));
  clock_.Advance(1);
  EXPECT_TRUE(returned.Wait(std::chrono::seconds(2)));
  worker.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(loader.getLastError(), "download time out");
  EXPECT_TRUE(IsReaped(child));
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(child)));
}

TEST_F(DownloaderDriverTest, DownloaderStoppedFromOutsideReportsTaskStopped) {
  CZEVAR2CDownLoader loader(ProgramDir(), &clock_);
  loader.setParams(server_->Url("/held"), tmp_.Sub("out"), "f.bin", 0);
  bool result = true;
  std::thread worker([&] { result = loader.download(); });
  ASSERT_TRUE(held_.Wait());
  pid_t child = AwaitChildDownloader();
  ASSERT_NE(child, 0);
  kill(child, SIGTERM);
  worker.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(loader.getLastError(), "download task stoped");
  EXPECT_TRUE(IsReaped(child));
}

}  // namespace

}  // namespace zev
