// The kernels for CPUs with AVX-512 (F, VL, BW, DQ and CD): the lanes of the
// AVX2 kernels, whose hash rotates and whose positions compare, mask and
// multiply with AVX-512's instructions (murmur.h, positions.h), and a memory
// stage of its own. Steps read their eight words with one gather (eight
// loads, as AVX2 reads short rows: test at 1.15 to 1.5 times the time on an
// Intel Xeon, whatever the row length). Long gathered rows write a step with
// one scatter: eight stores whose addresses come from loads hold up the loads
// of the next rows' bytes behind them (on AMD Zen 4, reversed 64-byte rows
// inserted at k = 3 at 0.75 of the time with the scatter). Rows read in place
// are prefetched, and eight stores then cost less than a scatter but for long
// steps (below): insert of 64-byte rows at 0.6 to 0.8 of the time.
#include <type_traits>

#include "kernels/lanes.h"

namespace quillon {
namespace {

// Rows of this many bytes and more write with a scatter where they are not
// prefetched; a scatter costs more than the eight stores where the next
// rows' loads are few.
constexpr size_t scatter_row_min = 48;
// Rows read in place, which test_and_insert prefetches where its steps are
// long, write with a scatter only where a step has this many bytes of row.
// New rows of 48 to 256 bytes took 0.74 to 0.97 of the time with eight
// stores where a step had fewer, 1.0 to 1.15 times where it had more (AMD
// Zen 4).
constexpr size_t scatter_step_min_bytes = 40;

__m512i word_indices(const step_bits& step) { return _mm512_loadu_si512(step.word); }
__m512i bits(const step_bits& step) { return _mm512_loadu_si512(step.bit); }

// Reads the eight words at indices. Given a constant mask of all lanes, clang
// makes it with kxnorb from the k register it wrote last, the previous step's
// test: each gather then waits for the one before (test at twice the time of
// g++'s build on AMD Zen 4). A mask it cannot see through comes from a
// general register instead, with no such wait.
__m512i gather(const uint64_t* words, __m512i indices) {
  unsigned every_lane = 0xff;
  asm("" : "+r"(every_lane));
  return _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), static_cast<__mmask8>(every_lane), indices, words, 8);
}

// Sets a step's bits: eight read-modify-writes, or one gather and one scatter
// where no two of the eight share a word (else the scatter would keep only
// one of their bits). Always inlined, as test-and-insert's step below is,
// into the loop that makes the steps: a call there spills and reloads the
// lanes' vector registers at every step. (clang called test-and-insert's
// step: 1.1 times the time of g++'s build; g++, once that step was inlined,
// called this one: long rows inserted at 1.3 times the time.)
template <bool scatter>
__attribute__((always_inline)) inline void set_bits(uint64_t* words, const step_bits& step) {
  if constexpr (scatter) {
    const __m512i word = word_indices(step);
    const __m512i conflicts = _mm512_conflict_epi64(word);
    if (!_mm512_test_epi64_mask(conflicts, conflicts)) {
      const __m512i old = gather(words, word);
      _mm512_i64scatter_epi64(words, word, _mm512_or_si512(old, bits(step)), 8);
      return;
    }
  }
  for (std::ptrdiff_t i = 0; i < batch_rows; ++i) words[static_cast<size_t>(step.word[i])] |= step.bit[i];
}

template <bool scatter>
struct set_step {
  static constexpr bool stores_every_step = true;
  uint64_t* words;
  void operator()(const step_bits& step) const { set_bits<scatter>(words, step); }
};

// Which of a step's eight bits are set.
__mmask8 found(const uint64_t* words, const step_bits& step) {
  return _mm512_test_epi64_mask(gather(words, word_indices(step)), bits(step));
}

void store_answers(__mmask8 answers, bool* to) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_maskz_mov_epi8(answers, _mm_set1_epi8(1)));
}

class test_step {
 public:
  static constexpr bool stores_every_step = false;
  test_step(const uint64_t* words, size_t k, bool* member) : words_(words), k_(k), member_(member) {}

  void operator()(const step_bits& step) {
    // Into the mask register as it is: clang otherwise moves each step's
    // answer to a general register and back (test 1.06 to 1.11 times the
    // time of g++'s build on AMD Zen 4).
    member_mask_ = _mm512_mask_test_epi64_mask(member_mask_, gather(words_, word_indices(step)), bits(step));
    if (++done_ < k_) return;
    store_answers(member_mask_, member_);
    member_ += batch_rows;
    done_ = 0;
    member_mask_ = 0xff;
  }

 private:
  const uint64_t* words_;
  size_t k_;
  bool* member_;
  size_t done_ = 0;
  __mmask8 member_mask_ = 0xff;
};

// The k steps of a batch are kept (in the ring, which holds them all) until
// the last one arrives. Every bit is then read before any is set, and a step
// whose eight bits were all set already writes nothing (rows seen before
// leave the words as they were, and their cache lines clean). A row whose
// bits were not all set before the batch may still have been seen, when
// earlier rows of the batch set each bit it lacked: the word of the first bit
// it lacked is looked for among theirs, and only where it may be there, each
// bit.
template <bool scatter>
class test_and_set_step {
 public:
  // The steps a batch may have, and the ring that holds them all.
  static constexpr size_t most_steps = 56;
  static constexpr size_t ring_capacity = 64;
  static constexpr bool stores_every_step = false;

  test_and_set_step(uint64_t* words, size_t k, bool* seen) : words_(words), k_(k), seen_(seen) {}

