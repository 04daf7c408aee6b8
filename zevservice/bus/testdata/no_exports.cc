
// A shared library with none of the bus library's exports.
extern "C" int zev_bus_test_unrelated() { return 1; }
