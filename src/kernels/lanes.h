// Rows eight at a time in vector lanes: one hash of eight rows, their bit
// positions four to a vector, and the memory work of each step of positions
// for all eight. Compiled only into the kernel files of instruction sets that
// include AVX2.
#pragma once

#if !defined(__AVX2__)
#error "the lanes need AVX2: compile with its flags"
#endif

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "isa.h"
#include "kernels/one_at_a_time.h"
#include "murmur.h"
#include "positions.h"
#include "rows.h"

namespace quillon {
inline namespace TOLVANE_ISA {

// One step of a batch of eight rows: bit position j of row i lies in word
// word[i], at the bit that bit[i] has set.
struct step_bits {
  uint64_t word[batch_rows];
  uint64_t bit[batch_rows];
};

// A step's words are read and written this many steps after its positions
// were computed, so that the core computes later positions while the words of
// earlier ones are on their way; in large filters they are prefetched when
// their positions are known.
constexpr size_t ring_steps = 8;

// Test and test-and-insert prefetch the rows of any filter where rows have
// this many bytes per step and more, and, on CPUs where it pays, the filter's
// words into the first level: the hash of the rows in between then covers the
// words' way from the second level or beyond, and costs more than the eight
// prefetches a step. Intel Xeon, 1.25 MB filter, rows and words: 64-byte rows
// at 0.70 to 0.80 of the time at k = 3 and 0.79 to 0.94 at k = 7, 128-byte
// rows 0.62 to 0.87; with fewer bytes a step, up to 1.28 times the time. AMD
// Zen 4: the words' prefetch cost up to 1.9 times the time for 64- and
// 128-byte rows (1.09 to 1.86 for 128); the rows' alone, 0.86 to 1.09
// (1.25 MB) and 0.65 to 1.09 (512 KB: 64- and 128-byte rows at 0.65 to 0.98).
// Insert's stores do not wait for their words, and take neither.
constexpr size_t long_step_min_bytes = 8;
constexpr int prefetch_to_first_level = 3;

// Digests the first 8 * batches rows (of count; batches >= 1) eight at a time
// and computes their positions in AVX2 lanes, step j of all eight rows at
// once, handing each step's bits to visit.
//
// Steps stay in a ring of `capacity` entries: a visitor may keep pointers to
// the steps it has been given until capacity - ring_steps later ones arrive.
// The visitor is taken by value: a copy that nothing else points to keeps its
// members in registers, where through a reference g++ read insert's filter
// pointer again at every step, since the ring's vector stores might have
// changed it (16-byte rows inserted at 0.75 to 0.95 of the time, AMD Zen 4).
template <bool for_write, size_t capacity = ring_steps, class Rows, class Visit>
void visit_eight_rows_at_a_time(const Rows& rows, std::ptrdiff_t batches, std::ptrdiff_t count, size_t row_length,
                                const filter_words& filter, Visit visit) {
  static_assert(capacity >= ring_steps);
  const size_t k = filter.k;
  const uint64_t* const words = filter.words;
  const position_lanes lanes(filter.m);
  const bool large = filter.m / 8 >= prefetch_min_bytes;
  const bool reads_long_steps = !Visit::stores_every_step && row_length >= long_step_min_bytes * k;
  const bool to_first = !large && reads_long_steps && filter.first_level_prefetch_pays;
  const bool prefetch_words = (large || to_first) && k <= prefetch_max_k;
  const bool prefetch_rows = (large || reads_long_steps) && k <= prefetch_max_k;
  const __m256i low_six = _mm256_set1_epi64x(63);
  const __m256i one = _mm256_set1_epi64x(1);
  step_bits ring[capacity];
  size_t pending = 0;
  size_t slot = 0;
  // A batch's rows are read (gathered, where they are) a batch before they
  // are hashed, into the other half of the slots: the hash would otherwise
  // wait for the stores of the gathering to complete.
  const unsigned char* eight[2][batch_rows];
  rows.read_eight(0, 0, eight[0]);
  for (std::ptrdiff_t batch = 0; batch < batches; ++batch) {
    const std::ptrdiff_t ahead = (batch + prefetch_row_batches) * batch_rows;
    // Rows read in order of address are left to the hardware's prefetcher
    // but where every step stores, the filter is large or the steps are long:
    // insert's stores crowd out its loads (64-byte rows, AVX2: 0.4 to 0.5 of
    // the time with the prefetch), and so do the words' misses in a large
    // filter (AMD Zen 3, 1 GiB: test of 64-byte rows at 0.77 to 0.9 of the
    // time) and their loads where each row has many, while test and
    // test-and-insert of short rows in cache run 1 to 14 % slower with it
    // (AMD Zen 4).
    if (ahead < count && (!Rows::streamed || Visit::stores_every_step || prefetch_rows)) {
      rows.prefetch(ahead, std::min(ahead + batch_rows, count) - 1);
    }
    __m256i digest[4];
    murmur::MurmurHash3_x86_128_x8_words(eight[batch % 2], static_cast<int>(row_length), seed, digest);
    const std::ptrdiff_t next = batch + 1;
    if (next < batches) rows.read_eight(next * batch_rows, next % 2 * batch_rows, eight[next % 2]);
    // h1 is output words 0 and 1 of a digest, h2 words 2 and 3, each pair
    // little-endian. Unpacking works within 128-bit halves: these hold rows
    // 0, 1, 4, 5 and 2, 3, 6, 7.
    const __m256i h1_a = _mm256_unpacklo_epi32(digest[0], digest[1]);
    const __m256i h1_b = _mm256_unpackhi_epi32(digest[0], digest[1]);
    const __m256i h2_a = _mm256_unpacklo_epi32(digest[2], digest[3]);
    const __m256i h2_b = _mm256_unpackhi_epi32(digest[2], digest[3]);
    position_lanes::lanes first_four = lanes.first(_mm256_permute2x128_si256(h1_a, h1_b, 0x20),
                                                   _mm256_permute2x128_si256(h2_a, h2_b, 0x20));
    position_lanes::lanes last_four = lanes.first(_mm256_permute2x128_si256(h1_a, h1_b, 0x31),
                                                  _mm256_permute2x128_si256(h2_a, h2_b, 0x31));
    for (size_t j = 0; j < k; ++j) {
      if (j > 0) {
        lanes.next(first_four);
        lanes.next(last_four);
      }
      if (pending == ring_steps) {
        visit(ring[(slot + capacity - ring_steps) % capacity]);
        --pending;
      }
      step_bits& step = ring[slot];
      store_vector(step.word, _mm256_srli_epi64(first_four.position, 6));
      store_vector(step.word + 4, _mm256_srli_epi64(last_four.position, 6));
      store_vector(step.bit, _mm256_sllv_epi64(one, _mm256_and_si256(first_four.position, low_six)));
      store_vector(step.bit + 4, _mm256_sllv_epi64(one, _mm256_and_si256(last_four.position, low_six)));
      if (prefetch_words) {
        for (std::ptrdiff_t i = 0; i < batch_rows; ++i) {
          const uint64_t* const word = words + static_cast<size_t>(step.word[i]);
          if (to_first) {
            __builtin_prefetch(word, for_write, prefetch_to_first_level);
          } else {
            __builtin_prefetch(word, for_write, prefetch_to_second_level);
          }
        }
      }
      slot = (slot + 1) % capacity;
      ++pending;
    }
  }
  for (; pending > 0; --pending) visit(ring[(slot + capacity - pending) % capacity]);
}

// Visits the steps of the whole batches of eight rows where the rows allow,
// then runs one_at_a_time on the rows after them (or on all rows).
template <bool for_write, size_t capacity = ring_steps, class Rows, class Visit, class OneAtATime>
void eight_then_one(const filter_words& filter, const row_geometry& geometry, const Rows& rows, Visit visit,
                    OneAtATime&& one_at_a_time) {
  std::ptrdiff_t first = 0;
  if (rows.slotted() && geometry.rows >= batch_rows) {
    const std::ptrdiff_t batches = geometry.rows / batch_rows;
    visit_eight_rows_at_a_time<for_write, capacity>(rows, batches, geometry.rows, row_length(geometry), filter, visit);
    first = batches * batch_rows;
  }
  one_at_a_time(first);
}

// test, with Tester testing each step of a batch of eight rows.
template <class Tester>
void test_in_lanes(const filter_words& filter, const row_geometry& geometry, bool* member) {
  with_rows(geometry, [&](const auto& rows) {
    eight_then_one<false>(filter, geometry, rows, Tester(filter.words, filter.k, member), [&](std::ptrdiff_t first) {
      test_one_at_a_time(filter, rows, first, geometry.rows, row_length(geometry), member);
    });
  });
}

// test_and_insert, with Tester keeping a batch's steps and testing and
// setting them once it has them all; one row at a time where k has more
// steps than it keeps.
template <class Tester>
void test_and_insert_in_lanes(const filter_words& filter, const row_geometry& geometry, bool* seen) {
  const size_t length = row_length(geometry);
  with_rows(geometry, [&](const auto& rows) {
    if (filter.k > Tester::most_steps) {
      return test_and_insert_one_at_a_time(filter, rows, 0, geometry.rows, length, seen);
    }
    eight_then_one<true, Tester::ring_capacity>(
        filter, geometry, rows, Tester(filter.words, filter.k, seen),
        [&](std::ptrdiff_t first) { test_and_insert_one_at_a_time(filter, rows, first, geometry.rows, length, seen); });
  });
}

struct set_step {
  static constexpr bool stores_every_step = true;
  uint64_t* words;

  void operator()(const step_bits& step) const {
    for (std::ptrdiff_t i = 0; i < batch_rows; ++i) words[static_cast<size_t>(step.word[i])] |= step.bit[i];
  }
};

// Sets the eight bools at to: to[i] is bit i of rows.
inline void store_rows(int rows, bool* to) {
  const __m128i row_bit = _mm_set_epi64x(0, 0x8040201008040201);  // byte i: bit i
  const __m128i bit_of_row = _mm_and_si128(_mm_set1_epi8(static_cast<char>(rows)), row_bit);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_min_epu8(bit_of_row, _mm_set1_epi8(1)));
}

// Which of a step's eight bits are clear, one bit per row. The eight words
// are gathered for long rows and loaded one by one for short ones, where that
// is faster (AMD Zen 3, in cache: test of 16- and 24-byte rows at 0.75 to
// 0.9 of the time with the loads; of 32-byte rows up to 1.2 times the time,
// 64-byte rows 1.1 to 1.4).
template <bool gather>
inline int clear_rows(const uint64_t* words, const step_bits& step) {
  int clear = 0;
  for (int half = 0; half < 2; ++half) {
    const uint64_t* const at = step.word + 4 * half;
    __m256i word;
    if constexpr (gather) {
      word = _mm256_i64gather_epi64(reinterpret_cast<const long long*>(words), load_vector(at), 8);
    } else {
      const auto load = [&](int lane) { return static_cast<long long>(words[static_cast<size_t>(at[lane])]); };
      word = _mm256_set_epi64x(load(3), load(2), load(1), load(0));
    }
    const __m256i found = _mm256_and_si256(word, load_vector(step.bit + 4 * half));
    const __m256i missing = _mm256_cmpeq_epi64(found, _mm256_setzero_si256());
    clear |= _mm256_movemask_pd(_mm256_castsi256_pd(missing)) << 4 * half;
  }
  return clear;
}

// Tests the steps of one batch after the other and, after the k steps of a
// batch, sets its rows' results: a row is a member when no step found its bit
// clear.
template <bool gather>
class test_step {
 public:
  static constexpr bool stores_every_step = false;
  test_step(const uint64_t* words, size_t k, bool* member) : words_(words), k_(k), member_(member) {}

