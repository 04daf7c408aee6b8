// ReadServerCatalogue of a catalogue with 1,000 applications of 5 components
// each: time and peak memory, beside JsonCpp parsing the same text into a
// Json::Value alone (the floor). Each side runs in a child process of its
// own so that its peak resident size is its own.
#include <json/json.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "bench/bench_util.h"
#include "model/catalogue_json.h"

namespace zev {

namespace {

std::string MakeCatalogue(int apps, int components) {
  std::string doc = "[";
  for (int a = 0; a < apps; ++a) {
    if (a) doc += ",";
    doc += "{\"code\":\"app" + std::to_string(a) + "\",\"name\":\"Application " + std::to_string(a) +
           "\",\"description\":\"an application\",\"components\":[";
    for (int c = 0; c < components; ++c) {
      if (c) doc += ",";
      doc += "{\"libraryId\":\"lib-" + std::to_string(a) + "-" + std::to_string(c) +
             "\",\"name\":\"Component\",\"description\":\"a component\",\"version\":{\"version\":\"2.1." +
             std::to_string(c) + "\",\"arch\":2,\"platform\":2,\"description\":\"v\",\"manifest\":{\"runtime\":0,"
             "\"downloadDir\":\"\",\"entryPoint\":\"bin/main\",\"loadMode\":2,\"runMode\":3,\"updateTime\":1700000000000,"
             "\"execParams\":{\"pgroup\":\"group" + std::to_string(c % 3) + "\",\"pname\":\"p\",\"extendedParams\":\"\","
             "\"portRange\":\"\",\"triggerTime\":0,\"interval\":0,\"expiredTime\":0},\"depends\":[],\"resources\":["
             "{\"name\":\"main.7z\",\"path\":\"https://cdn.example/main.7z\",\"size\":1048576,\"hash\":"
             "\"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\",\"fileType\":10,\"directory\":\"bin\","
             "\"originalSize\":2097152,\"originalHash\":\"fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210\"}]}}}";
    }
    doc += "]}";
  }
  return doc + "]";
}

// Runs `fn` `runs` times in a child; returns the best time and the child's peak RSS.
void Measure(const char* name, int runs, const std::function<bool()>& fn) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return;
  pid_t pid = fork();
  if (pid == 0) {
    double best = 1e30;
    bool ok = true;
    for (int i = 0; i < runs; ++i) {
      int64_t t0 = NowNanos();
      ok = fn() && ok;
      best = std::min(best, (NowNanos() - t0) / 1e6);
    }
    if (!ok) best = -1;
    if (write(pipefd[1], &best, sizeof(best)) != sizeof(best)) _exit(1);
    _exit(0);
  }
  close(pipefd[1]);
  double best = 0;
  if (read(pipefd[0], &best, sizeof(best)) != sizeof(best)) best = -1;
  close(pipefd[0]);
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  printf("%-36s %8.1f ms   peak RSS %7.1f MiB\n", name, best, usage.ru_maxrss / 1024.0);
}

}  // namespace

}  // namespace zev

int main() {
  using namespace zev;
  const std::string doc = MakeCatalogue(1000, 5);
  printf("catalogue_bench: %zu bytes, 1000 applications x 5 components\n", doc.size());
  Measure("JsonCpp parse alone (floor)", 5, [&] {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    return reader->parse(doc.data(), doc.data() + doc.size(), &root, &errors);
  });
  Measure("ReadServerCatalogue", 5, [&] {
    CZEVApplications apps;
    return ReadServerCatalogue(doc, "/var/lib/zev/Varnel/ZEV/download", &apps) && apps.application_size() == 1000;
  });
  return 0;
}
