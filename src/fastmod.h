// Exact remainders by a divisor fixed for many calls, without a division.
//
// Every row of a filter needs k remainders modulo m; a hardware 64-bit division
// costs more than hashing the row. Barrett reduction with the reciprocal
// r = floor((2^64 - 1) / d) gives a quotient estimate q = floor(x * r / 2^64)
// that is never too large and at most one too small for every 64-bit x, so
// x - q * d is the remainder after at most one subtraction of d. That needs
// d < 2^63 (so 2 * d does not wrap), which every filter size satisfies.
#pragma once

#include <cstdint>

#include "isa.h"

namespace quillon {
inline namespace TOLVANE_ISA {

// The high 64 bits of the 128-bit product a * b, from 32-bit halves, for
// targets without a 128-bit integer type (32-bit x86).
inline uint64_t mulhi64_portable(uint64_t a, uint64_t b) {
  const uint64_t a_lo = static_cast<uint32_t>(a);
  const uint64_t a_hi = a >> 32;
  const uint64_t b_lo = static_cast<uint32_t>(b);
  const uint64_t b_hi = b >> 32;
  const uint64_t lo_lo = a_lo * b_lo;
  const uint64_t hi_lo = a_hi * b_lo;
  const uint64_t lo_hi = a_lo * b_hi;
  const uint64_t middle = (lo_lo >> 32) + static_cast<uint32_t>(hi_lo) + static_cast<uint32_t>(lo_hi);
  return a_hi * b_hi + (hi_lo >> 32) + (lo_hi >> 32) + (middle >> 32);
}

inline uint64_t mulhi64(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
  return static_cast<uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
#else
  return mulhi64_portable(a, b);
#endif
}

class fastmod {
 public:
  // divisor must lie in 1 .. 2^63 - 1.
  explicit fastmod(uint64_t divisor) : divisor_(divisor), reciprocal_(UINT64_MAX / divisor) {}

  uint64_t operator()(uint64_t x) const {
    uint64_t rest = x - mulhi64(x, reciprocal_) * divisor_;
    return rest >= divisor_ ? rest - divisor_ : rest;
  }

 private:
  uint64_t divisor_;
  uint64_t reciprocal_;
};

}  // namespace TOLVANE_ISA
}  // namespace quillon
