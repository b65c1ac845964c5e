#include "fastmod.h"

#include <cstdint>
#include <vector>

#include "check.h"

using quillon::fastmod;

namespace {

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

}  // namespace

int main() {
  uint64_t state = 42;
  std::vector<uint64_t> divisors{1, 2, 3, 5, 7, 8, 10, 64, 1000, 65521, 10000019, 4294967291ULL};
  for (int shift = 1; shift < 63; ++shift) {
    const uint64_t power = uint64_t{1} << shift;
    divisors.insert(divisors.end(), {power - 1, power, power + 1});
  }
  // The largest filters: 2^31 - 32 bits on 32-bit targets, 2^63 - 64 on 64-bit.
  divisors.insert(divisors.end(), {2147483616ULL, 2147483617ULL, 9223372036854775744ULL, 9223372036854775807ULL});
  for (int i = 0; i < 2000; ++i) divisors.push_back((splitmix64(state) >> (i % 63 + 1)) | 1);

  long checks = 0;
  for (uint64_t d : divisors) {
    const fastmod mod(d);
    std::vector<uint64_t> values{0, 1, d - 1, d, d + 1, 2 * d - 1, 2 * d, UINT64_MAX, UINT64_MAX - 1,
                                 UINT64_MAX - d, UINT64_MAX / d * d, UINT64_MAX / d * d - 1};
    for (int i = 0; i < 200; ++i) values.push_back(splitmix64(state));
    // Positions of an item, h1 + j * h2 for j = 1..14, wrapping past 2^64.
    const uint64_t h1 = splitmix64(state), h2 = splitmix64(state) | (uint64_t{1} << 63);
    for (uint64_t j = 1; j <= 14; ++j) values.push_back(h1 + j * h2);
    for (uint64_t x : values) {
      CHECK(mod(x) == x % d);
      ++checks;
    }
  }

  for (int i = 0; i < 100000; ++i) {
    const uint64_t a = splitmix64(state) >> (i % 64), b = splitmix64(state);
    CHECK(quillon::mulhi64_portable(a, b) == quillon::mulhi64(a, b));
  }
  CHECK(quillon::mulhi64_portable(UINT64_MAX, UINT64_MAX) == UINT64_MAX - 1);

#if defined(__SIZEOF_INT128__)
  const char* const products = "__int128";
#else
  const char* const products = "32-bit halves";
#endif
  if (failures == 0) std::printf("fastmod: %ld remainders match %% (high products from %s)\n", checks, products);
  return failures != 0;
}
