// Reads lines "<seed> <key in hex>" and prints the key's MurmurHash3 digests
// (x86_32, x86_128, x64_128) as the hex of their output bytes, so that another
// implementation can be compared with this one.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "murmur.h"

namespace {

std::string hex(const unsigned char* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 15]);
  }
  return text;
}

}  // namespace

int main() {
  unsigned long seed;
  std::string key_hex;
  while (std::cin >> seed >> key_hex) {
    if (key_hex == "-") key_hex.clear();
    std::vector<unsigned char> key;
    for (size_t i = 0; i + 1 < key_hex.size(); i += 2) key.push_back(std::stoi(key_hex.substr(i, 2), nullptr, 16));
    const int len = static_cast<int>(key.size());
    unsigned char x86_32[4], x86_128[16], x64_128[16];
    quillon::murmur::MurmurHash3_x86_32(key.data(), len, static_cast<uint32_t>(seed), x86_32);
    quillon::murmur::MurmurHash3_x86_128(key.data(), len, static_cast<uint32_t>(seed), x86_128);
    quillon::murmur::MurmurHash3_x64_128(key.data(), len, static_cast<uint32_t>(seed), x64_128);
    std::cout << hex(x86_32, 4) << ' ' << hex(x86_128, 16) << ' ' << hex(x64_128, 16) << '\n';
  }
  return 0;
}