  void operator()(const step_bits& step) {
    clear_ |= clear_rows<gather>(words_, step);
    if (++done_ < k_) return;
    store_rows(~clear_, member_);
    member_ += batch_rows;
    done_ = 0;
    clear_ = 0;
  }

 private:
  const uint64_t* words_;
  size_t k_;
  bool* member_;
  size_t done_ = 0;
  int clear_ = 0;
};

// Test-and-insert must answer for each row as if the rows before it had all
// been inserted first, and a row's positions may meet those of any step of an
// earlier row in its batch: so the k steps of a batch are kept (in the ring,
// which holds them until the last one arrives). Every bit is then read before
// any is set, and set as insert sets it, but for the steps whose eight bits
// were all set already (rows seen before leave their cache lines clean); a
// row whose bits were not all set before the batch may still have been seen,
// when earlier rows of the batch set each bit it lacked, which is looked for
// only then, and bit by bit only where the word of its first lacked bit may
// be one of theirs (for a new row, rarely).
template <bool gather>
class test_and_set_step {
 public:
  // The steps a batch may have, and the ring that holds them all.
  static constexpr size_t most_steps = 56;
  static constexpr size_t ring_capacity = 64;
  static constexpr bool stores_every_step = false;

  test_and_set_step(uint64_t* words, size_t k, bool* seen) : words_(words), k_(k), seen_(seen) {}

