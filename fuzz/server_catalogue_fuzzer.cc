// Arbitrary text through ReadServerCatalogue: never a crash, and whatever is
// accepted serialises and parses again (every text is UTF-8).
#include <google/protobuf/stubs/logging.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "model/catalogue_json.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  google::protobuf::SetLogHandler(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zev;
  std::string text(reinterpret_cast<const char*>(data), size);
  CZEVApplications apps;
  if (ReadServerCatalogue(text, "/var/lib/zev/Varnel/ZEV/download", &apps)) {
    std::string bytes;
    if (!apps.SerializeToString(&bytes)) abort();
    CZEVApplications again;
    if (!again.ParseFromString(bytes)) abort();
  }
  return 0;
}
