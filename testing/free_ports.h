// A run of free TCP ports for a test's own server, looked for from `first`
// up to 48000 (below the ephemeral range). Tests that may run at the same
// time start their search at different places.
#ifndef ZEV_TESTING_FREE_PORTS_H_
#define ZEV_TESTING_FREE_PORTS_H_

#include "platform/ports.h"

// The first port of `count` consecutive available ones; 0 when none is.
inline int FreePortRange(int count, int first) {
  for (int start = first; start + count <= 48000; start += count) {
    bool all = true;
    for (int p = start; p < start + count && all; ++p) all = IsPortAvailable(p);
    if (all) return start;
  }
  return 0;
}

#endif  // ZEV_TESTING_FREE_PORTS_H_
