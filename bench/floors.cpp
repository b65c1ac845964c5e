// What the machine can do at best for the work of a filter, measured over the
// same rows, k and m that the filter gets:
//   floors hash ROWS_FILE ROW_BYTES          MurmurHash3 x86_128 of every row,
//       one row at a time, and the fastest way this CPU offers (eight rows at
//       a time in AVX2 lanes where it has AVX2)
//   floors memory ROWS_FILE ROW_BYTES K M    the memory work of every position,
//       computed beforehand: insert's read-modify-write of its 64-bit word and
//       test's read of it, each in order of computation and with each batch of
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
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "cpu.h"
#include "lanes.h"
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

template <class HashAll>
double ns_per_row(size_t count, HashAll&& hash_all) {
  double best = 1e300;
  uint64_t sink = 0;
  for (int r = 0; r < repetitions; ++r) {
    const auto start = clock_type::now();
    sink += hash_all();
    best = std::min(best, seconds_since(start));
  }
  if (sink == 42) std::puts("");
  return best * 1e9 / static_cast<double>(count);
}

uint64_t hash_one_by_one(const std::vector<unsigned char>& rows, size_t row_bytes, size_t first) {
  uint64_t sink = 0;
  for (size_t i = first; i < rows.size() / row_bytes; ++i) {
    uint64_t h1, h2;
    digest(rows.data() + i * row_bytes, row_bytes, h1, h2);
    sink += h1 ^ h2;
  }
  return sink;
}


void hash_floor(const std::vector<unsigned char>& rows, size_t row_bytes) {
  const size_t count = rows.size() / row_bytes;
  const double one = ns_per_row(count, [&] { return hash_one_by_one(rows, row_bytes, 0); });
  double fastest = one;
  const char* how = "one by one";
#if defined(__x86_64__) || defined(__i386__)
  if (quillon::probe_cpu().avx2) {
    fastest = ns_per_row(count, [&] {
      const size_t whole = count / 8 * 8;
      return hash_eight_at_a_time(rows.data(), whole, row_bytes, 0xFFFEA282) + hash_one_by_one(rows, row_bytes, whole);
    });
    how = "eight (AVX2)";
  }
#endif
  std::printf("{\"hash\": %.3f, \"fastest_hash\": %.3f, \"fastest_hash_is\": \"%s\"}\n", one, fastest, how);
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

// insert's memory work: set the bit of every position.
struct update {
  static constexpr int for_write = 1;
  uint64_t operator()(uint64_t* words, const uint64_t* positions, size_t count) const {
    for (size_t i = 0; i < count; ++i) words[positions[i] >> 6] |= uint64_t{1} << (positions[i] & 63);
    return 0;
  }
};

// test's: read the bit of every position.
struct read {
  static constexpr int for_write = 0;
  uint64_t operator()(const uint64_t* words, const uint64_t* positions, size_t count) const {
    uint64_t found = 1;
    for (size_t i = 0; i < count; ++i) found &= words[positions[i] >> 6] >> (positions[i] & 63);
    return found;
  }
};

template <class Work>
uint64_t prefetched(uint64_t* words, const uint64_t* positions, size_t count, size_t k, Work work) {
  const size_t batch = batch_rows * k;
  uint64_t found = 0;
  for (size_t first = 0; first < count; first += batch) {
    const size_t end = std::min(count, first + batch);
    // Into the second-level cache, as the filter prefetches.
    for (size_t i = first; i < end; ++i) __builtin_prefetch(words + (positions[i] >> 6), Work::for_write, 2);
    found += work(words, positions + first, end - first);
  }
  return found;
}

// Best seconds per row of work over the positions of every row, in order of
// computation and prefetched a batch ahead.
template <class Work>
void time_memory(const std::vector<unsigned char>& rows, size_t row_bytes, size_t k, uint64_t m, uint64_t* words,
                 Work work, double& in_order, double& ahead, uint64_t& sink) {
  const size_t count = rows.size() / row_bytes;
  std::vector<uint64_t> positions;
  in_order = ahead = 1e300;
  for (int r = 0; r < repetitions; ++r) {
    double plain = 0, early = 0;
    for (size_t first = 0; first < count; first += chunk_rows) {
      const size_t n = std::min(chunk_rows, count - first);
      chunk_positions(rows, row_bytes, first, n, k, m, positions);
      auto start = clock_type::now();
      sink += work(words, positions.data(), positions.size());
      plain += seconds_since(start);
      chunk_positions(rows, row_bytes, (first + count / 2) % (count - n + 1), n, k, m, positions);
      start = clock_type::now();
      sink += prefetched(words, positions.data(), positions.size(), k, work);
      early += seconds_since(start);
    }
    in_order = std::min(in_order, plain * 1e9 / static_cast<double>(count));
    ahead = std::min(ahead, early * 1e9 / static_cast<double>(count));
  }
}

void memory_floor(const std::vector<unsigned char>& rows, size_t row_bytes, size_t k, uint64_t m) {
  const size_t word_count = m / 64 + 1;
  // Huge pages where the system grants them, as the filter asks for.
  const size_t huge_page = size_t{1} << 21;
  const size_t length = (word_count * sizeof(uint64_t) + huge_page - 1) / huge_page * huge_page;
  auto* words = static_cast<uint64_t*>(std::aligned_alloc(huge_page, length));
  madvise(words, length, MADV_HUGEPAGE);
  std::memset(words, 0, length);  // every page present, as in a used filter
  double in_order, ahead, reads, reads_ahead;
  uint64_t sink = 0;
  time_memory(rows, row_bytes, k, m, words, update{}, in_order, ahead, sink);
  time_memory(rows, row_bytes, k, m, words, read{}, reads, reads_ahead, sink);
  for (size_t i = 0; i < word_count; ++i) sink += words[i];
  std::free(words);
  std::printf("{\"memory\": %.3f, \"memory_prefetched\": %.3f, \"reads\": %.3f, \"reads_prefetched\": %.3f, "
              "\"checksum\": %llu}\n",
              in_order, ahead, reads, reads_ahead, static_cast<unsigned long long>(sink & 0xffff));
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
    hash_floor(read_rows(argv[2]), std::stoul(argv[3]));
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
