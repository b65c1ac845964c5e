// The row kernels: insert, test and test-and-insert over the rows of an array,
// one set per instruction set, each compiled in its own file with that set's
// flags. The filter chooses a set once, from what the CPU allows; every set
// gives the same bits and answers, which the one-row-at-a-time set defines.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon {

// Where rows lie in an array: row r, column c is the element at
// base + r * row_stride + c * col_stride (indices after the second are 0).
struct row_geometry {
  const char* base;
  std::ptrdiff_t rows;
  std::ptrdiff_t cols;
  std::ptrdiff_t row_stride;
  std::ptrdiff_t col_stride;
  size_t itemsize;
};

// A filter as the kernels see it: bit i is bit i % 64 of words[i / 64], and
// every row has k >= 1 positions in m >= 1 bits.
struct filter_words {
  uint64_t* words;
  size_t k;
  uint64_t m;
  // Whether the CPU gains from prefetching the words of a filter in cache
  // into the first level (Intel's cores, not AMD's): tunes how the lanes
  // read, never what they answer.
  bool first_level_prefetch_pays = false;
};

struct row_kernels {
  // "one at a time", "avx2" or "avx512".
  const char* name;
  void (*insert)(const filter_words& filter, const row_geometry& rows);
  // member[r]: whether every bit of row r is set.
  void (*test)(const filter_words& filter, const row_geometry& rows, bool* member);
  // seen[r]: whether every bit of row r was set before row r's own were,
  // after the rows before it in the array; the bits end as insert sets them.
  void (*test_and_insert)(const filter_words& filter, const row_geometry& rows, bool* seen);
};

extern const row_kernels one_at_a_time_kernels;
#if defined(__x86_64__) || defined(__i386__)
extern const row_kernels avx2_kernels;
extern const row_kernels avx512_kernels;
#endif

}  // namespace quillon
