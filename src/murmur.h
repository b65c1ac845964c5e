// MurmurHash3, after Austin Appleby's public-domain reference implementation
// (the one shipped with SMHasher): the same constants, block loops, tail
// switches and finalisation, so every digest matches the reference bit for bit.
// Keys are read in place with no copy, no allocation and no alignment demand.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace quillon::murmur {

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

}  // namespace quillon::murmur