  __attribute__((always_inline)) void operator()(const step_bits& step) {
    steps_[done_] = &step;
    if (++done_ < k_) return;
    __mmask8 seen = 0xff;
    for (size_t j = 0; j < k_; ++j) {
      clear_[j] = static_cast<__mmask8>(~found(words_, *steps_[j]));
      seen &= static_cast<__mmask8>(~clear_[j]);
    }
    if (seen != 0xff) seen = set_lacked(seen);
    store_answers(seen, seen_);
    seen_ += batch_rows;
    done_ = 0;
  }

 private:
  // Where some row lacked a bit: sets the steps' bits but where all eight were
  // set, and returns seen with the rows that earlier rows of the batch made
  // whole. Apart, so that a batch of rows seen before runs through none of it;
  // inlined all the same, as clang called it (test_and_insert of new rows at
  // 1.08 times the time of g++'s build).
  __attribute__((always_inline)) __mmask8 set_lacked(__mmask8 seen) {
    __m512i first_lacked = _mm512_setzero_si512();
    __mmask8 lacked = 0;
    for (size_t j = 0; j < k_; ++j) {
      if (!clear_[j]) continue;
      first_lacked = _mm512_mask_mov_epi64(first_lacked, clear_[j] & ~lacked, word_indices(*steps_[j]));
      lacked |= clear_[j];
      set_bits<scatter>(words_, *steps_[j]);
    }
    const unsigned lacking = static_cast<unsigned>(~seen) & 0xfe;  // row 0 has no earlier row
    if (!lacking) return seen;
    // A row's first lacked word is looked for among the earlier rows' words
    // by their low 16 bits, four steps to a vector, in registers throughout
    // (with one comparison a step, the search took a quarter of the time of
    // test_and_insert of new rows; through memory, it waited on the scatters'
    // stores). Equal words have equal low bits; set_before weeds out the few
    // others.
    __m512i first_lacked_low[batch_rows];
    __mmask32 met[batch_rows] = {};
    for (int row = 1; row < batch_rows; ++row) {
      first_lacked_low[row] = _mm512_permutexvar_epi16(_mm512_set1_epi16(static_cast<short>(4 * row)), first_lacked);
    }
    // A last group of fewer than four steps repeats the last step.
    const auto low = [&](size_t step) {
      return _mm512_cvtepi64_epi16(word_indices(*steps_[std::min(step, k_ - 1)]));
    };
    for (size_t step = 0; step < k_; step += 4) {
      __m512i four = _mm512_castsi128_si512(low(step));
      four = _mm512_inserti32x4(four, low(step + 1), 1);
      four = _mm512_inserti32x4(four, low(step + 2), 2);
      four = _mm512_inserti32x4(four, low(step + 3), 3);
      for (int row = 1; row < batch_rows; ++row) {
        const __mmask32 earlier = ((1u << row) - 1) * 0x01010101u;
        met[row] |= _mm512_mask_cmpeq_epi16_mask(earlier, first_lacked_low[row], four);
      }
    }
    for (unsigned rest = lacking; rest; rest &= rest - 1) {
      const int row = __builtin_ctz(rest);
      if (met[row] && set_before(row)) seen |= static_cast<__mmask8>(1u << row);
    }
    return seen;
  }

  // Whether each bit that row lacked before the batch is one of the bits of
  // the rows before it in the batch.
  bool set_before(int row) const {
    const __mmask8 earlier = static_cast<__mmask8>((1u << row) - 1);
    for (size_t j = 0; j < k_; ++j) {
      if (!(clear_[j] >> row & 1)) continue;
      const __m512i word = _mm512_set1_epi64(static_cast<long long>(steps_[j]->word[row]));
      const __m512i bit = _mm512_set1_epi64(static_cast<long long>(steps_[j]->bit[row]));
      bool met = false;
      for (size_t other = 0; other < k_ && !met; ++other) {
        met = _mm512_mask_cmpeq_epi64_mask(_mm512_cmpeq_epi64_mask(word, word_indices(*steps_[other])) & earlier,
                                           bit, bits(*steps_[other])) != 0;
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
  __mmask8 clear_[most_steps];
};

// Calls visit with std::true_type where rows are long enough to write with a
// scatter and are not prefetched.
template <bool prefetched, class Visit>
void with_scatter_for(size_t row_length, Visit&& visit) {
  if constexpr (!prefetched) {
    if (row_length >= scatter_row_min) return visit(std::true_type{});
  }
  visit(std::false_type{});
}

void insert(const filter_words& filter, const row_geometry& geometry) {
  const size_t length = row_length(geometry);
  with_rows(geometry, [&](const auto& rows) {
    with_scatter_for<std::decay_t<decltype(rows)>::streamed>(length, [&](auto scatter) {
      eight_then_one<true>(filter, geometry, rows, set_step<decltype(scatter)::value>{filter.words},
                           [&](std::ptrdiff_t first) { insert_one_at_a_time(filter, rows, first, geometry.rows, length); });
    });
  });
}

void test(const filter_words& filter, const row_geometry& geometry, bool* member) {
  test_in_lanes<test_step>(filter, geometry, member);
}

void test_and_insert(const filter_words& filter, const row_geometry& geometry, bool* seen) {
  const size_t length = row_length(geometry);
  const bool in_place = is_contiguous(geometry);
  if (length >= scatter_row_min && (!in_place || length >= scatter_step_min_bytes * filter.k)) {
    return test_and_insert_in_lanes<test_and_set_step<true>>(filter, geometry, seen);
  }
  test_and_insert_in_lanes<test_and_set_step<false>>(filter, geometry, seen);
}

}  // namespace

const row_kernels avx512_kernels{"avx512", insert, test, test_and_insert};

}  // namespace quillon
