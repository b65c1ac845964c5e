// The module's CPU probe against the flags that the kernel reports in
// /proc/cpuinfo, which it clears where the OS does not save a unit's registers.
#include "cpu.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "check.h"

int main() {
#if defined(__x86_64__) || defined(__i386__)
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  std::set<std::string> flags;
  std::string vendor;
  while (std::getline(cpuinfo, line)) {
    std::istringstream words(line.substr(line.find(':') + 1));
    if (line.rfind("vendor_id", 0) == 0 && vendor.empty()) words >> vendor;
    if (line.rfind("flags", 0) != 0) continue;
    for (std::string flag; words >> flag;) flags.insert(flag);
    break;
  }
  if (flags.empty()) {
    std::puts("no flags in /proc/cpuinfo");
    return 77;
  }
  const quillon::cpu_features cpu = quillon::probe_cpu();
  CHECK(cpu.intel == (vendor == "GenuineIntel"));
  CHECK(cpu.popcnt == flags.count("popcnt"));
  CHECK(cpu.avx2 == flags.count("avx2"));
  CHECK(cpu.avx512 == (flags.count("avx512f") && flags.count("avx512vl") && flags.count("avx512bw") &&
                       flags.count("avx512dq") && flags.count("avx512cd")));
  std::printf("%s: intel %d, popcnt %d, avx2 %d, avx512 %d\n", vendor.c_str(), cpu.intel, cpu.popcnt, cpu.avx2,
              cpu.avx512);
  return failures ? 1 : 0;
#else
  std::puts("no x86 CPU to probe");
  return 77;
#endif
}
