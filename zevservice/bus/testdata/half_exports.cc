// A shared library with the bus library's first export but not the second:
// loading it must fail before anything is called.
#include <cstdint>

extern "C" void* PUB_InitializeCallCenter(const char*, const char*, int32_t) { return nullptr; }
