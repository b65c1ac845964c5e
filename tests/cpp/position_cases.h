// The divisors and digests against which positions are checked, one item at
// a time and in lanes, and their definition.
#pragma once

#include <cstdint>
#include <vector>

namespace cases {

constexpr uint64_t top = uint64_t{1} << 63;
constexpr int most_steps = 40;

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// The definition: position j of (h1, h2) is (h1 + j * h2) mod 2^64 mod m.
uint64_t position(uint64_t h1, uint64_t h2, uint64_t j, uint64_t m) { return (h1 + j * h2) % m; }

struct digest {
  uint64_t h1, h2;
};

// Digests whose sums h1 + j * h2 wrap past 2^64 at the first step, at a later
// one, at every one, exactly onto 0, or never, and some of no pattern.
std::vector<digest> digests(uint64_t& state) {
  std::vector<digest> all{{0, 0},
                          {0, 1},
                          {UINT64_MAX, 1},
                          {UINT64_MAX, UINT64_MAX},
                          {1, UINT64_MAX},
                          {0, top},
                          {top, top},
                          {top - 1, top + 1},
                          {UINT64_MAX - 5, 3},
                          {12345, UINT64_MAX - 999},
                          {uint64_t{0} - 4 * 0x0123456789abcdefULL, 0x0123456789abcdefULL},
                          {0x6dc5b21c1380b509ULL, 0x6dc5b21c6dc5b21cULL}};
  for (int i = 0; i < 40; ++i) {
    const uint64_t h2 = splitmix64(state);
    all.push_back({splitmix64(state), h2});
    // The sum wraps exactly to 0 at step i % 7 + 1.
    all.push_back({uint64_t{0} - (static_cast<uint64_t>(i % 7) + 1) * h2, h2});
    all.push_back({splitmix64(state), h2 | top});
    all.push_back({splitmix64(state), h2 >> (i % 64)});
  }
  return all;
}

std::vector<uint64_t> divisors(uint64_t& state) {
  std::vector<uint64_t> all{1, 2, 3, 5, 7, 1000, 65521, 10000019, 9585059, 2305843009213693951ULL};
  for (int shift = 1; shift < 63; ++shift) {
    const uint64_t power = uint64_t{1} << shift;
    all.insert(all.end(), {power - 1, power, power + 1});
  }
  // Near 2^32; the largest filters, 2^31 - 32 bits on 32-bit targets and
  // 2^63 - 64 on 64-bit ones; near 2^63.
  all.insert(all.end(), {4294967291ULL, 4294967311ULL, 2147483616ULL, 2147483647ULL, top - 64, top - 2, top - 1});
  for (int i = 0; i < 300; ++i) all.push_back((splitmix64(state) >> (i % 63 + 1)) | 1);
  return all;
}

}  // namespace cases
