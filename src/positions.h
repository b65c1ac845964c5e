// The bit positions of an item: for j = 1, 2, ..., k, the position
// (h1 + j * h2) mod 2^64 mod m of its digest words h1 and h2, for any m in
// 1 .. 2^63 - 1.
//
// item_positions gives them one item at a time, a remainder each: the k
// remainders of an item do not depend on one another, so a core overlaps them.
//
// position_lanes (compiled with AVX2, or AVX-512 with its unsigned comparisons,
// masks and 64-bit products) gives them for four items at once, one per
// 64-bit lane, from two remainders per item: position 1, (h1 + h2) mod m, and
// s = h2 mod m. Each later position is the one before plus s, less
// w = 2^64 mod m where h1 + j * h2 wrapped past 2^64 on the way: eight vector
// instructions a step, where a remainder in lanes takes fifteen (m <= 2^30)
// or twenty-five.
#pragma once

#include <cstdint>
#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "fastmod.h"
#include "isa.h"

namespace quillon {
inline namespace TOLVANE_ISA {

class item_positions {
 public:
  explicit item_positions(uint64_t m) : mod_(m) {}

  // Position j, given v = h1 + (j - 1) * h2, which it advances to h1 + j * h2.
  uint64_t next(uint64_t& v, uint64_t h2) const {
    v += h2;
    return mod_(v);
  }

 private:
  fastmod mod_;
};

#if defined(__AVX2__)
class position_lanes {
 public:
  explicit position_lanes(uint64_t m)
      : m_(m), reciprocal_(UINT64_MAX / m), wrap_(UINT64_MAX % m + 1 == m ? 0 : UINT64_MAX % m + 1) {}

  // Four items at position j. Every value lies in [0, m) or (-m, m), and
  // m < 2^63, so signed comparisons order them.
  struct lanes {
    __m256i position;
    // h1 + j * h2, and h2 to compare it with. AVX2 compares only signed
    // numbers: both have their top bits flipped there, which makes a signed
    // comparison of them the unsigned comparison of the values.
    __m256i v;
    __m256i h2;
    __m256i h2_compared;
    // What a step subtracts: m - s, or m - ((s - w) mod m) after a wrap, as
    // the first and the difference of the two.
    __m256i back;
    __m256i wrapped_back;
  };

  // Position 1 of the items with digest words h1 and h2, lane by lane.
  // This and next are always inlined: where clang called this one, the lanes
  // it returned stayed in memory, read and written at every step (test in
  // AVX2 lanes at 1.1 to 1.3 times the time of g++'s build on AMD Zen 4).
  __attribute__((always_inline)) lanes first(__m256i h1, __m256i h2) const {
    const __m256i m = _mm256_set1_epi64x(static_cast<long long>(m_));
    const __m256i v = _mm256_add_epi64(h1, h2);
    const __m256i s = remainder(h2);
    const __m256i wrap = _mm256_set1_epi64x(static_cast<long long>(wrap_));
    const __m256i s_after_wrap = add_m_below_zero(_mm256_sub_epi64(s, wrap));
    lanes items;
    items.position = remainder(v);
#if defined(__AVX512VL__)
    items.v = v;
    items.h2_compared = h2;
#else
    const __m256i flip = _mm256_set1_epi64x(static_cast<long long>(uint64_t{1} << 63));
    items.v = _mm256_xor_si256(v, flip);
    items.h2_compared = _mm256_xor_si256(h2, flip);
#endif
    items.h2 = h2;
    items.back = _mm256_sub_epi64(m, s);
    items.wrapped_back = _mm256_sub_epi64(_mm256_sub_epi64(m, s_after_wrap), items.back);
    return items;
  }

  // From position j to position j + 1.
  __attribute__((always_inline)) void next(lanes& items) const {
    items.v = _mm256_add_epi64(items.v, items.h2);
    // The sum wrapped past 2^64 exactly where it came out below h2.
#if defined(__AVX512VL__)
    const __mmask8 wrapped = _mm256_cmplt_epu64_mask(items.v, items.h2_compared);
    const __m256i back = _mm256_mask_add_epi64(items.back, wrapped, items.back, items.wrapped_back);
#else
    const __m256i wrapped = _mm256_cmpgt_epi64(items.h2_compared, items.v);
    const __m256i back = _mm256_add_epi64(items.back, _mm256_and_si256(wrapped, items.wrapped_back));
#endif
    items.position = add_m_below_zero(_mm256_sub_epi64(items.position, back));
  }

 private:
  // x + m where x < 0: from (-m, m) to [0, m). With AVX-512, the lesser of x
  // and x + m taken as unsigned numbers.
  __m256i add_m_below_zero(__m256i x) const {
    const __m256i m = _mm256_set1_epi64x(static_cast<long long>(m_));
#if defined(__AVX512VL__)
    return _mm256_min_epu64(x, _mm256_add_epi64(x, m));
#else
    // Blended on x's sign bit: no compare with a zero vector, which would
    // take one more of the registers that the step loop runs short of.
    const __m256d below_zero = _mm256_castsi256_pd(x);
    return _mm256_castpd_si256(_mm256_blendv_pd(below_zero, _mm256_castsi256_pd(_mm256_add_epi64(x, m)), below_zero));
#endif
  }

  // x mod m by fastmod's Barrett estimate, its 64 x 64-bit products built
  // from the 32 x 32-bit ones that AVX2 has.
  __m256i remainder(__m256i x) const {
    return m_ <= small_m ? small_remainder(x) : wide_remainder(x);
  }

  // Where 4m <= 2^32, x - q m needs only its low 32 bits, and so a quotient
  // estimate up to three too small will do: the high 64 bits of x * reciprocal
  // without the carries of the low products (two at most), on top of
  // Barrett's one. Four multiplications instead of seven.
  static constexpr uint64_t small_m = uint64_t{1} << 30;
  __m256i small_remainder(__m256i x) const {
    const __m256i reciprocal = _mm256_set1_epi64x(static_cast<long long>(reciprocal_));
    const __m256i reciprocal_high = _mm256_set1_epi64x(static_cast<long long>(reciprocal_ >> 32));
    const __m256i m = _mm256_set1_epi64x(static_cast<long long>(m_));
    const __m256i twice_m = _mm256_set1_epi64x(static_cast<long long>(2 * m_));
    const __m256i x_high = _mm256_srli_epi64(x, 32);
    const __m256i quotient = _mm256_add_epi64(
        _mm256_mul_epu32(x_high, reciprocal_high),
        _mm256_add_epi64(_mm256_srli_epi64(_mm256_mul_epu32(x_high, reciprocal), 32),
                         _mm256_srli_epi64(_mm256_mul_epu32(x, reciprocal_high), 32)));
    // In [0, 4m), and then, each time unless it would go below 0 (and wrap to
    // more than it was), less 2m and less m.
    __m256i rest = _mm256_sub_epi32(x, _mm256_mul_epu32(quotient, m));
    rest = _mm256_min_epu32(rest, _mm256_sub_epi32(rest, twice_m));
    rest = _mm256_min_epu32(rest, _mm256_sub_epi32(rest, m));
    return _mm256_and_si256(rest, _mm256_set1_epi64x(0xffffffff));
  }

  // Any m < 2^63: the whole product, and a quotient at most one too small.
  __m256i wide_remainder(__m256i x) const {
    const __m256i reciprocal = _mm256_set1_epi64x(static_cast<long long>(reciprocal_));
    const __m256i reciprocal_high = _mm256_set1_epi64x(static_cast<long long>(reciprocal_ >> 32));
    const __m256i m = _mm256_set1_epi64x(static_cast<long long>(m_));
#if !(defined(__AVX512DQ__) && defined(__AVX512VL__))
    const __m256i m_high = _mm256_set1_epi64x(static_cast<long long>(m_ >> 32));
#endif
    const __m256i low_half = _mm256_set1_epi64x(0xffffffff);
    const __m256i x_high = _mm256_srli_epi64(x, 32);
    // The high 64 bits of x * reciprocal; neither sum can carry out.
    const __m256i middle = _mm256_add_epi64(_mm256_srli_epi64(_mm256_mul_epu32(x, reciprocal), 32),
                                            _mm256_mul_epu32(x_high, reciprocal));
    const __m256i middle_low = _mm256_add_epi64(_mm256_and_si256(middle, low_half),
                                                _mm256_mul_epu32(x, reciprocal_high));
    const __m256i quotient =
        _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epu32(x_high, reciprocal_high), _mm256_srli_epi64(middle, 32)),
                         _mm256_srli_epi64(middle_low, 32));
    // The low 64 bits of quotient * m.
#if defined(__AVX512DQ__) && defined(__AVX512VL__)
    const __m256i product = _mm256_mullo_epi64(quotient, m);
#else
    const __m256i cross = _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(quotient, 32), m),
                                           _mm256_mul_epu32(quotient, m_high));
    const __m256i product = _mm256_add_epi64(_mm256_mul_epu32(quotient, m), _mm256_slli_epi64(cross, 32));
#endif
    // x - quotient * m lies in [0, 2m).
    return add_m_below_zero(_mm256_sub_epi64(_mm256_sub_epi64(x, product), m));
  }

  uint64_t m_;
  uint64_t reciprocal_;
  uint64_t wrap_;
};
#endif

}  // namespace TOLVANE_ISA
}  // namespace quillon
