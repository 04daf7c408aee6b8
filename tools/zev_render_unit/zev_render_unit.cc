// zev-render-unit: writes the systemd unit of the service for a given
// program path, so that the Debian package ships the very text that
// "zevsvc install" writes.
//
//   zev-render-unit PROGRAM OUT
//
// PROGRAM is the absolute path the unit's ExecStart runs; OUT the file to
// write (replaced whole: written beside it, then renamed). Exit status 0 on
// success, 1 when the path cannot go into a unit or OUT cannot be written,
// 2 on a wrong command line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/systemd_unit.h"

namespace zev {

namespace {

bool WriteWhole(const std::string& path, const std::string& text, std::string* error) {
  const std::string temp = path + ".tmp";
  FILE* file = std::fopen(temp.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot create " + temp + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int write_errno = errno;
  if (std::fclose(file) != 0 || !written) {
    *error = "cannot write " + temp + ": " + std::strerror(written ? errno : write_errno);
    std::remove(temp.c_str());
    return false;
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot rename " + temp + " to " + path + ": " + std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

}  // namespace zev

int main(int argc, char** argv) {
  using namespace zev;
  if (argc != 3) {
    std::fprintf(stderr, "usage: zev-render-unit PROGRAM OUT\n");
    return 2;
  }
  std::string unit;
  std::string error;
  if (!RenderServiceUnit(argv[1], &unit, &error)) {
    std::fprintf(stderr, "zev-render-unit: cannot render %s: %s\n", kServiceUnitName, error.c_str());
    return 1;
  }
  if (!WriteWhole(argv[2], unit, &error)) {
    std::fprintf(stderr, "zev-render-unit: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
