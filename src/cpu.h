// What the CPU and the operating system allow beyond the x86 baseline that the
// module is built for, read with cpuid and xgetbv. Compilers' own probes differ
// (zig's runtime answers no to every feature), and a vector unit is usable
// only where the OS saves its registers on a context switch.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>

#include <cstdint>

namespace quillon {

struct cpu_features {
  // GenuineIntel: its cores gain from prefetches into the first level where
  // AMD's lose.
  bool intel = false;
  bool popcnt = false;
  bool avx2 = false;
  // F, VL, BW, DQ and CD: 32- and 64-bit lanes in 256-bit vectors with
  // masks, 64-bit products and conflict detection.
  bool avx512 = false;
};

// Which register states the OS saves (XCR0); only valid where cpuid says the
// OS has enabled xgetbv.
inline uint64_t saved_register_states() {
  uint32_t low, high;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return low | uint64_t{high} << 32;
}

inline cpu_features probe_cpu() {
  cpu_features cpu;
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return cpu;
  cpu.intel = ebx == 0x756e6547 && edx == 0x49656e69 && ecx == 0x6c65746e;  // "Genu" "ineI" "ntel"
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return cpu;
  cpu.popcnt = ecx >> 23 & 1;
  const bool avx = ecx >> 28 & 1, osxsave = ecx >> 27 & 1;
  if (!avx || !osxsave || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return cpu;
  const uint64_t states = saved_register_states();
  // XMM and YMM state; then the mask registers and both halves of ZMM state.
  const bool ymm_saved = (states & 0x6) == 0x6;
  const bool zmm_saved = (states & 0xe6) == 0xe6;
  cpu.avx2 = ymm_saved && (ebx >> 5 & 1);
  constexpr unsigned avx512_f_dq_cd_bw_vl = 1u << 16 | 1u << 17 | 1u << 28 | 1u << 30 | 1u << 31;
  cpu.avx512 = cpu.avx2 && zmm_saved && (ebx & avx512_f_dq_cd_bw_vl) == avx512_f_dq_cd_bw_vl;
  return cpu;
}

}  // namespace quillon
#endif
