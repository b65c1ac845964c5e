// What the machine can do at best for the work of a filter, measured over the
// same rows, k and m that the filter gets:
//   floors hash ROWS_FILE ROW_BYTES          MurmurHash3 x86_128 of every row
//   floors memory ROWS_FILE ROW_BYTES K M    read-modify-write of the 64-bit
//       word of every position, in order of computation and with each batch of
//       rows prefetched first
//   floors memcpy BYTES                      a plain memcpy, and one into a
//       freshly allocated buffer (whose pages the kernel must first provide,
//       as for every new bytes object)
// Each prints ns per row (GB/s for memcpy) as JSON, best of several runs.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/mman.h>

#include "murmur.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int repetitions = 5;
constexpr size_t batch_rows = 16;
constexpr size_t chunk_rows = 256;

std::vector<unsigned char> read_rows(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) {
    std::perror(path);
    std::exit(2);
  }
  std::vector<unsigned char> rows;
  unsigned char buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) rows.insert(rows.end(), buffer, buffer + got);
  std::fclose(file);
  return rows;
}

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

void digest(const unsigned char* row, size_t row_bytes, uint64_t& h1, uint64_t& h2) {
  uint32_t words[4];
  quillon::murmur::MurmurHash3_x86_128(row, static_cast<int>(row_bytes), 0xFFFEA282, words);
  h1 = words[0] | uint64_t{words[1]} << 32;
  h2 = words[2] | uint64_t{words[3]} << 32;
}

double hash_floor(const std::vector<unsigned char>& rows, size_t row_bytes) {
  const size_t count = rows.size() / row_bytes;
  double best = 1e300;
  uint64_t sink = 0;
  for (int r = 0; r < repetitions; ++r) {
    const auto start = clock_type::now();
    for (size_t i = 0; i < count; ++i) {
      uint64_t h1, h2;
      digest(rows.data() + i * row_bytes, row_bytes, h1, h2);
      sink += h1 ^ h2;
    }
    best = std::min(best, seconds_since(start));
  }
  if (sink == 42) std::puts("");
  return best * 1e9 / static_cast<double>(count);
}

// The word index and bit of every position of a chunk of rows, computed
// before the clock starts so that only the memory work is timed.
void chunk_positions(const std::vector<unsigned char>& rows, size_t row_bytes, size_t first, size_t count, size_t k,
                     uint64_t m, std::vector<uint64_t>& positions) {
  positions.clear();
  for (size_t i = first; i < first + count; ++i) {
    uint64_t h1, h2;
    digest(rows.data() + i * row_bytes, row_bytes, h1, h2);
    for (uint64_t j = 1; j <= k; ++j) positions.push_back((h1 + j * h2) % m);
  }
}

void update(uint64_t* words, const uint64_t* positions, size_t count) {
  for (size_t i = 0; i < count; ++i) words[positions[i] >> 6] |= uint64_t{1} << (positions[i] & 63);
}

void update_prefetched(uint64_t* words, const uint64_t* positions, size_t count, size_t k) {
  const size_t batch = batch_rows * k;
  for (size_t first = 0; first < count; first += batch) {
    const size_t end = std::min(count, first + batch);
    for (size_t i = first; i < end; ++i) __builtin_prefetch(words + (positions[i] >> 6), 1);
    update(words, positions + first, end - first);
  }
}

void memory_floor(const std::vector<unsigned char>& rows, size_t row_bytes, size_t k, uint64_t m) {
  const size_t count = rows.size() / row_bytes;
  const size_t word_count = m / 64 + 1;
  // Huge pages where the system grants them, as the filter asks for.
  const size_t huge_page = size_t{1} << 21;
  const size_t length = (word_count * sizeof(uint64_t) + huge_page - 1) / huge_page * huge_page;
  auto* words = static_cast<uint64_t*>(std::aligned_alloc(huge_page, length));
  madvise(words, length, MADV_HUGEPAGE);
  std::memset(words, 0, length);  // every page present, as in a used filter
  std::vector<uint64_t> positions;
  double in_order = 1e300, prefetched = 1e300;
  for (int r = 0; r < repetitions; ++r) {
    double plain = 0, ahead = 0;
    for (size_t first = 0; first < count; first += chunk_rows) {
      const size_t n = std::min(chunk_rows, count - first);
      chunk_positions(rows, row_bytes, first, n, k, m, positions);
      auto start = clock_type::now();
      update(words, positions.data(), positions.size());
      plain += seconds_since(start);
      chunk_positions(rows, row_bytes, (first + count / 2) % (count - n + 1), n, k, m, positions);
      start = clock_type::now();
      update_prefetched(words, positions.data(), positions.size(), k);
      ahead += seconds_since(start);
    }
    in_order = std::min(in_order, plain);
    prefetched = std::min(prefetched, ahead);
  }
  uint64_t sink = 0;
  for (size_t i = 0; i < word_count; ++i) sink += words[i];
  std::free(words);
  std::printf("{\"memory\": %.3f, \"memory_prefetched\": %.3f, \"checksum\": %llu}\n",
              in_order * 1e9 / static_cast<double>(count), prefetched * 1e9 / static_cast<double>(count),
              static_cast<unsigned long long>(sink & 0xffff));
}

void memcpy_floor(size_t bytes) {
  std::vector<char> source(bytes, 1), target(bytes, 2);
  double best = 1e300, best_fresh = 1e300;
  int check = 0;
  for (int r = 0; r < repetitions; ++r) {
    auto start = clock_type::now();
    std::memcpy(target.data(), source.data(), bytes);
    best = std::min(best, seconds_since(start));
    start = clock_type::now();
    auto* fresh = static_cast<char*>(std::malloc(bytes));
    std::memcpy(fresh, source.data(), bytes);
    best_fresh = std::min(best_fresh, seconds_since(start));
    check += fresh[bytes / 3];
    std::free(fresh);
  }
  std::printf("{\"memcpy_gbps\": %.3f, \"fresh_memcpy_gbps\": %.3f, \"check\": %d}\n",
              static_cast<double>(bytes) / best / 1e9, static_cast<double>(bytes) / best_fresh / 1e9,
              target[bytes / 2] + check);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "hash" && argc == 4) {
    const size_t row_bytes = std::stoul(argv[3]);
    std::printf("{\"hash\": %.3f}\n", hash_floor(read_rows(argv[2]), row_bytes));
  } else if (mode == "memory" && argc == 6) {
    memory_floor(read_rows(argv[2]), std::stoul(argv[3]), std::stoul(argv[4]), std::stoull(argv[5]));
  } else if (mode == "memcpy" && argc == 3) {
    memcpy_floor(std::stoull(argv[2]));
  } else {
    std::fprintf(stderr, "usage: floors hash ROWS ROW_BYTES | memory ROWS ROW_BYTES K M | memcpy BYTES\n");
    return 2;
  }
  return 0;
}
