// The lanes of a kernel file against their definitions, compiled with the
// same instruction-set flags (once for AVX2, once for AVX-512): eight keys
// hashed at once against eight single hashes, and four items' positions
// against (h1 + j * h2) mod 2^64 mod m. Run by lanes_main.cpp, only on a CPU
// that has the instructions.
#include <immintrin.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "check.h"
#include "murmur.h"
#include "position_cases.h"
#include "positions.h"

namespace {

using namespace cases;

long check_hash() {
  long checks = 0;
  std::vector<unsigned char> data(8 * 320);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
  for (int len = 0; len <= 300; ++len) {
    for (uint32_t seed : {0u, 0xFFFEA282u, 0x9747b28cu}) {
      const unsigned char* keys[8];
      for (int i = 0; i < 8; ++i) keys[i] = data.data() + i * 320 + i % 3;
      __m256i words[4];
      quillon::murmur::MurmurHash3_x86_128_x8_words(keys, len, seed, words);
      alignas(32) uint32_t lanes[4][8];
      for (int w = 0; w < 4; ++w) _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[w]), words[w]);
      for (int i = 0; i < 8; ++i) {
        uint32_t one[4];
        quillon::murmur::MurmurHash3_x86_128(keys[i], len, seed, one);
        for (int w = 0; w < 4; ++w) CHECK(lanes[w][i] == one[w]);
        ++checks;
      }
    }
  }
  return checks;
}

long check_positions(const std::vector<uint64_t>& ms, const std::vector<digest>& items) {
  long checks = 0;
  for (uint64_t m : ms) {
    const quillon::position_lanes lanes(m);
    for (size_t first = 0; first + 4 <= items.size(); first += 4) {
      alignas(32) uint64_t h1[4], h2[4], got[4];
      for (int i = 0; i < 4; ++i) {
        h1[i] = items[first + i].h1;
        h2[i] = items[first + i].h2;
      }
      auto four = lanes.first(_mm256_load_si256(reinterpret_cast<const __m256i*>(h1)),
                              _mm256_load_si256(reinterpret_cast<const __m256i*>(h2)));
      for (int j = 1; j <= most_steps; ++j) {
        if (j > 1) lanes.next(four);
        _mm256_store_si256(reinterpret_cast<__m256i*>(got), four.position);
        for (int i = 0; i < 4; ++i) {
          CHECK(got[i] == position(h1[i], h2[i], j, m));
          ++checks;
        }
      }
    }
  }
  return checks;
}

}  // namespace

// What lanes_main.cpp reads before it lets anything of this file run.
#if defined(__AVX512VL__)
extern const char lanes_set[] = "AVX-512";
#else
extern const char lanes_set[] = "AVX2";
#endif

int check_lanes() {
  uint64_t state = 17;
  const std::vector<uint64_t> ms = divisors(state);
  const std::vector<digest> items = digests(state);
  const long hashes = check_hash();
  const long positions = check_positions(ms, items);
  if (failures == 0) {
    std::printf("%s lanes: %ld digests and %ld positions match their definitions\n", lanes_set, hashes, positions);
  }
  return failures != 0;
}