  // Always inlined into the loop that makes the steps: clang called it, and
  // the call spilled and reloaded the lanes' vector registers at every step.
  __attribute__((always_inline)) void operator()(const step_bits& step) {
    steps_[done_] = &step;
    if (++done_ < k_) return;
    int seen = 0xff;
    for (size_t j = 0; j < k_; ++j) {
      clear_[j] = clear_rows<gather>(words_, *steps_[j]);
      seen &= ~clear_[j];
    }
    if (seen != 0xff) seen = set_lacked(seen);
    store_rows(seen, seen_);
    seen_ += batch_rows;
    done_ = 0;
  }

 private:
  // Where some row lacked a bit: sets the steps' bits but where all eight were
  // set, and returns seen with the rows that earlier rows of the batch made
  // whole. Apart, so that a batch of rows seen before runs through none of it;
  // inlined all the same, as clang would call it.
  __attribute__((always_inline)) int set_lacked(int seen) const {
    const set_step set{words_};
    for (size_t j = 0; j < k_; ++j) {
      if (clear_[j]) set(*steps_[j]);
    }
    const int lacking = ~seen & 0xfe;  // row 0 has no earlier row
    if (!lacking) return seen;
    // A row's first lacked word is looked for among the earlier rows' words
    // by their low 32 bits, a step's eight in one vector, with no branch but
    // on what is found: with a search for each row's first lacked step and
    // two comparisons a step, the search took a fifth to a third of the time
    // of test_and_insert of new rows, and that time is now 0.89 to 0.95 of
    // what it was (AMD Zen 4). Equal words have equal low bits; set_before
    // weeds out the few others.
    __m256i low_words[most_steps];
    __m256i first_lacked = _mm256_setzero_si256();
    int lacked = 0;
    const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    const __m256i row_bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    for (size_t j = 0; j < k_; ++j) {
      const __m256i first_four = _mm256_permutevar8x32_epi32(load_vector(steps_[j]->word), low_halves);
      const __m256i last_four = _mm256_permutevar8x32_epi32(load_vector(steps_[j]->word + 4), low_halves);
      low_words[j] = _mm256_blend_epi32(first_four, last_four, 0xf0);
      const __m256i first_here = _mm256_and_si256(_mm256_set1_epi32(clear_[j] & ~lacked), row_bits);
      first_lacked = _mm256_blendv_epi8(first_lacked, low_words[j], _mm256_cmpeq_epi32(first_here, row_bits));
      lacked |= clear_[j];
    }
    for (int row = 1; row < batch_rows; ++row) {
      if (!(lacking >> row & 1)) continue;
      const __m256i word = _mm256_permutevar8x32_epi32(first_lacked, _mm256_set1_epi32(row));
      __m256i met = _mm256_setzero_si256();
      for (size_t j = 0; j < k_; ++j) met = _mm256_or_si256(met, _mm256_cmpeq_epi32(word, low_words[j]));
      const bool met_before = _mm256_movemask_ps(_mm256_castsi256_ps(met)) & ((1 << row) - 1);
      if (met_before && set_before(row)) seen |= 1 << row;
    }
    return seen;
  }

  // Whether each bit that row lacked before the batch is one of the bits of
  // the rows before it in the batch.
  bool set_before(int row) const {
    for (size_t j = 0; j < k_; ++j) {
      if (!(clear_[j] >> row & 1)) continue;
      const uint64_t word = steps_[j]->word[row], bit = steps_[j]->bit[row];
      bool met = false;
      for (size_t other = 0; other < k_ && !met; ++other) {
        for (int r = 0; r < row && !met; ++r) met = steps_[other]->word[r] == word && steps_[other]->bit[r] == bit;
      }
      if (!met) return false;
    }
    return true;
  }

  uint64_t* words_;
  size_t k_;
  bool* seen_;
  size_t done_ = 0;
  const step_bits* steps_[most_steps];
  // The rows whose bit each step found clear, one bit per row.
  int clear_[most_steps];
};

}  // namespace TOLVANE_ISA
}  // namespace quillon
