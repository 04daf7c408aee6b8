// Test helper: logs many lines and returns from main at once, so that the
// test can check that the exit path writes every queued line.
//   log_exit_helper DIR COUNT
#include <cstdlib>

#include "base/log.h"

namespace zev {

namespace {
struct LogsOnDestruction {
  ~LogsOnDestruction() { LogWrite(kLogError, "static destructor"); }
};
LogsOnDestruction logs_on_destruction;  // destroyed after the log's exit handler ran
}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  if (argc != 3 || !LogInit(argv[1], "zevservice")) return 1;
  int count = atoi(argv[2]);
  LogWrite(kLogInfo, "start");
  for (int i = 0; i < count; ++i) LogWrite(kLogInfo, "line %d", i);
  return 0;
}
