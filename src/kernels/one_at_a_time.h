// Rows one at a time: a digest and k remainders each. This is how every kernel
// set handles the rows that its lanes do not take, and all rows on a CPU
// without AVX2; it defines the bits and answers that the others must match.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fastmod.h"
#include "isa.h"
#include "kernels/kernels.h"
#include "murmur.h"
#include "positions.h"
#include "rows.h"

namespace quillon {
inline namespace TOLVANE_ISA {

// Every row of a filter is digested with this seed, so a filter means the
// same on every machine.
constexpr uint32_t seed = 0xFFFEA282;

// The digest words h1 and h2 of len bytes: output bytes 0 to 7 and 8 to 15 of
// MurmurHash3_x86_128, little-endian.
inline void hash(const void* data, size_t len, uint64_t* v1, uint64_t* v2) {
  uint32_t words[4];
  murmur::MurmurHash3_x86_128(data, static_cast<int>(len), seed, words);
  *v1 = words[0] | uint64_t{words[1]} << 32;
  *v2 = words[2] | uint64_t{words[3]} << 32;
}

// Digests rows first .. count - 1 one at a time, in batches, and hands each
// row's (h1, h2) to visit. In a filter larger than the caches the words of the
// next batch are prefetched while the current one is visited, so that the
// memory accesses of a whole batch are in flight at once rather than one
// after the other.
template <bool for_write, class Rows, class Visit>
void digest_rows(const filter_words& filter, const Rows& rows, std::ptrdiff_t first, std::ptrdiff_t count,
                 size_t row_length, Visit&& visit) {
  if (first >= count) return;
  struct batch {
    std::ptrdiff_t first;
    std::ptrdiff_t size;
    uint64_t h1[batch_rows];
    uint64_t h2[batch_rows];
  } batches[2];
  const bool prefetch = filter.m / 8 >= prefetch_min_bytes && filter.k <= prefetch_max_k;
  const uint64_t* const words = filter.words;
  const size_t hashes = filter.k;
  const item_positions positions(filter.m);
  const auto fill = [&](batch& next, std::ptrdiff_t start) {
    next.first = start;
    next.size = std::min(batch_rows, count - start);
    const std::ptrdiff_t ahead = start + prefetch_row_batches * batch_rows;
    // One row at a time leaves the loads room: rows read in order of address
    // come in by the hardware's prefetcher alone (1 to 3 % faster so).
    if (!Rows::streamed && ahead < count) rows.prefetch(ahead, std::min(ahead + batch_rows, count) - 1);
    for (std::ptrdiff_t i = 0; i < next.size; ++i) hash(rows(start + i, i), row_length, &next.h1[i], &next.h2[i]);
    if (!prefetch) return;
    const item_positions local = positions;
    for (std::ptrdiff_t i = 0; i < next.size; ++i) {
      uint64_t v = next.h1[i];
      for (size_t j = 0; j < hashes; ++j) {
        const uint64_t bit = local.next(v, next.h2[i]);
        __builtin_prefetch(words + static_cast<size_t>(bit >> 6), for_write, prefetch_to_second_level);
      }
    }
  };
  fill(batches[0], first);
  for (int current = 0;; current ^= 1) {
    const batch& now = batches[current];
    const std::ptrdiff_t following = now.first + now.size;
    if (following < count) fill(batches[current ^ 1], following);
    for (std::ptrdiff_t i = 0; i < now.size; ++i) visit(now.first + i, now.h1[i], now.h2[i]);
    if (following >= count) return;
  }
}

template <class Rows>
void insert_one_at_a_time(const filter_words& filter, const Rows& rows, std::ptrdiff_t first, std::ptrdiff_t count,
                          size_t row_length) {
  const item_positions positions(filter.m);
  uint64_t* const words = filter.words;
  digest_rows<true>(filter, rows, first, count, row_length, [&](std::ptrdiff_t, uint64_t v, uint64_t h2) {
    // Local copies: the stores below could otherwise alias them.
    const item_positions local = positions;
    const size_t hashes = filter.k;
    for (size_t j = 0; j < hashes; ++j) {
      const uint64_t bit = local.next(v, h2);
      words[static_cast<size_t>(bit >> 6)] |= uint64_t{1} << (bit & 63);
    }
  });
}

template <class Rows>
void test_one_at_a_time(const filter_words& filter, const Rows& rows, std::ptrdiff_t first, std::ptrdiff_t count,
                        size_t row_length, bool* member) {
  const item_positions positions(filter.m);
  const uint64_t* const words = filter.words;
  digest_rows<false>(filter, rows, first, count, row_length, [&](std::ptrdiff_t row, uint64_t v, uint64_t h2) {
    const item_positions local = positions;
    const size_t hashes = filter.k;
    bool found = true;
    for (size_t j = 0; j < hashes && found; ++j) {
      const uint64_t bit = local.next(v, h2);
      found = (words[static_cast<size_t>(bit >> 6)] >> (bit & 63)) & 1;
    }
    member[row] = found;
  });
}

// A row's bits are all tested before any of them is set: a position that a
// row repeats does not find its own bit.
template <class Rows>
void test_and_insert_one_at_a_time(const filter_words& filter, const Rows& rows, std::ptrdiff_t first,
                                   std::ptrdiff_t count, size_t row_length, bool* seen) {
  const item_positions positions(filter.m);
  uint64_t* const words = filter.words;
  digest_rows<true>(filter, rows, first, count, row_length, [&](std::ptrdiff_t row, uint64_t h1, uint64_t h2) {
    const item_positions local = positions;
    const size_t hashes = filter.k;
    bool found = true;
    uint64_t v = h1;
    for (size_t j = 0; j < hashes && found; ++j) {
      const uint64_t bit = local.next(v, h2);
      found = (words[static_cast<size_t>(bit >> 6)] >> (bit & 63)) & 1;
    }
    seen[row] = found;
    v = h1;
    for (size_t j = 0; j < hashes; ++j) {
      const uint64_t bit = local.next(v, h2);
      words[static_cast<size_t>(bit >> 6)] |= uint64_t{1} << (bit & 63);
    }
  });
}

}  // namespace TOLVANE_ISA
}  // namespace quillon
