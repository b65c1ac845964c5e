// How the rows of an array are read for hashing: where they lie one after the
// other, in place; otherwise gathered element by element (with AVX2, two
// common layouts a vector at a time) into a buffer reused for every batch.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "isa.h"
#include "kernels/kernels.h"

namespace quillon {
inline namespace TOLVANE_ISA {

// Rows are digested in batches of this many; filters of prefetch_min_bytes
// and more prefetch the words of each batch ahead (unless k is so large that
// the prefetched lines would be evicted before use), into the second-level
// cache: the first level tracks too few misses at once to keep them all on
// their way (1 GiB, k 7: 86 ns per row against 101 into the first level).
constexpr std::ptrdiff_t batch_rows = 8;
constexpr size_t prefetch_min_bytes = size_t{4} << 20;
constexpr size_t prefetch_max_k = 32;
constexpr int prefetch_to_second_level = 2;
// Gathered rows up to this length get a buffer slot each within two batches,
// so that a batch can be hashed eight rows at a time while the next one is
// gathered.
constexpr size_t slotted_row_max = size_t{32} << 10;
// Rows are read this many batches ahead of hashing, up to this many bytes of
// each: the loads of a row stream would otherwise wait on memory behind the
// filter's own random accesses.
constexpr std::ptrdiff_t prefetch_row_batches = 2;
constexpr size_t prefetch_row_max = 256;
constexpr size_t cache_line = 64;
constexpr std::ptrdiff_t prefetch_columns_max = 32;


inline size_t row_length(const row_geometry& geometry) { return static_cast<size_t>(geometry.cols) * geometry.itemsize; }

inline bool is_contiguous(const row_geometry& geometry) {
  return geometry.cols <= 1 || geometry.col_stride == static_cast<std::ptrdiff_t>(geometry.itemsize);
}

#if defined(__AVX2__)
inline __m256i load_vector(const void* at) { return _mm256_loadu_si256(static_cast<const __m256i*>(at)); }
inline void store_vector(void* at, __m256i bytes) { _mm256_storeu_si256(static_cast<__m256i*>(at), bytes); }

// The byte shuffle that reverses the items of this size within each 16-byte
// half of a vector: item i goes to item 16 / size - 1 - i.
template <size_t size>
constexpr std::array<char, 32> item_reversal() {
  std::array<char, 32> shuffle{};
  for (size_t byte = 0; byte < 32; ++byte) {
    shuffle[byte] = static_cast<char>((16 / size - 1 - byte % 16 / size) * size + byte % size);
  }
  return shuffle;
}
#endif

// Rows whose bytes lie one after the other are hashed where they are.
struct contiguous_rows {
  // Read in order of address, which the hardware's prefetcher follows.
  static constexpr bool streamed = true;

  const char* base;
  std::ptrdiff_t row_stride;
  size_t row_length;

  bool slotted() const { return true; }
  const unsigned char* operator()(std::ptrdiff_t row, std::ptrdiff_t /* slot */) const {
    return reinterpret_cast<const unsigned char*>(base + row * row_stride);
  }
  // Rows first .. first + 7, for hashing eight at a time.
  void read_eight(std::ptrdiff_t first, std::ptrdiff_t /* slot */, const unsigned char* rows[batch_rows]) const {
    for (std::ptrdiff_t i = 0; i < batch_rows; ++i) rows[i] = (*this)(first + i, 0);
  }
  // Asks for the cache lines of rows first .. last that will be hashed soon.
  // Both readers' prefetch are always inlined: g++ took a function that only
  // prefetches for one without effects and dropped the calls, so that rows
  // lying one after the other were never prefetched (64-byte rows inserted
  // at 2.1 to 2.5 times the time of clang's build, AVX2 kernels, AMD Zen 4).
  __attribute__((always_inline)) void prefetch(std::ptrdiff_t first, std::ptrdiff_t last) const {
    const size_t length = std::min(row_length, prefetch_row_max);
    if (length == 0) return;
    for (std::ptrdiff_t row = first; row <= last; ++row) {
      const char* const start = base + row * row_stride;
      for (size_t offset = 0; offset < length; offset += cache_line) __builtin_prefetch(start + offset);
      // A row that straddles a line boundary ends on one more line.
      __builtin_prefetch(start + length - 1);
    }
  }
};

// clang's AVX-512 kernels inline the readers of gathered rows into the loops
// that hash them: called, they cost a spill and reload of the lanes' vector
// registers at every batch (test of reversed 16-byte rows at 1.04 to 1.08
// times the time of g++'s build, inlined 0.96 to 1.02; AMD Zen 4). Inlined,
// clang's AVX2 kernels inserted reversed 64-byte rows in 1.3 times the time,
// and g++'s AVX-512 kernels ran test_and_insert of reversed rows in up to 1.2
// times: they call them.
#if defined(__clang__) && defined(__AVX512F__)
#define TOLVANE_READER_INLINE __attribute__((always_inline))
#else
#define TOLVANE_READER_INLINE
#endif

// Other rows are gathered element by element into a buffer reused for every
// batch: slot i at buffer + i * slot_bytes (2 * batch_rows slots), or all in
// one place when slot_bytes is 0. Size is the item size, or 0 for one known
// only at run time.
template <size_t Size>
struct gathered_rows {
  static constexpr bool streamed = false;

  row_geometry geometry;
  unsigned char* buffer;
  size_t slot_bytes;

  bool slotted() const { return slot_bytes != 0; }
  const unsigned char* operator()(std::ptrdiff_t row, std::ptrdiff_t slot) const {
    unsigned char* const start = buffer + static_cast<size_t>(slot) * slot_bytes;
    copy_elements(row, 0, start);
    return start;
  }
  // Columns first_col .. cols - 1 of a row to their places in out.
  TOLVANE_READER_INLINE void copy_elements(std::ptrdiff_t row, std::ptrdiff_t first_col, unsigned char* out) const {
    const size_t itemsize = Size ? Size : geometry.itemsize;
    const std::ptrdiff_t stride = geometry.col_stride;
    const char* element = geometry.base + row * geometry.row_stride + first_col * stride;
    out += static_cast<size_t>(first_col) * itemsize;
    std::ptrdiff_t col = first_col;
    // Four elements a round: their loads and stores do not wait on one
    // another's address arithmetic.
    for (; col + 4 <= geometry.cols; col += 4) {
      std::memcpy(out, element, Size ? Size : itemsize);
      std::memcpy(out + itemsize, element + stride, Size ? Size : itemsize);
      std::memcpy(out + 2 * itemsize, element + 2 * stride, Size ? Size : itemsize);
      std::memcpy(out + 3 * itemsize, element + 3 * stride, Size ? Size : itemsize);
      element += 4 * stride;
      out += 4 * itemsize;
    }
    for (; col < geometry.cols; ++col) {
      std::memcpy(out, element, Size ? Size : itemsize);
      element += stride;
      out += itemsize;
    }
  }
#if defined(__AVX2__)
  // Rows first .. first + 7 into slots slot .. slot + 7, for hashing eight at a
  // time (with AVX2). Two common layouts go a vector at a time rather than an
  // element at a time: columns whose elements lie one after the other (Fortran
  // order, transposed views), and rows whose elements lie one after the other
  // in reverse order (reversed columns).
  TOLVANE_READER_INLINE void read_eight(std::ptrdiff_t first, std::ptrdiff_t slot,
                                        const unsigned char* rows[batch_rows]) const {
    unsigned char* out[batch_rows];
    for (std::ptrdiff_t i = 0; i < batch_rows; ++i) rows[i] = out[i] = buffer + static_cast<size_t>(slot + i) * slot_bytes;
    std::ptrdiff_t done = 0;
    if constexpr (Size == 4 || Size == 8) {
      if (geometry.row_stride == static_cast<std::ptrdiff_t>(Size)) done = copy_columns(first, out);
    }
    for (std::ptrdiff_t i = 0; i < batch_rows; ++i) {
      std::ptrdiff_t col = done;
      if constexpr (Size != 0) {
        if (done == 0 && geometry.col_stride == -static_cast<std::ptrdiff_t>(Size)) col = copy_reversed(first + i, out[i]);
      }
      copy_elements(first + i, col, out[i]);
    }
  }

  // The columns of eight rows a vector's worth at a time: the vectors of
  // consecutive columns' elements in the eight rows, transposed into vectors of
  // the rows' elements. Returns the number of columns copied.
  TOLVANE_READER_INLINE std::ptrdiff_t copy_columns(std::ptrdiff_t first, unsigned char* const out[batch_rows]) const {
    constexpr std::ptrdiff_t width = 32 / static_cast<std::ptrdiff_t>(Size);
    const std::ptrdiff_t stride = geometry.col_stride;
    const char* const start = geometry.base + first * geometry.row_stride;
    std::ptrdiff_t col = 0;
    for (; col + width <= geometry.cols; col += width) {
      // The column elements of the eight rows, and where row i's go.
      const char* const column = start + col * stride;
      unsigned char* to[batch_rows];
      for (std::ptrdiff_t i = 0; i < batch_rows; ++i) to[i] = out[i] + col * static_cast<std::ptrdiff_t>(Size);
      if constexpr (Size == 4) {
        __m256i pairs[8], quads[8];
        for (int j = 0; j < 8; j += 2) {
          const __m256i left = load_vector(column + j * stride), right = load_vector(column + (j + 1) * stride);
          pairs[j] = _mm256_unpacklo_epi32(left, right);
          pairs[j + 1] = _mm256_unpackhi_epi32(left, right);
        }
        for (int j = 0; j < 8; j += 4) {
          quads[j] = _mm256_unpacklo_epi64(pairs[j], pairs[j + 2]);
          quads[j + 1] = _mm256_unpackhi_epi64(pairs[j], pairs[j + 2]);
          quads[j + 2] = _mm256_unpacklo_epi64(pairs[j + 1], pairs[j + 3]);
          quads[j + 3] = _mm256_unpackhi_epi64(pairs[j + 1], pairs[j + 3]);
        }
        // quads[i] holds columns 0-3 of rows i and i + 4, quads[i + 4] columns 4-7.
        for (int i = 0; i < 4; ++i) {
          store_vector(to[i], _mm256_permute2x128_si256(quads[i], quads[i + 4], 0x20));
          store_vector(to[i + 4], _mm256_permute2x128_si256(quads[i], quads[i + 4], 0x31));
        }
      } else {
        // Rows 0-3 from the first 32 bytes of each column, rows 4-7 from the next.
        for (int half = 0; half < 2; ++half) {
          const char* const at = column + 32 * half;
          const __m256i c0 = load_vector(at), c1 = load_vector(at + stride);
          const __m256i c2 = load_vector(at + 2 * stride), c3 = load_vector(at + 3 * stride);
          const __m256i low01 = _mm256_unpacklo_epi64(c0, c1), high01 = _mm256_unpackhi_epi64(c0, c1);
          const __m256i low23 = _mm256_unpacklo_epi64(c2, c3), high23 = _mm256_unpackhi_epi64(c2, c3);
          store_vector(to[4 * half], _mm256_permute2x128_si256(low01, low23, 0x20));
          store_vector(to[4 * half + 1], _mm256_permute2x128_si256(high01, high23, 0x20));
          store_vector(to[4 * half + 2], _mm256_permute2x128_si256(low01, low23, 0x31));
          store_vector(to[4 * half + 3], _mm256_permute2x128_si256(high01, high23, 0x31));
        }
      }
    }
    // Then half a vector's worth of columns, each row's 16 bytes from one half
    // of a vector. Rows of 16 to 31 bytes went an element at a time before:
    // 16-byte rows in Fortran order took 1.02 to 1.08 times the time (AMD Zen
    // 4), and up to 1.1 times in zig's build.
    if (col + width / 2 <= geometry.cols) {
      const char* const column = start + col * stride;
      unsigned char* to[batch_rows];
      for (std::ptrdiff_t i = 0; i < batch_rows; ++i) to[i] = out[i] + col * static_cast<std::ptrdiff_t>(Size);
      if constexpr (Size == 4) {
        const __m256i c0 = load_vector(column), c1 = load_vector(column + stride);
        const __m256i c2 = load_vector(column + 2 * stride), c3 = load_vector(column + 3 * stride);
        const __m256i low01 = _mm256_unpacklo_epi32(c0, c1), high01 = _mm256_unpackhi_epi32(c0, c1);
        const __m256i low23 = _mm256_unpacklo_epi32(c2, c3), high23 = _mm256_unpackhi_epi32(c2, c3);
        // Row i in the low half of rows[i], row i + 4 in its high half.
        const __m256i rows[4] = {_mm256_unpacklo_epi64(low01, low23), _mm256_unpackhi_epi64(low01, low23),
                                 _mm256_unpacklo_epi64(high01, high23), _mm256_unpackhi_epi64(high01, high23)};
        for (int i = 0; i < 4; ++i) store_halves(to[i], to[i + 4], rows[i]);
      } else {
        for (int half = 0; half < 2; ++half) {
          const char* const at = column + 32 * half;
          const __m256i c0 = load_vector(at), c1 = load_vector(at + stride);
          // Rows 4 * half and + 2 in the halves of the first, + 1 and + 3 of the second.
          store_halves(to[4 * half], to[4 * half + 2], _mm256_unpacklo_epi64(c0, c1));
          store_halves(to[4 * half + 1], to[4 * half + 3], _mm256_unpackhi_epi64(c0, c1));
        }
      }
      col += width / 2;
    }
    return col;
  }

  // The low 16 bytes of a vector to low, the high ones to high.
  static void store_halves(unsigned char* low, unsigned char* high, __m256i bytes) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(low), _mm256_castsi256_si128(bytes));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(high), _mm256_extracti128_si256(bytes, 1));
  }

  // A row whose elements lie in reverse order one after the other, 32 bytes
  // at a time: each the bytes it needs, in order of address, with their items
  // reversed. Returns the number of columns copied.
  TOLVANE_READER_INLINE std::ptrdiff_t copy_reversed(std::ptrdiff_t row, unsigned char* out) const {
    constexpr auto item = static_cast<std::ptrdiff_t>(Size);
    constexpr std::ptrdiff_t per_vector = 32 / item;
    static constexpr std::array<char, 32> reversal = item_reversal<Size>();
    const __m256i shuffle = load_vector(reversal.data());
    // Element col lies at first_element - col * Size.
    const char* const first_element = geometry.base + row * geometry.row_stride;
    std::ptrdiff_t col = 0;
    for (; col + per_vector <= geometry.cols; col += per_vector) {
      const __m256i bytes = load_vector(first_element - (col + per_vector - 1) * item);
      store_vector(out + col * item, _mm256_shuffle_epi8(_mm256_permute4x64_epi64(bytes, 0x4e), shuffle));
    }
    // Then half a vector's worth, 16 bytes, reversed by half the shuffle:
    // reversed 24-byte rows were inserted an element at a time in up to twice
    // the time (AMD Zen 4).
    constexpr std::ptrdiff_t per_half = per_vector / 2;
    if (col + per_half <= geometry.cols) {
      const char* const at = first_element - (col + per_half - 1) * item;
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + col * item),
                       _mm_shuffle_epi8(bytes, _mm256_castsi256_si128(shuffle)));
      col += per_half;
    }
    return col;
  }
