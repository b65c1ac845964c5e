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

// Digests the first 8 * batches rows (of count; batches >= 1) eight at a time
// and computes their positions in AVX2 lanes, step j of all eight rows at
// once, handing each step's bits to visit.
template <bool for_write, class Rows, class Visit>
void visit_eight_rows_at_a_time(const Rows& rows, std::ptrdiff_t batches, std::ptrdiff_t count,
                                                                size_t row_length, size_t k, uint64_t m,
                                                                const uint64_t* words, Visit& visit) {
  const position_lanes lanes(m);
  const bool prefetch = m / 8 >= prefetch_min_bytes && k <= prefetch_max_k;
  const __m256i low_six = _mm256_set1_epi64x(63);
  const __m256i one = _mm256_set1_epi64x(1);
  step_bits ring[ring_steps];
  size_t pending = 0;
  size_t slot = 0;
  // A batch's rows are read (gathered, where they are) a batch before they
  // are hashed, into the other half of the slots: the hash would otherwise
  // wait for the stores of the gathering to complete.
  const unsigned char* eight[2][batch_rows];
  rows.read_eight(0, 0, eight[0]);
  for (std::ptrdiff_t batch = 0; batch < batches; ++batch) {
    const std::ptrdiff_t ahead = (batch + prefetch_row_batches) * batch_rows;
    if (ahead < count) rows.prefetch(ahead, std::min(ahead + batch_rows, count) - 1);
    __m256i digest[4];
    murmur::MurmurHash3_x86_128_x8_words(eight[batch % 2], static_cast<int>(row_length),
                                                  seed, digest);
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
      step_bits& step = ring[slot];
      if (pending == ring_steps) {
        visit(step);
        --pending;
      }
      store_vector(step.word, _mm256_srli_epi64(first_four.position, 6));
      store_vector(step.word + 4, _mm256_srli_epi64(last_four.position, 6));
      store_vector(step.bit, _mm256_sllv_epi64(one, _mm256_and_si256(first_four.position, low_six)));
      store_vector(step.bit + 4, _mm256_sllv_epi64(one, _mm256_and_si256(last_four.position, low_six)));
      if (prefetch) {
        for (std::ptrdiff_t i = 0; i < batch_rows; ++i) {
          __builtin_prefetch(words + static_cast<size_t>(step.word[i]), for_write, prefetch_to_second_level);
        }
      }
      slot = (slot + 1) % ring_steps;
      ++pending;
    }
  }
  for (; pending > 0; --pending) visit(ring[(slot + ring_steps - pending) % ring_steps]);
}

struct set_step {
  uint64_t* words;

  void operator()(const step_bits& step) const {
    for (std::ptrdiff_t i = 0; i < batch_rows; ++i) words[static_cast<size_t>(step.word[i])] |= step.bit[i];
  }
};

// Tests the steps of one batch after the other and, after the k steps of a
// batch, sets its rows' results: a row is a member when no step found its bit
// clear.
class test_step {
 public:
  test_step(const uint64_t* words, size_t k, bool* member)
      : words_(reinterpret_cast<const long long*>(words)),
        k_(k),
        member_(member),
        clear_{_mm256_setzero_si256(), _mm256_setzero_si256()} {}

  void operator()(const step_bits& step) {
    for (int half = 0; half < 2; ++half) {
      const __m256i word = load_vector(step.word + 4 * half);
      const __m256i bit = load_vector(step.bit + 4 * half);
      const __m256i found = _mm256_and_si256(_mm256_i64gather_epi64(words_, word, 8), bit);
      clear_[half] = _mm256_or_si256(clear_[half], _mm256_cmpeq_epi64(found, _mm256_setzero_si256()));
    }
    if (++done_ < k_) return;
    const int clear = _mm256_movemask_pd(_mm256_castsi256_pd(clear_[0])) |
                      _mm256_movemask_pd(_mm256_castsi256_pd(clear_[1])) << 4;
    for (std::ptrdiff_t i = 0; i < batch_rows; ++i) member_[i] = !(clear >> i & 1);
    member_ += batch_rows;
    done_ = 0;
    clear_[0] = clear_[1] = _mm256_setzero_si256();
  }

 private:
  // As the gather instruction takes them.
  const long long* words_;
  size_t k_;
  bool* member_;
  size_t done_ = 0;
  __m256i clear_[2];
};

// Test-and-insert must answer for each row as if the rows before it had all
// been inserted first, and a row's positions may meet those of any step of an
// earlier row in its batch: so the k steps of a batch are kept until the last
// one arrives, and then its rows are taken one after the other, each tested
// at all of its positions before any is set.
class test_and_set_step {
 public:
  // Longer rows of steps are left to the one-at-a-time path.
  static constexpr size_t most_steps = 64;

  test_and_set_step(uint64_t* words, size_t k, bool* seen) : words_(words), k_(k), seen_(seen) {}

  void operator()(const step_bits& step) {
    steps_[done_] = step;
    if (++done_ < k_) return;
    for (std::ptrdiff_t i = 0; i < batch_rows; ++i) {
      bool found = true;
      for (size_t j = 0; j < k_; ++j) found &= (words_[static_cast<size_t>(steps_[j].word[i])] & steps_[j].bit[i]) != 0;
      for (size_t j = 0; j < k_; ++j) words_[static_cast<size_t>(steps_[j].word[i])] |= steps_[j].bit[i];
      seen_[i] = found;
    }
    seen_ += batch_rows;
    done_ = 0;
  }

 private:
  uint64_t* words_;
  size_t k_;
  bool* seen_;
  size_t done_ = 0;
  step_bits steps_[most_steps];
};

}  // namespace TOLVANE_ISA
}  // namespace quillon
