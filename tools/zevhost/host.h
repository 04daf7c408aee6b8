// The host program: joins the bus under the node name of its argument, runs
// the components the monitor asks for, and ends on "stopall" (exit 255) or
// SIGTERM (exit 143) after stopping them. Every other failure exits 1.
#ifndef ZEV_TOOLS_ZEVHOST_HOST_H_
#define ZEV_TOOLS_ZEVHOST_HOST_H_

namespace zev {

// The whole program; answers its exit code. Call once, from main, before any
// other thread exists (it blocks SIGTERM for every thread it makes).
int RunHost(int argc, char** argv);

}  // namespace zev

#endif  // ZEV_TOOLS_ZEVHOST_HOST_H_
