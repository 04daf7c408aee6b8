// A target that fails on its first input. It is not one of the *_fuzzer
// targets: the test script runs it alone to prove that scripts/fuzz.sh
// reports a crashing target as a failure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* /*data*/, size_t /*size*/) { abort(); }
