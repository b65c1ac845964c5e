// How fast MurmurHash3_x86_128 digests 16-byte and 1 KiB keys: the hash's
// share of what a filter pays per row. Best of several repetitions.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "murmur.h"

namespace {

double best_ns_per_key(const std::vector<unsigned char>& keys, size_t key_size, size_t count) {
  double best = 1e300;
  uint32_t sink = 0;
  for (int repetition = 0; repetition < 7; ++repetition) {
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < count; ++i) {
      uint32_t out[4];
      quillon::murmur::MurmurHash3_x86_128(keys.data() + i * key_size, static_cast<int>(key_size), 0xFFFEA282, out);
      sink += out[0];
    }
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, elapsed.count() / static_cast<double>(count));
  }
  if (sink == 1) std::puts("");  // keeps the digests alive
  return best;
}

}  // namespace

int main() {
  std::printf("%-10s %12s %10s\n", "key", "ns per key", "GB/s");
  for (size_t key_size : {size_t{16}, size_t{1024}}) {
    const size_t count = (size_t{16} << 20) / key_size;  // 16 MiB of keys
    std::vector<unsigned char> keys(count * key_size);
    for (size_t i = 0; i < keys.size(); ++i) keys[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    const double ns = best_ns_per_key(keys, key_size, count);
    std::printf("%-10s %12.2f %10.2f\n", key_size == 16 ? "16 B" : "1 KiB", ns, static_cast<double>(key_size) / ns);
  }
  return 0;
}
