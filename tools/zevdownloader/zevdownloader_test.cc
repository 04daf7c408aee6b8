// Runs the real zevdownloader binary as a child process against a loopback
// HTTP server and real files.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "testing/sync.h"
#include "contract/downloader_exit_codes.h"
#include "tools/zevdownloader/loopback_http_server.h"

extern char** environ;

namespace zev {

namespace downloader {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr size_t kBodySize = 300 * 1000;
constexpr size_t kLongBody = 64 << 20;

std::string MakeBody(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return body;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const fs::path& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

struct RunResult {
  int code = -1;
  bool timed_out = false;
  std::string out;
  std::string err;
};

// The downloader as a child process with its standard output and error
// captured through pipes.
class Child {
 public:
  // Runs the downloader with `args`; with a `wrapper`, runs wrapper[0] with
  // wrapper[1..] followed by the downloader's path and `args` instead.
  explicit Child(const std::vector<std::string>& args, const std::vector<std::string>& wrapper = {}) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all = wrapper;
    all.push_back(ZEV_DOWNLOADER_PATH);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, all[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
  }

  pid_t pid() const { return pid_; }

  // Waits for the end at most `limit`, then kills the child.
  RunResult Wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    RunResult result;
    auto deadline = SteadyClock::now() + limit;
    int status = 0;
    while (true) {
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) break;
      if (SteadyClock::now() > deadline) {
        result.timed_out = true;
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadAll(out_fd_);
    result.err = ReadAll(err_fd_);
    return result;
  }

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
};

RunResult RunDownloader(const std::vector<std::string>& args) { return Child(args).Wait(); }

// True once `pid` has ended (gone, or a zombie waiting for its new parent).
bool HasEnded(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return true;
  size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z';
}

bool WaitForPartSize(const fs::path& part, uintmax_t size) {
  auto deadline = SteadyClock::now() + std::chrono::seconds(10);
  std::error_code ec;
  while (SteadyClock::now() < deadline) {
    if (fs::exists(part, ec) && fs::file_size(part, ec) == size) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// A failure writes exactly one line to standard error and nothing to
// standard output.
void ExpectOneErrorLine(const RunResult& r) {
  EXPECT_TRUE(r.out.empty()) << r.out;
  ASSERT_FALSE(r.err.empty());
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

class ZevDownloader : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zevdownloader_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    dir_ = root_ / "down load" / "nested";
    body_ = MakeBody(kBodySize);
    server_ = std::make_unique<LoopbackHttpServer>(
        [this](const HttpRequest& request, HttpConnection& c) { Answer(request, c); });
    ASSERT_TRUE(server_->Start());
  }
  void TearDown() override {
    server_->Stop();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void Answer(const HttpRequest& request, HttpConnection& c) {
    const std::string size = std::to_string(body_.size());
    if (request.has_range) ranges_seen_++;
    if (request.path == "/file") {
      if (request.has_range && request.range_start >= static_cast<long long>(body_.size())) {
        c.SendHead(416, {"Content-Range: bytes */" + size, "Content-Length: 0"});
      } else if (request.has_range) {
        size_t start = static_cast<size_t>(request.range_start);
        c.SendHead(206, {"Content-Length: " + std::to_string(body_.size() - start),
                         "Content-Range: bytes " + std::to_string(start) + "-" +
                             std::to_string(body_.size() - 1) + "/" + size});
        SendBody(c, start, body_.size() - start);
      } else {
        c.SendHead(200, {"Content-Length: " + size});
        SendBody(c, 0, body_.size());
      }
    } else if (request.path == "/no-range") {
      c.SendHead(200, {"Content-Length: " + size});
      SendBody(c, 0, body_.size());
    } else if (request.path == "/wrong-range") {
      // A 206 that starts somewhere other than where it was asked to.
      c.SendHead(206, {"Content-Length: " + size, "Content-Range: bytes 0-" +
                                                        std::to_string(body_.size() - 1) + "/" + size});
      SendBody(c, 0, body_.size());
    } else if (request.path == "/empty") {
      c.SendHead(200, {"Content-Length: 0"});
    } else if (request.path == "/redirect") {
      c.SendHead(302, {"Location: /file", "Content-Length: 0"});
    } else if (request.path == "/to-file") {
      c.SendHead(302, {"Location: file://" + (root_ / "source.bin").string(), "Content-Length: 0"});
    } else if (request.path == "/short") {
      c.SendHead(200, {"Content-Length: " + size});
      SendBody(c, 0, body_.size() / 2);
    } else if (request.path == "/stall") {
      c.SendHead(200, {"Content-Length: " + size});
      SendBody(c, 0, 1000);
      c.HoldUntilClosed();
    } else if (request.path == "/long") {
      c.SendHead(200, {});  // no length, and far more than any limit of the tests
      for (size_t sent = 0; sent < kLongBody && SendBody(c, 0, body_.size());) sent += body_.size();
    } else if (request.path == "/huge") {
      c.SendHead(200, {"Content-Length: 1152921504606846976"});
      SendBody(c, 0, 1000);
      c.HoldUntilClosed();
    } else {
      const std::string page = "<html>not here</html>";
      c.SendHead(404, {"Content-Length: " + std::to_string(page.size())});
      c.Send(page);
    }
  }

  // Counted before the send: the client may read it all and end before this
  // thread goes on, and the test reads the count when the client has ended.
  bool SendBody(HttpConnection& c, size_t offset, size_t count) {
    server_->CountBodyBytes(count);
    return c.Send(body_.data() + offset, count);
  }

  std::vector<std::string> Args(const std::string& url, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {url, "-d", dir_.string(), "--file-allocation=none", "-o", "out.bin"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  fs::path Final() const { return dir_ / "out.bin"; }
  fs::path Part() const { return dir_ / "out.bin.part"; }

  fs::path root_;
  fs::path dir_;
  std::string body_;
  std::atomic<int> ranges_seen_{0};
  std::unique_ptr<LoopbackHttpServer> server_;
};

TEST_F(ZevDownloader, RefusesBadCommandLinesWithCodeOne) {
  const std::string url = server_->Url("/file");
  const std::string dir = dir_.string();
  const std::vector<std::vector<std::string>> bad = {
      {url, "-d", dir, "-d", dir, "-o", "a"},
      {url, "-d", dir, "-o", "a", "-o", "b"},
      {url, "-d", dir, "--file-allocation=none", "--file-allocation=none", "-o", "a"},
      {url, url, "-d", dir, "-o", "a"},
      {url, "-d", dir, "-o", "sub/a"},
      {url, "-d", dir, "-o", ".."},
      {url, "-d", dir, "-o", ""},
      {url, "-d", dir},
      {url, "-d", dir, "-o"},
      {"-d", dir, "-o", "a"},
      {url, "-d", dir, "-o", "a", "--continue"},
      {url, "-d", dir, "-o", "a", "--stall-seconds=0"},
      {url, "-d", dir, "-o", "a", "--max-size=0"},
  };
  for (const auto& args : bad) {
    RunResult r = RunDownloader(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(r.code, kExitUsage) << joined;
    ExpectOneErrorLine(r);
  }
  EXPECT_FALSE(fs::exists(dir_));
  EXPECT_EQ(server_->requests(), 0);
}

TEST_F(ZevDownloader, SavesHttpFileCreatingItsDirectory) {
  RunResult r = RunDownloader(Args(server_->Url("/file")));
  EXPECT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(r.out.empty());
  EXPECT_TRUE(r.err.empty());
  EXPECT_EQ(ReadFile(Final()), body_);
  EXPECT_FALSE(fs::exists(Part()));

  // A redirect to http is followed, and the old file is replaced.
  WriteFile(Final(), "old");
  r = RunDownloader(Args(server_->Url("/redirect")));
  EXPECT_EQ(r.code, kExitOk) << r.err;
  EXPECT_EQ(ReadFile(Final()), body_);
}

TEST_F(ZevDownloader, SavesFileUrlAndReportsAMissingOne) {
  // Only a file every user could read is copied, and kept private (mkdtemp made root_ private).
  const fs::path shared = root_ / "shared", hidden = root_ / "hidden";
  for (const fs::path& dir : {shared, hidden}) fs::create_directories(dir);
  for (const fs::path& file : {shared / "source.bin", hidden / "source.bin", shared / "secret"}) WriteFile(file, body_);
  ASSERT_EQ(chmod(root_.c_str(), 0711) | chmod(hidden.c_str(), 0700) | chmod((shared / "secret").c_str(), 0600), 0);
  fs::create_symlink(shared / "secret", shared / "link");
  const std::string s = shared.string();
  for (const auto& [url, code] : std::vector<std::pair<std::string, int>>{
           {"file://" + s + "/source.bin", kExitOk}, {"file://localhost" + s + "/source.bin", kExitOk},
           {"file://" + s + "/secret", kExitSource}, {"file://" + s + "/link", kExitSource},
           {"file://" + hidden.string() + "/source.bin", kExitSource}, {"file://" + s, kExitSource},
           {"file://127.0.0.1" + s + "/source.bin", kExitSource}, {"file://" + s + "/absent.bin", kExitSource}}) {
    RunResult r = RunDownloader(Args(url));
    EXPECT_EQ(r.code, code) << url << ": " << r.err;
    EXPECT_FALSE(fs::exists(Part())) << url;
    EXPECT_EQ(fs::exists(Final()), code == kExitOk) << url;
    EXPECT_TRUE(code != kExitOk || ReadFile(Final()) == body_) << url;  // a flag: no body printed
    EXPECT_TRUE(code != kExitOk || (fs::status(Final()).permissions() & ~fs::perms::owner_all) == fs::perms::none);
    fs::remove(Final());
  }
}

TEST_F(ZevDownloader, NeverWritesThroughWhatSitsAtThePartsName) {
  const fs::path target = root_ / "target";
  WriteFile(root_ / "source.bin", body_);
  ASSERT_EQ(chmod(root_.c_str(), 0711), 0);
  fs::create_directories(dir_);
  const std::vector<std::function<void()>> plants = {
      [&] { fs::create_symlink(target, Part()); }, [&] { fs::create_hard_link(target, Part()); },
      [&] { WriteFile(Part(), "x"); EXPECT_EQ(chown(Part().c_str(), 65534, 65534), 0); }};  // another user's
  for (const std::string& url : {server_->Url("/file"), "file://" + (root_ / "source.bin").string()}) {
    for (size_t i = 0; i < plants.size(); ++i) {
      WriteFile(target, "keep");
      plants[i]();
      EXPECT_EQ(RunDownloader(Args(url)).code, kExitOk) << i << " " << url;
      EXPECT_TRUE(ReadFile(target) == "keep" && ReadFile(Final()) == body_) << i << " " << url;
      fs::remove(target);
    }
  }
}

TEST_F(ZevDownloader, LeavesNoFileAfterAnErrorStatus) {
  // A .part left from an earlier run goes too: the source is gone.
  fs::create_directories(dir_);
  WriteFile(Part(), "earlier");
  RunResult r = RunDownloader(Args(server_->Url("/missing")));
  EXPECT_EQ(r.code, kExitSource);
  ExpectOneErrorLine(r);
  EXPECT_NE(r.err.find("404"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(Final()));
  EXPECT_FALSE(fs::exists(Part()));
}

TEST_F(ZevDownloader, RefusesProtocolsOutsideHttpHttpsAndFile) {
  WriteFile(root_ / "source.bin", body_);
  RunResult r = RunDownloader(Args(server_->Url("/to-file")));
  EXPECT_EQ(r.code, kExitProtocol) << r.err;
  ExpectOneErrorLine(r);
  EXPECT_FALSE(fs::exists(Final()));
  EXPECT_FALSE(fs::exists(Part()));

  r = RunDownloader(Args("ftp://127.0.0.1:" + std::to_string(server_->port()) + "/file"));
  EXPECT_EQ(r.code, kExitProtocol) << r.err;
  ExpectOneErrorLine(r);
  EXPECT_FALSE(fs::exists(Final()));
}

TEST_F(ZevDownloader, FailsWithDiskFullWhenTheLengthExceedsFreeSpace) {
  RunResult r = RunDownloader(Args(server_->Url("/huge")));
  EXPECT_EQ(r.code, kExitDiskFull) << r.err;
  ExpectOneErrorLine(r);
  EXPECT_FALSE(fs::exists(Final()));
  EXPECT_FALSE(fs::exists(Part()));
}

TEST_F(ZevDownloader, EndsAtOnceWhenTheFileOutgrowsItsLimit) {
  WriteFile(root_ / "source.bin", body_);
  ASSERT_EQ(chmod(root_.c_str(), 0711), 0);
  const std::string size = std::to_string(body_.size()), less = std::to_string(body_.size() - 1);
  for (const auto& [url, limit, code] : std::vector<std::tuple<std::string, std::string, int>>{
           {server_->Url("/file"), size, kExitOk},
           {server_->Url("/file"), less, kExitTooLarge},  // announced beyond the limit
           {server_->Url("/long"), "1000000", kExitTooLarge},
           {"file://" + root_.string() + "/source.bin", less, kExitTooLarge}}) {
    const uint64_t served_before = server_->body_bytes();
    RunResult r = RunDownloader(Args(url, {"--max-size", limit}));
    EXPECT_EQ(r.code, code) << url << " " << limit << ": " << r.err;
    EXPECT_TRUE(!fs::exists(Part()) && fs::exists(Final()) == (code == kExitOk)) << url;
    EXPECT_LT(server_->body_bytes() - served_before, kLongBody / 2) << url;  // the client stopped reading
    fs::remove(Final());
  }
}

TEST_F(ZevDownloader, KeepsPartAfterAShortBodyAndResumesWithTheTail) {
  RunResult r = RunDownloader(Args(server_->Url("/short")));
  EXPECT_EQ(r.code, kExitNetwork) << r.err;
  ExpectOneErrorLine(r);
  EXPECT_FALSE(fs::exists(Final()));
  ASSERT_TRUE(fs::exists(Part()));
  EXPECT_EQ(ReadFile(Part()), body_.substr(0, body_.size() / 2));

  // The next run asks only for the rest.
  uint64_t served_before = server_->body_bytes();
  r = RunDownloader(Args(server_->Url("/file")));
  EXPECT_EQ(r.code, kExitOk) << r.err;
  EXPECT_EQ(ReadFile(Final()), body_);
  EXPECT_FALSE(fs::exists(Part()));
  EXPECT_EQ(ranges_seen_.load(), 1);
  EXPECT_EQ(server_->body_bytes() - served_before, body_.size() - body_.size() / 2);
}

TEST_F(ZevDownloader, RestartsFromZeroWhenTheResumeCannotExtendThePart) {
  fs::create_directories(dir_);
  const std::string wrong(1000, 'x');

  // A server without ranges answers 200: the whole body replaces the part.
  WriteFile(Part(), wrong);
  RunResult r = RunDownloader(Args(server_->Url("/no-range")));
  EXPECT_EQ(r.code, kExitOk) << r.err;
  EXPECT_EQ(ReadFile(Final()), body_);
  EXPECT_EQ(ranges_seen_.load(), 1);

  // A part longer than the file draws a 416; the second request is whole.
  fs::remove(Final());
  WriteFile(Part(), std::string(body_.size() + 10, 'x'));
  int requests_before = server_->requests();
  r = RunDownloader(Args(server_->Url("/file")));
  EXPECT_EQ(r.code, kExitOk) << r.err;
  EXPECT_EQ(ReadFile(Final()), body_);
  EXPECT_EQ(server_->requests() - requests_before, 2);
  EXPECT_EQ(ranges_seen_.load(), 2);

  // An empty whole file replaces the part as well.
  fs::remove(Final());
  WriteFile(Part(), wrong);
  r = RunDownloader(Args(server_->Url("/empty")));
  EXPECT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(fs::exists(Final()));
  EXPECT_EQ(fs::file_size(Final()), 0u);

  // A 206 that starts elsewhere is not appended.
  fs::remove(Final());
  WriteFile(Part(), wrong);
  r = RunDownloader(Args(server_->Url("/wrong-range")));
  EXPECT_EQ(r.code, kExitOk) << r.err;
  EXPECT_EQ(ReadFile(Final()), body_);
  EXPECT_FALSE(fs::exists(Part()));
}

TEST_F(ZevDownloader, EndsAStallWithinItsLimitAndKeepsPart) {
  auto start = SteadyClock::now();
  RunResult r = Child(Args(server_->Url("/stall"), {"--stall-seconds=1"})).Wait(std::chrono::seconds(15));
  auto elapsed = SteadyClock::now() - start;
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.code, kExitStall) << r.err;
  ExpectOneErrorLine(r);
  EXPECT_GE(elapsed, std::chrono::seconds(1));
  // Process start and exit count too (slow under a sanitizer); the default
  // limit of a minute would be far beyond this.
  EXPECT_LT(elapsed, std::chrono::seconds(8));
  EXPECT_EQ(ReadFile(Part()), body_.substr(0, 1000));
  EXPECT_FALSE(fs::exists(Final()));
}

TEST_F(ZevDownloader, StopsOnSigtermWithTheStoppedCodeAndKeepsPart) {
  Child child(Args(server_->Url("/stall")));
  ASSERT_TRUE(WaitForPartSize(Part(), 1000));
  auto sent = SteadyClock::now();
  kill(child.pid(), SIGTERM);
  RunResult r = child.Wait(std::chrono::seconds(15));
  EXPECT_FALSE(r.timed_out);
  EXPECT_LT(SteadyClock::now() - sent, std::chrono::seconds(8));
  EXPECT_EQ(r.code, kExitStopped) << r.err;
  ExpectOneErrorLine(r);
  EXPECT_EQ(ReadFile(Part()), body_.substr(0, 1000));
  EXPECT_FALSE(fs::exists(Final()));
}

TEST_F(ZevDownloader, EndsWithItsParentAndKeepsPart) {
  // A shell starts the downloader in the background, notes its pid and waits.
  const fs::path pid_file = root_ / "pid";
  Child shell(Args(server_->Url("/stall")),
              {"/bin/sh", "-c", "\"$0\" \"$@\" & echo $! > " + pid_file.string() + "; wait"});
  ASSERT_TRUE(WaitForPartSize(Part(), 1000));
  // The shell may write the pid after the downloader has written its part.
  ASSERT_TRUE(PollUntil([&] { return ReadFile(pid_file).find('\n') != std::string::npos; }));
  pid_t downloader = static_cast<pid_t>(std::stol(ReadFile(pid_file)));
  kill(shell.pid(), SIGKILL);
  auto deadline = SteadyClock::now() + std::chrono::seconds(5);
  while (!HasEnded(downloader) && SteadyClock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(HasEnded(downloader));
  RunResult r = shell.Wait(std::chrono::seconds(5));
  EXPECT_EQ(r.code, 128 + SIGKILL);
  EXPECT_EQ(ReadFile(Part()), body_.substr(0, 1000));
  EXPECT_FALSE(fs::exists(Final()));
}

}  // namespace
}  // namespace downloader

}  // namespace zev
