// Runs the lanes' checks (test_lanes.cpp) where the CPU and its OS allow their
// instructions, and skips them elsewhere. Compiled apart, without those
// instructions' flags: the compiler may use them anywhere in a file compiled
// with them, before any check of the CPU could run (under AddressSanitizer,
// main's own prologue poisoned its stack with AVX-512 stores).
#include <cstdio>
#include <cstring>

#include "cpu.h"

extern const char lanes_set[];
int check_lanes();

int main() {
  const quillon::cpu_features cpu = quillon::probe_cpu();
  if (!(std::strcmp(lanes_set, "AVX-512") == 0 ? cpu.avx512 : cpu.avx2)) {
    std::printf("%s lanes: not on this CPU\n", lanes_set);
    return 77;
  }
  return check_lanes();
}
