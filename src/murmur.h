// MurmurHash3, after Austin Appleby's public-domain reference implementation
// (the one shipped with SMHasher): the same constants, block loops, tail
// switches and finalisation, so every digest matches the reference bit for bit.
// Keys are read in place with no copy, no allocation and no alignment demand.
// Compiled with AVX2, MurmurHash3_x86_128_x8_words computes the same digests
// for eight keys of one length at once.
#pragma once

#include <cstdint>
#include <cstring>
#if defined(__AVX2__)
#include <immintrin.h>
#endif
#include <string>
#include <vector>

#include "isa.h"

namespace quillon::murmur {
inline namespace TOLVANE_ISA {

inline uint32_t rotl32(uint32_t x, int8_t r) { return (x << r) | (x >> (32 - r)); }

inline uint64_t rotl64(uint64_t x, int8_t r) { return (x << r) | (x >> (64 - r)); }

// The block words of a key need not be aligned, so p is taken as bytes and each
// word is copied out (a single load on every common target). Keys are defined
// as little-endian words, so a big-endian host swaps them.
inline uint32_t getblock32(const unsigned char* p, int i) {
  uint32_t word;
  std::memcpy(&word, p + static_cast<std::ptrdiff_t>(i) * 4, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  word = __builtin_bswap32(word);
#endif
  return word;
}

inline uint64_t getblock64(const unsigned char* p, int i) {
  uint64_t word;
  std::memcpy(&word, p + static_cast<std::ptrdiff_t>(i) * 8, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  word = __builtin_bswap64(word);
#endif
  return word;
}

// The reference's form, for keys that are known to be whole aligned words.
inline uint32_t getblock32(const uint32_t* p, int i) {
  return getblock32(reinterpret_cast<const unsigned char*>(p), i);
}

inline uint64_t getblock64(const uint64_t* p, int i) {
  return getblock64(reinterpret_cast<const unsigned char*>(p), i);
}

inline uint32_t fmix32(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85ebca6b;
  h ^= h >> 13;
  h *= 0xc2b2ae35;
  h ^= h >> 16;
  return h;
}

inline uint64_t fmix64(uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  k ^= k >> 33;
  return k;
}

// Writes one 32-bit word at out.
inline void MurmurHash3_x86_32(const void* key, int len, uint32_t seed, void* out) {
  const auto* data = static_cast<const unsigned char*>(key);
  const int nblocks = len / 4;

  uint32_t h1 = seed;
  const uint32_t c1 = 0xcc9e2d51;
  const uint32_t c2 = 0x1b873593;

  const unsigned char* blocks = data + static_cast<std::ptrdiff_t>(nblocks) * 4;
  for (int i = -nblocks; i; i++) {
    uint32_t k1 = getblock32(blocks, i);
    k1 *= c1;
    k1 = rotl32(k1, 15);
    k1 *= c2;
    h1 ^= k1;
    h1 = rotl32(h1, 13);
    h1 = h1 * 5 + 0xe6546b64;
  }

  const unsigned char* tail = blocks;
  uint32_t k1 = 0;
  switch (len & 3) {
    case 3: k1 ^= uint32_t{tail[2]} << 16; [[fallthrough]];
    case 2: k1 ^= uint32_t{tail[1]} << 8; [[fallthrough]];
    case 1:
      k1 ^= tail[0];
      k1 *= c1;
      k1 = rotl32(k1, 15);
      k1 *= c2;
      h1 ^= k1;
  }

  h1 ^= static_cast<uint32_t>(len);
  h1 = fmix32(h1);
  std::memcpy(out, &h1, sizeof h1);
}

// Writes four 32-bit words h1, h2, h3, h4 at out.
inline void MurmurHash3_x86_128(const void* key, const int len, uint32_t seed, void* out) {
  const auto* data = static_cast<const unsigned char*>(key);
  const int nblocks = len / 16;

  uint32_t h1 = seed;
  uint32_t h2 = seed;
  uint32_t h3 = seed;
  uint32_t h4 = seed;

  const uint32_t c1 = 0x239b961b;
  const uint32_t c2 = 0xab0e9789;
  const uint32_t c3 = 0x38b34ae5;
  const uint32_t c4 = 0xa1e38b93;

  const unsigned char* blocks = data + static_cast<std::ptrdiff_t>(nblocks) * 16;
  for (int i = -nblocks; i; i++) {
    uint32_t k1 = getblock32(blocks, i * 4 + 0);
    uint32_t k2 = getblock32(blocks, i * 4 + 1);
    uint32_t k3 = getblock32(blocks, i * 4 + 2);
    uint32_t k4 = getblock32(blocks, i * 4 + 3);

    k1 *= c1; k1 = rotl32(k1, 15); k1 *= c2; h1 ^= k1;
    h1 = rotl32(h1, 19); h1 += h2; h1 = h1 * 5 + 0x561ccd1b;

    k2 *= c2; k2 = rotl32(k2, 16); k2 *= c3; h2 ^= k2;
    h2 = rotl32(h2, 17); h2 += h3; h2 = h2 * 5 + 0x0bcaa747;

    k3 *= c3; k3 = rotl32(k3, 17); k3 *= c4; h3 ^= k3;
    h3 = rotl32(h3, 15); h3 += h4; h3 = h3 * 5 + 0x96cd1c35;

    k4 *= c4; k4 = rotl32(k4, 18); k4 *= c1; h4 ^= k4;
    h4 = rotl32(h4, 13); h4 += h1; h4 = h4 * 5 + 0x32ac3b17;
  }

  const unsigned char* tail = blocks;
  uint32_t k1 = 0;
  uint32_t k2 = 0;
  uint32_t k3 = 0;
  uint32_t k4 = 0;
  switch (len & 15) {
    case 15: k4 ^= uint32_t{tail[14]} << 16; [[fallthrough]];
    case 14: k4 ^= uint32_t{tail[13]} << 8; [[fallthrough]];
    case 13:
      k4 ^= uint32_t{tail[12]} << 0;
      k4 *= c4; k4 = rotl32(k4, 18); k4 *= c1; h4 ^= k4;
      [[fallthrough]];
    case 12: k3 ^= uint32_t{tail[11]} << 24; [[fallthrough]];
    case 11: k3 ^= uint32_t{tail[10]} << 16; [[fallthrough]];
    case 10: k3 ^= uint32_t{tail[9]} << 8; [[fallthrough]];
    case 9:
      k3 ^= uint32_t{tail[8]} << 0;
      k3 *= c3; k3 = rotl32(k3, 17); k3 *= c4; h3 ^= k3;
      [[fallthrough]];
    case 8: k2 ^= uint32_t{tail[7]} << 24; [[fallthrough]];
    case 7: k2 ^= uint32_t{tail[6]} << 16; [[fallthrough]];
    case 6: k2 ^= uint32_t{tail[5]} << 8; [[fallthrough]];
    case 5:
      k2 ^= uint32_t{tail[4]} << 0;
      k2 *= c2; k2 = rotl32(k2, 16); k2 *= c3; h2 ^= k2;
      [[fallthrough]];
    case 4: k1 ^= uint32_t{tail[3]} << 24; [[fallthrough]];
    case 3: k1 ^= uint32_t{tail[2]} << 16; [[fallthrough]];
    case 2: k1 ^= uint32_t{tail[1]} << 8; [[fallthrough]];
    case 1:
      k1 ^= uint32_t{tail[0]} << 0;
      k1 *= c1; k1 = rotl32(k1, 15); k1 *= c2; h1 ^= k1;
  }

  const auto ulen = static_cast<uint32_t>(len);
  h1 ^= ulen; h2 ^= ulen; h3 ^= ulen; h4 ^= ulen;

  h1 += h2; h1 += h3; h1 += h4;
  h2 += h1; h3 += h1; h4 += h1;

  h1 = fmix32(h1);
  h2 = fmix32(h2);
  h3 = fmix32(h3);
  h4 = fmix32(h4);

  h1 += h2; h1 += h3; h1 += h4;
  h2 += h1; h3 += h1; h4 += h1;

  const uint32_t words[4] = {h1, h2, h3, h4};
  std::memcpy(out, words, sizeof words);
}

// Writes two 64-bit words h1, h2 at out.
inline void MurmurHash3_x64_128(const void* key, const int len, const uint32_t seed, void* out) {
  const auto* data = static_cast<const unsigned char*>(key);
  const int nblocks = len / 16;

  uint64_t h1 = seed;
  uint64_t h2 = seed;

  const uint64_t c1 = 0x87c37b91114253d5ULL;
  const uint64_t c2 = 0x4cf5ad432745937fULL;

  for (int i = 0; i < nblocks; i++) {
    uint64_t k1 = getblock64(data, i * 2 + 0);
    uint64_t k2 = getblock64(data, i * 2 + 1);

    k1 *= c1; k1 = rotl64(k1, 31); k1 *= c2; h1 ^= k1;
    h1 = rotl64(h1, 27); h1 += h2; h1 = h1 * 5 + 0x52dce729;

    k2 *= c2; k2 = rotl64(k2, 33); k2 *= c1; h2 ^= k2;
    h2 = rotl64(h2, 31); h2 += h1; h2 = h2 * 5 + 0x38495ab5;
  }

  const unsigned char* tail = data + static_cast<std::ptrdiff_t>(nblocks) * 16;
  uint64_t k1 = 0;
  uint64_t k2 = 0;
  switch (len & 15) {
    case 15: k2 ^= uint64_t{tail[14]} << 48; [[fallthrough]];
    case 14: k2 ^= uint64_t{tail[13]} << 40; [[fallthrough]];
    case 13: k2 ^= uint64_t{tail[12]} << 32; [[fallthrough]];
    case 12: k2 ^= uint64_t{tail[11]} << 24; [[fallthrough]];
    case 11: k2 ^= uint64_t{tail[10]} << 16; [[fallthrough]];
    case 10: k2 ^= uint64_t{tail[9]} << 8; [[fallthrough]];
    case 9:
      k2 ^= uint64_t{tail[8]} << 0;
      k2 *= c2; k2 = rotl64(k2, 33); k2 *= c1; h2 ^= k2;
      [[fallthrough]];
    case 8: k1 ^= uint64_t{tail[7]} << 56; [[fallthrough]];
    case 7: k1 ^= uint64_t{tail[6]} << 48; [[fallthrough]];
    case 6: k1 ^= uint64_t{tail[5]} << 40; [[fallthrough]];
    case 5: k1 ^= uint64_t{tail[4]} << 32; [[fallthrough]];
    case 4: k1 ^= uint64_t{tail[3]} << 24; [[fallthrough]];
    case 3: k1 ^= uint64_t{tail[2]} << 16; [[fallthrough]];
    case 2: k1 ^= uint64_t{tail[1]} << 8; [[fallthrough]];
    case 1:
      k1 ^= uint64_t{tail[0]} << 0;
      k1 *= c1; k1 = rotl64(k1, 31); k1 *= c2; h1 ^= k1;
  }

  const auto wide_len = static_cast<uint64_t>(static_cast<int64_t>(len));
  h1 ^= wide_len;
  h2 ^= wide_len;

  h1 += h2;
  h2 += h1;

  h1 = fmix64(h1);
  h2 = fmix64(h2);

  h1 += h2;
  h2 += h1;

  const uint64_t words[2] = {h1, h2};
  std::memcpy(out, words, sizeof words);
}

// The x86 128-bit digest of every byte of s (zero bytes included) as h1..h4.
inline std::vector<uint32_t> murmur(std::string s, uint32_t seed) {
  uint32_t words[4];
  MurmurHash3_x86_128(s.data(), static_cast<int>(s.size()), seed, words);
  std::vector<uint32_t> result;
  result.reserve(4);
  for (uint32_t word : words) result.push_back(word);
  return result;
}

#if defined(__AVX2__)
namespace detail {
inline __m256i rotl32x8(__m256i x, int r) {
  return _mm256_or_si256(_mm256_slli_epi32(x, r), _mm256_srli_epi32(x, 32 - r));
}
inline __m256i fmix32x8(__m256i h) {
  h = _mm256_xor_si256(h, _mm256_srli_epi32(h, 16));
  h = _mm256_mullo_epi32(h, _mm256_set1_epi32(static_cast<int>(0x85ebca6b)));
  h = _mm256_xor_si256(h, _mm256_srli_epi32(h, 13));
  h = _mm256_mullo_epi32(h, _mm256_set1_epi32(static_cast<int>(0xc2b2ae35)));
  return _mm256_xor_si256(h, _mm256_srli_epi32(h, 16));
}
inline __m256i times5_plus(__m256i h, uint32_t add) {
  return _mm256_add_epi32(_mm256_add_epi32(h, _mm256_slli_epi32(h, 2)), _mm256_set1_epi32(static_cast<int>(add)));
}
// Transposes one 16-byte block of each of eight keys (in[i] of key i) into
// four vectors: vector w holds word w of the block of every key.
inline void transpose_in(const __m128i in[8], __m256i out[4]) {
  __m256i r0 = _mm256_inserti128_si256(_mm256_castsi128_si256(in[0]), in[4], 1);
  __m256i r1 = _mm256_inserti128_si256(_mm256_castsi128_si256(in[1]), in[5], 1);
  __m256i r2 = _mm256_inserti128_si256(_mm256_castsi128_si256(in[2]), in[6], 1);
  __m256i r3 = _mm256_inserti128_si256(_mm256_castsi128_si256(in[3]), in[7], 1);
  __m256i t0 = _mm256_unpacklo_epi32(r0, r1), t1 = _mm256_unpackhi_epi32(r0, r1);
  __m256i t2 = _mm256_unpacklo_epi32(r2, r3), t3 = _mm256_unpackhi_epi32(r2, r3);
  out[0] = _mm256_unpacklo_epi64(t0, t2);
  out[1] = _mm256_unpackhi_epi64(t0, t2);
  out[2] = _mm256_unpacklo_epi64(t1, t3);
  out[3] = _mm256_unpackhi_epi64(t1, t3);
}
}  // namespace detail

// MurmurHash3_x86_128 of eight keys of the same length at once, one key per
// 32-bit lane of AVX2 vectors: several keys hashed together keep more of the
// core busy than one key's chain of dependent steps. Lane i of words[w] is the
// output word w (h1 .. h4) of keys[i], so that a caller can go on computing
// with the digests where they are.
__attribute__((always_inline)) inline void MurmurHash3_x86_128_x8_words(
    const unsigned char* const keys[8], const int len, uint32_t seed, __m256i words[4]) {
  using namespace detail;
  const int nblocks = len / 16;
  const __m256i c1 = _mm256_set1_epi32(0x239b961b), c2 = _mm256_set1_epi32(static_cast<int>(0xab0e9789)),
                c3 = _mm256_set1_epi32(0x38b34ae5), c4 = _mm256_set1_epi32(static_cast<int>(0xa1e38b93));
  __m256i h1 = _mm256_set1_epi32(static_cast<int>(seed)), h2 = h1, h3 = h1, h4 = h1;
  __m128i rows[8];
  __m256i k[4];
  for (int b = 0; b < nblocks; ++b) {
    for (int i = 0; i < 8; ++i) rows[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys[i] + static_cast<size_t>(b) * 16));
    transpose_in(rows, k);
    h1 = _mm256_xor_si256(h1, _mm256_mullo_epi32(rotl32x8(_mm256_mullo_epi32(k[0], c1), 15), c2));
    h1 = times5_plus(_mm256_add_epi32(rotl32x8(h1, 19), h2), 0x561ccd1b);
    h2 = _mm256_xor_si256(h2, _mm256_mullo_epi32(rotl32x8(_mm256_mullo_epi32(k[1], c2), 16), c3));
    h2 = times5_plus(_mm256_add_epi32(rotl32x8(h2, 17), h3), 0x0bcaa747);
    h3 = _mm256_xor_si256(h3, _mm256_mullo_epi32(rotl32x8(_mm256_mullo_epi32(k[2], c3), 17), c4));
    h3 = times5_plus(_mm256_add_epi32(rotl32x8(h3, 15), h4), 0x96cd1c35);
    h4 = _mm256_xor_si256(h4, _mm256_mullo_epi32(rotl32x8(_mm256_mullo_epi32(k[3], c4), 18), c1));
    h4 = times5_plus(_mm256_add_epi32(rotl32x8(h4, 13), h1), 0x32ac3b17);
  }
  const int rest = len & 15;
  if (rest) {
    alignas(16) unsigned char tails[8][16] = {};
    for (int i = 0; i < 8; ++i) std::memcpy(tails[i], keys[i] + static_cast<size_t>(nblocks) * 16, static_cast<size_t>(rest));
    for (int i = 0; i < 8; ++i) rows[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(tails[i]));
    transpose_in(rows, k);
    if (rest > 12) h4 = _mm256_xor_si256(h4, _mm256_mullo_epi32(rotl32x8(_mm256_mullo_epi32(k[3], c4), 18), c1));
    if (rest > 8) h3 = _mm256_xor_si256(h3, _mm256_mullo_epi32(rotl32x8(_mm256_mullo_epi32(k[2], c3), 17), c4));
    if (rest > 4) h2 = _mm256_xor_si256(h2, _mm256_mullo_epi32(rotl32x8(_mm256_mullo_epi32(k[1], c2), 16), c3));
    h1 = _mm256_xor_si256(h1, _mm256_mullo_epi32(rotl32x8(_mm256_mullo_epi32(k[0], c1), 15), c2));
  }
  const __m256i length = _mm256_set1_epi32(len);
  h1 = _mm256_xor_si256(h1, length); h2 = _mm256_xor_si256(h2, length);
  h3 = _mm256_xor_si256(h3, length); h4 = _mm256_xor_si256(h4, length);
  h1 = _mm256_add_epi32(_mm256_add_epi32(h1, h2), _mm256_add_epi32(h3, h4));
  h2 = _mm256_add_epi32(h2, h1); h3 = _mm256_add_epi32(h3, h1); h4 = _mm256_add_epi32(h4, h1);
  h1 = fmix32x8(h1); h2 = fmix32x8(h2); h3 = fmix32x8(h3); h4 = fmix32x8(h4);
  h1 = _mm256_add_epi32(_mm256_add_epi32(h1, h2), _mm256_add_epi32(h3, h4));
  h2 = _mm256_add_epi32(h2, h1); h3 = _mm256_add_epi32(h3, h1); h4 = _mm256_add_epi32(h4, h1);
  words[0] = h1;
  words[1] = h2;
  words[2] = h3;
  words[3] = h4;
}
#endif

}  // namespace TOLVANE_ISA
}  // namespace quillon::murmur
