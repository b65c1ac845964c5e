// murmur.h comes first: it must compile on its own.
#include "murmur.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "check.h"

using namespace quillon::murmur;

namespace {

std::vector<uint32_t> x86_128(const std::vector<unsigned char>& key, uint32_t seed) {
  uint32_t out[4];
  MurmurHash3_x86_128(key.data(), static_cast<int>(key.size()), seed, out);
  return {out[0], out[1], out[2], out[3]};
}

uint32_t x86_32(const std::vector<unsigned char>& key, uint32_t seed) {
  uint32_t out;
  MurmurHash3_x86_32(key.data(), static_cast<int>(key.size()), seed, &out);
  return out;
}

std::vector<uint64_t> x64_128(const std::vector<unsigned char>& key, uint32_t seed) {
  uint64_t out[2];
  MurmurHash3_x64_128(key.data(), static_cast<int>(key.size()), seed, out);
  return {out[0], out[1]};
}


std::vector<unsigned char> counting(unsigned char first, unsigned char last) {
  std::vector<unsigned char> bytes;
  for (unsigned value = first; value <= last; ++value) bytes.push_back(static_cast<unsigned char>(value));
  return bytes;
}

}  // namespace

int main() {
  const std::vector<unsigned char> none;
  const std::vector<unsigned char> abc{'a', 'b', 'c'};
  const uint32_t seed = 0xFFFEA282;

  CHECK((x86_128(none, 0) == std::vector<uint32_t>{0, 0, 0, 0}));
  CHECK((x86_128(none, seed) == std::vector<uint32_t>{0xfe50df1d, 0x1b7a0381, 0x1b7a0381, 0x1b7a0381}));
  CHECK((x86_128(abc, 0) == std::vector<uint32_t>{0x75cdc6d1, 0xa2b006a5, 0xa2b006a5, 0xa2b006a5}));
  CHECK((x86_128(abc, seed) == std::vector<uint32_t>{0x1380b509, 0x6dc5b21c, 0x6dc5b21c, 0x6dc5b21c}));
  CHECK((x86_128({0}, seed) == std::vector<uint32_t>{0x14eafae4, 0xc772af66, 0xc772af66, 0xc772af66}));
  CHECK((x86_128(counting(0, 15), seed) == std::vector<uint32_t>{0x959c5a86, 0xaf61b46c, 0x0a21c76b, 0xdd38edd2}));
  CHECK((x86_128(counting(1, 20), seed) == std::vector<uint32_t>{0x8030abbd, 0x4f81d259, 0x6bebc71b, 0x88af4d13}));

  CHECK(x86_32(none, 0) == 0);
  CHECK(x86_32(abc, 0) == 0xb3dd93fa);
  CHECK(x86_32({0, 0, 0, 0}, 0) == 0x2362f9de);

  CHECK((x64_128(none, 0) == std::vector<uint64_t>{0, 0}));
  CHECK((x64_128(abc, 0) == std::vector<uint64_t>{0xb4963f3f3fad7867, 0x3ba2744126ca2d52}));

  CHECK((murmur("abc", 0) == std::vector<uint32_t>{0x75cdc6d1, 0xa2b006a5, 0xa2b006a5, 0xa2b006a5}));
  CHECK((murmur(std::string("a\0c", 3), 0) != murmur("a", 0)));

  // The output bytes of the filter's digest of "abc", which it reads as two
  // little-endian 64-bit words.
  unsigned char out[16];
  MurmurHash3_x86_128(abc.data(), 3, seed, out);
  const unsigned char expected[16] = {0x09, 0xb5, 0x80, 0x13, 0x1c, 0xb2, 0xc5, 0x6d,
                                      0x1c, 0xb2, 0xc5, 0x6d, 0x1c, 0xb2, 0xc5, 0x6d};
  CHECK(std::memcmp(out, expected, 16) == 0);

  // Block words are little-endian, read forwards or backwards from p.
  const unsigned char ordered[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  uint32_t words32[4];
  uint64_t words64[2];
  std::memcpy(words32, ordered, 16);
  std::memcpy(words64, ordered, 16);
  CHECK(getblock32(words32, 1) == 0x08070605u);
  CHECK(getblock32(words32 + 4, -1) == 0x100f0e0du);
  CHECK(getblock32(ordered + 1, 0) == 0x05040302u);
  CHECK(getblock64(words64, 1) == 0x100f0e0d0c0b0a09u);
  CHECK(getblock64(words64 + 2, -2) == 0x0807060504030201u);

  // Keys are read at any alignment: the same bytes at every offset hash alike.
  std::vector<unsigned char> padded(64 + 8);
  for (size_t i = 0; i < padded.size(); ++i) padded[i] = static_cast<unsigned char>(i * 7 + 1);
  uint32_t aligned[4];
  MurmurHash3_x86_128(padded.data() + 8, 64, seed, aligned);
  for (int offset = 0; offset < 8; ++offset) {
    std::vector<unsigned char> shifted(64 + offset);
    std::memcpy(shifted.data() + offset, padded.data() + 8, 64);
    uint32_t digest[4];
    MurmurHash3_x86_128(shifted.data() + offset, 64, seed, digest);
    CHECK(std::memcmp(digest, aligned, sizeof digest) == 0);
  }


  if (failures == 0) std::puts("murmur: all check values match");
  return failures != 0;
}
