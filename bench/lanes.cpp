#include "lanes.h"

#include <immintrin.h>

#include "murmur.h"

uint64_t hash_eight_at_a_time(const unsigned char* rows, size_t count, size_t row_bytes, uint32_t seed) {
  __m256i sink = _mm256_setzero_si256();
  for (size_t i = 0; i + 8 <= count; i += 8) {
    const unsigned char* eight[8];
    for (size_t j = 0; j < 8; ++j) eight[j] = rows + (i + j) * row_bytes;
    __m256i words[4];
    quillon::murmur::MurmurHash3_x86_128_x8_words(eight, static_cast<int>(row_bytes), seed, words);
    sink = _mm256_add_epi32(sink, _mm256_xor_si256(_mm256_xor_si256(words[0], words[1]),
                                                   _mm256_xor_si256(words[2], words[3])));
  }
  return static_cast<uint32_t>(_mm256_extract_epi32(sink, 0));
}
