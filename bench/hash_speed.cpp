// How fast MurmurHash3_x86_128 digests 16-byte and 1 KiB keys, one at a time
// and (with AVX2) eight at a time: the hash's share of what a filter pays per
// row. Best of several repetitions.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "cpu.h"
#include "lanes.h"
#include "murmur.h"

namespace {

constexpr uint32_t seed = 0xFFFEA282;

template <class HashAll>
double best_ns_per_key(size_t count, HashAll&& hash_all) {
  double best = 1e300;
  for (int repetition = 0; repetition < 7; ++repetition) {
    const auto start = std::chrono::steady_clock::now();
    hash_all();
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, elapsed.count() / static_cast<double>(count));
  }
  return best;
}


}  // namespace

int main() {
  std::printf("%-8s %-12s %12s %10s\n", "key", "hashed", "ns per key", "GB/s");
  for (size_t key_size : {size_t{16}, size_t{1024}}) {
    const size_t count = (size_t{16} << 20) / key_size;  // 16 MiB of keys
    std::vector<unsigned char> keys(count * key_size);
    for (size_t i = 0; i < keys.size(); ++i) keys[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    const int len = static_cast<int>(key_size);
    uint32_t sink = 0;
    const char* name = key_size == 16 ? "16 B" : "1 KiB";
    const double one = best_ns_per_key(count, [&] {
      for (size_t i = 0; i < count; ++i) {
        uint32_t out[4];
        quillon::murmur::MurmurHash3_x86_128(keys.data() + i * key_size, len, seed, out);
        sink += out[0];
      }
    });
    std::printf("%-8s %-12s %12.2f %10.2f\n", name, "one by one", one, static_cast<double>(key_size) / one);
#if defined(__x86_64__) || defined(__i386__)
    if (quillon::probe_cpu().avx2) {
      const double eight = best_ns_per_key(
          count, [&] { sink += static_cast<uint32_t>(hash_eight_at_a_time(keys.data(), count, key_size, seed)); });
      std::printf("%-8s %-12s %12.2f %10.2f\n", name, "eight (AVX2)", eight, static_cast<double>(key_size) / eight);
    }
#endif
    if (sink == 1) std::puts("");  // keeps the digests alive
  }
  return 0;
}