#endif
  // Asks for the lines of each column's elements in rows first and last. The
  // rows between lie in between: on those two lines when a column's elements
  // are close (Fortran order, small items); otherwise the hardware's stream
  // prefetcher is left to fetch them.
  __attribute__((always_inline)) void prefetch(std::ptrdiff_t first, std::ptrdiff_t last) const {
    const std::ptrdiff_t cols = std::min(geometry.cols, prefetch_columns_max);
    for (std::ptrdiff_t col = 0; col < cols; ++col) {
      const char* const element = geometry.base + col * geometry.col_stride;
      __builtin_prefetch(element + first * geometry.row_stride);
      __builtin_prefetch(element + last * geometry.row_stride);
    }
  }
};

// The gathered rows' buffer. Not a std::vector: the members of a standard
// template instantiated here would be compiled with this file's instruction
// set yet shared by name with the module's other files, and the linker keeps
// one copy for all of them, which might then run where the CPU lacks those
// instructions. This type is the instruction set's own.
class row_buffer {
 public:
  explicit row_buffer(size_t size) : bytes_(new unsigned char[size]()) {}
  ~row_buffer() { delete[] bytes_; }
  row_buffer(const row_buffer&) = delete;
  row_buffer& operator=(const row_buffer&) = delete;
  unsigned char* data() const { return bytes_; }

 private:
  unsigned char* const bytes_;
};

// Calls visit with the fastest row reader for the layout, so that the loop
// over rows is compiled once for each.
template <class Visit>
void with_rows(const row_geometry& geometry, Visit&& visit) {
  const size_t length = row_length(geometry);
  if (is_contiguous(geometry)) return visit(contiguous_rows{geometry.base, geometry.row_stride, length});
  const size_t slot_bytes = length <= slotted_row_max ? length : 0;
  const row_buffer buffer(slot_bytes ? slot_bytes * 2 * batch_rows : length);
  switch (geometry.itemsize) {
    case 1: return visit(gathered_rows<1>{geometry, buffer.data(), slot_bytes});
    case 2: return visit(gathered_rows<2>{geometry, buffer.data(), slot_bytes});
    case 4: return visit(gathered_rows<4>{geometry, buffer.data(), slot_bytes});
    case 8: return visit(gathered_rows<8>{geometry, buffer.data(), slot_bytes});
    case 16: return visit(gathered_rows<16>{geometry, buffer.data(), slot_bytes});
    default: return visit(gathered_rows<0>{geometry, buffer.data(), slot_bytes});
  }
}

}  // namespace TOLVANE_ISA
}  // namespace quillon
