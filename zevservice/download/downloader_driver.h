// CZEVDownLoaderBase and CZEVAR2CDownLoader: fetch one file by starting the
// outside program `zevdownloader` (it lies beside the running executable)
// with the URL, the target folder and the target file name, and turn its end,
// a time limit or a stop request into a true/false result and a last error
// text. The download task manager holds one and calls setParams and download
// for each file on its worker thread, and stop from the thread that shuts it
// down.
#ifndef ZEV_DOWNLOAD_DOWNLOADER_DRIVER_H_
#define ZEV_DOWNLOAD_DOWNLOADER_DRIVER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "platform/wait.h"

namespace zev {

class CZEVDownLoaderBase {
 public:
  // `clock` measures the time limit and must outlive the object; null means
  // Clock::Real(). `timeout` is the limit in seconds (-1: none) until
  // setParams gives another one.
  explicit CZEVDownLoaderBase(Clock* clock = nullptr, int32_t timeout = -1);
  // Signals the stop event.
  virtual ~CZEVDownLoaderBase();
  CZEVDownLoaderBase(const CZEVDownLoaderBase&) = delete;
  CZEVDownLoaderBase& operator=(const CZEVDownLoaderBase&) = delete;

  // Runs one download with the stored values; true on success. Blocks the
  // calling thread. One download at a time per object.
  virtual bool download() = 0;

  // Stores the values for the next download; no checks here. `max_size`
  // is the most bytes the file may have (the package size the catalogue
  // declares); 0 or less: no limit.
  void setParams(const std::string& url, const std::string& directory, const std::string& file_name,
                 int32_t timeout, int64_t max_size = 0);

  // Signals the stop event (when it exists). Safe from any thread. The event
  // resets itself: one stop ends one waiting download, or the next one that
  // starts waiting when none waits now.
  void stop();

  // True when the stop event was created.
  bool isInitialised() const { return initialised_; }
  // The text of the last failure; unchanged by a success or a stop.
  std::string getLastError() const { return last_error_; }

 protected:
  Clock* const clock_;
  const std::unique_ptr<Event> stop_event_;
  const bool initialised_;
  int32_t timeout_;
  std::string url_;
  std::string directory_;
  std::string file_name_;
  int64_t max_size_ = 0;
  std::string last_error_;
};

class CZEVAR2CDownLoader : public CZEVDownLoaderBase {
 public:
  // The downloader is GetModuleDir() + "zevdownloader".
  explicit CZEVAR2CDownLoader(Clock* clock = nullptr);
  // The downloader is `program_dir` + "zevdownloader" (`program_dir` ends
  // with "/"); tests name a folder of their own.
  CZEVAR2CDownLoader(const std::string& program_dir, Clock* clock);

  // Fails with the last error
  //   "downloader not exists"        when there is no file at the program path;
  //   "down load paramers error"     when the url, folder or name is empty or
  //                                  holds NUL, CR or LF (nothing is started);
  //   "TlsCaFile refused: " + reason when the setting TlsCaFile names a file
  //                                  that root alone cannot be sure of
  //                                  (IsTrustedFile; nothing is started);
  //                                  otherwise its file goes to the program
  //                                  as --ca-certificate=FILE;
  //   "down process error: " + errno when the program cannot be started;
  //   "download time out"            when the time limit passed (the program
  //                                  is killed);
  //   "download task stoped"         when the program reports that it was
  //                                  stopped (exit code 254);
  //   "download larger than declared size"
  //                                  when the file outgrew the size limit
  //                                  (the program ends at once, exit code 10);
  //   "down process ret:" + code     for any other exit code but 0.
  // A stop request kills the program and fails with the last error unchanged.
  // The program is always waited for before download returns: no child is
  // left behind, neither running nor as a zombie.
  bool download() override;

  const std::string& exePath() const { return exe_path_; }

  // The parameter text as the downloader's command line reads it: the
  // quoted url, " -d ", the folder with each blank quoted on its own,
  // " --file-allocation=none -o ", the name, and " --max-size=" with the
  // limit when it is above 0. Kept for the log; the program itself receives
  // the argument list of BuildArguments.
  static std::string BuildParameterText(const std::string& url, const std::string& directory,
                                        const std::string& file_name, int64_t max_size = 0);
  // The program's argument list: program, url, "-d", folder,
  // "--file-allocation=none", "-o", name, and "--max-size=" with the limit
  // when it is above 0; each value exactly as given.
  static std::vector<std::string> BuildArguments(const std::string& program, const std::string& url,
                                                 const std::string& directory, const std::string& file_name,
                                                 int64_t max_size = 0);
  // True when `text` holds no NUL, CR or LF (which no argument may carry).
  static bool IsSafeArgument(const std::string& text);

 private:
  const std::string exe_path_;
};

}  // namespace zev

#endif  // ZEV_DOWNLOAD_DOWNLOADER_DRIVER_H_
