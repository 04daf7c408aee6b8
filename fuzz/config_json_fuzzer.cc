// Arbitrary bytes as a product package's Config.json, read the way the
// product strategy reads it (ReadConfigJson on the package's folder): never
// a crash, and every entry made serialises and parses again.
#include <google/protobuf/stubs/logging.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model/catalogue_json.h"
#include "platform/paths.h"

namespace zev {

namespace {

std::string& Folder() {
  static std::string folder;
  return folder;
}

}  // namespace

}  // namespace zev

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace zev;
  google::protobuf::SetLogHandler(nullptr);
  char pattern[] = "/tmp/zev-config-fuzz.XXXXXX";
  if (mkdtemp(pattern) == nullptr) abort();
  Folder() = pattern;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zev;
  const std::string path = JoinPath(Folder(), kConfigJsonName);
  if (!WriteFileAtomically(path, std::string(reinterpret_cast<const char*>(data), size), false)) abort();
  std::vector<CZEVComponentProxy> entries;
  ReadConfigJson(Folder(), &entries);
  for (const CZEVComponentProxy& entry : entries) {
    std::string bytes;
    if (!entry.component().SerializeToString(&bytes)) abort();
    CZEVComponent again;
    if (!again.ParseFromString(bytes)) abort();
  }
  return 0;
}
