#include "bloom_filter.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "cpu.h"
#include "murmur.h"
#include "positions.h"

namespace {

// Where rows lie in an array: row r, column c is the element at
// base + r * row_stride + c * col_stride (indices after the second are 0).
struct row_geometry {
  const char* base;
  ssize_t rows;
  ssize_t cols;
  ssize_t row_stride;
  ssize_t col_stride;
  size_t itemsize;

  size_t row_length() const { return static_cast<size_t>(cols) * itemsize; }
  bool contiguous() const { return cols <= 1 || col_stride == static_cast<ssize_t>(itemsize); }
};

[[noreturn]] void throw_invalid_axis(ssize_t axis, ssize_t ndim) {
  throw py::index_error("invalid axis: " + std::to_string(axis) + " (ndim = " + std::to_string(ndim) + ")");
}

[[noreturn]] void throw_out_of_bounds(ssize_t index, ssize_t axis, ssize_t size) {
  throw py::index_error("index " + std::to_string(index) + " is out of bounds for axis " + std::to_string(axis) +
                        " with size " + std::to_string(size));
}

// Reads the rows of an array with at least two dimensions. When the array has
// columns, every axis after the second must have an element 0 to read.
row_geometry rows_of(const py::array& mat) {
  const ssize_t* shape = mat.shape();
  const ssize_t* strides = mat.strides();
  const row_geometry geometry{static_cast<const char*>(mat.data()), shape[0], shape[1], strides[0], strides[1],
                              static_cast<size_t>(mat.itemsize())};
  if (geometry.cols > 0) {
    for (ssize_t axis = 2; axis < mat.ndim(); ++axis) {
      if (shape[axis] == 0) throw_out_of_bounds(0, axis, 0);
    }
  }
  // Rows of no bytes (no columns, or items of size 0) occupy no memory, so
  // their strides may be anything, even too large to multiply by a row
  // number; every such row is the empty item at the base address.
  if (geometry.row_length() == 0) return {geometry.base, geometry.rows, 0, 0, 0, geometry.itemsize};
  return geometry;
}

// The rows that insert and test digest. An array without rows yields none,
// whatever its number of dimensions beyond the first.
row_geometry rows_to_hash(const py::array& mat) {
  const ssize_t ndim = mat.ndim();
  if (ndim == 0) throw_invalid_axis(0, 0);
  if (mat.shape(0) == 0) return {nullptr, 0, 0, 0, 0, 0};
  if (ndim < 2) throw_invalid_axis(1, ndim);
  const row_geometry geometry = rows_of(mat);
  // The hash takes a signed 32-bit length; a longer row (possible through
  // broadcasting) would be digested wrongly.
  constexpr auto longest = static_cast<size_t>(std::numeric_limits<int>::max());
  if (geometry.itemsize != 0 && static_cast<size_t>(geometry.cols) > longest / geometry.itemsize) {
    throw py::value_error("row too long to hash: more than 2147483647 bytes");
  }
  return geometry;
}

// Rows are digested in batches of this many; filters of prefetch_min_bytes
// and more prefetch the words of each batch ahead (unless k is so large that
// the prefetched lines would be evicted before use), into the second-level
// cache: the first level tracks too few misses at once to keep them all on
// their way (1 GiB, k 7: 86 ns per row against 101 into the first level).
constexpr ssize_t batch_rows = 8;
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
constexpr ssize_t prefetch_row_batches = 2;
constexpr size_t prefetch_row_max = 256;
constexpr size_t cache_line = 64;
constexpr ssize_t prefetch_columns_max = 32;

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) inline __m256i load_vector(const void* at) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(at));
}
__attribute__((target("avx2"))) inline void store_vector(void* at, __m256i bytes) {
  _mm256_storeu_si256(static_cast<__m256i*>(at), bytes);
}

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
  const char* base;
  ssize_t row_stride;
  size_t row_length;

  bool slotted() const { return true; }
  const unsigned char* operator()(ssize_t row, ssize_t /* slot */) const {
    return reinterpret_cast<const unsigned char*>(base + row * row_stride);
  }
  // Rows first .. first + 7, for hashing eight at a time.
  void read_eight(ssize_t first, ssize_t /* slot */, const unsigned char* rows[batch_rows]) const {
    for (ssize_t i = 0; i < batch_rows; ++i) rows[i] = (*this)(first + i, 0);
  }
  // Asks for the cache lines of rows first .. last that will be hashed soon.
  void prefetch(ssize_t first, ssize_t last) const {
    const size_t length = std::min(row_length, prefetch_row_max);
    if (length == 0) return;
    for (ssize_t row = first; row <= last; ++row) {
      const char* const start = base + row * row_stride;
      for (size_t offset = 0; offset < length; offset += cache_line) __builtin_prefetch(start + offset);
      // A row that straddles a line boundary ends on one more line.
      __builtin_prefetch(start + length - 1);
    }
  }
};

// Other rows are gathered element by element into a buffer reused for every
// batch: slot i at buffer + i * slot_bytes (2 * batch_rows slots), or all in
// one place when slot_bytes is 0. Size is the item size, or 0 for one known
// only at run time.
template <size_t Size>
struct gathered_rows {
  row_geometry geometry;
  unsigned char* buffer;
  size_t slot_bytes;

  bool slotted() const { return slot_bytes != 0; }
  const unsigned char* operator()(ssize_t row, ssize_t slot) const {
    unsigned char* const start = buffer + static_cast<size_t>(slot) * slot_bytes;
    copy_elements(row, 0, start);
    return start;
  }
  // Columns first_col .. cols - 1 of a row to their places in out.
  void copy_elements(ssize_t row, ssize_t first_col, unsigned char* out) const {
    const size_t itemsize = Size ? Size : geometry.itemsize;
    const ssize_t stride = geometry.col_stride;
    const char* element = geometry.base + row * geometry.row_stride + first_col * stride;
    out += static_cast<size_t>(first_col) * itemsize;
    ssize_t col = first_col;
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
#if defined(__x86_64__) || defined(__i386__)
  // Rows first .. first + 7 into slots slot .. slot + 7, for hashing eight at a
  // time (with AVX2). Two common layouts go a vector at a time rather than an
  // element at a time: columns whose elements lie one after the other (Fortran
  // order, transposed views), and rows whose elements lie one after the other
  // in reverse order (reversed columns).
  __attribute__((target("avx2"))) void read_eight(ssize_t first, ssize_t slot,
                                                  const unsigned char* rows[batch_rows]) const {
    unsigned char* out[batch_rows];
    for (ssize_t i = 0; i < batch_rows; ++i) rows[i] = out[i] = buffer + static_cast<size_t>(slot + i) * slot_bytes;
    ssize_t done = 0;
    if constexpr (Size == 4 || Size == 8) {
      if (geometry.row_stride == static_cast<ssize_t>(Size)) done = copy_columns(first, out);
    }
    for (ssize_t i = 0; i < batch_rows; ++i) {
      ssize_t col = done;
      if constexpr (Size != 0) {
        if (done == 0 && geometry.col_stride == -static_cast<ssize_t>(Size)) col = copy_reversed(first + i, out[i]);
      }
      copy_elements(first + i, col, out[i]);
    }
  }

  // The columns of eight rows a vector's worth at a time: the vectors of
  // consecutive columns' elements in the eight rows, transposed into vectors of
  // the rows' elements. Returns the number of columns copied.
  __attribute__((target("avx2"))) ssize_t copy_columns(ssize_t first, unsigned char* const out[batch_rows]) const {
    constexpr ssize_t width = 32 / static_cast<ssize_t>(Size);
    const ssize_t stride = geometry.col_stride;
    const char* const start = geometry.base + first * geometry.row_stride;
    ssize_t col = 0;
    for (; col + width <= geometry.cols; col += width) {
      // The column elements of the eight rows, and where row i's go.
      const char* const column = start + col * stride;
      unsigned char* to[batch_rows];
      for (ssize_t i = 0; i < batch_rows; ++i) to[i] = out[i] + col * static_cast<ssize_t>(Size);
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
    return col;
  }

  // A row whose elements lie in reverse order one after the other, 32 bytes
  // at a time: each the bytes it needs, in order of address, with their items
  // reversed. Returns the number of columns copied.
  __attribute__((target("avx2"))) ssize_t copy_reversed(ssize_t row, unsigned char* out) const {
    constexpr auto item = static_cast<ssize_t>(Size);
    constexpr ssize_t per_vector = 32 / item;
    static constexpr std::array<char, 32> reversal = item_reversal<Size>();
    const __m256i shuffle = load_vector(reversal.data());
    // Element col lies at first_element - col * Size.
    const char* const first_element = geometry.base + row * geometry.row_stride;
    ssize_t col = 0;
    for (; col + per_vector <= geometry.cols; col += per_vector) {
      const __m256i bytes = load_vector(first_element - (col + per_vector - 1) * item);
      store_vector(out + col * item, _mm256_shuffle_epi8(_mm256_permute4x64_epi64(bytes, 0x4e), shuffle));
    }
    return col;
  }
#endif
  // Asks for the lines of each column's elements in rows first and last. The
  // rows between lie in between: on those two lines when a column's elements
  // are close (Fortran order, small items); otherwise the hardware's stream
  // prefetcher is left to fetch them.
  void prefetch(ssize_t first, ssize_t last) const {
    const ssize_t cols = std::min(geometry.cols, prefetch_columns_max);
    for (ssize_t col = 0; col < cols; ++col) {
      const char* const element = geometry.base + col * geometry.col_stride;
      __builtin_prefetch(element + first * geometry.row_stride);
      __builtin_prefetch(element + last * geometry.row_stride);
    }
  }
};

// Calls visit with the fastest row reader for the layout, so that the loop
// over rows is compiled once for each.
template <class Visit>
void with_rows(const row_geometry& geometry, Visit&& visit) {
  const size_t length = geometry.row_length();
  if (geometry.contiguous()) return visit(contiguous_rows{geometry.base, geometry.row_stride, length});
  const size_t slot_bytes = length <= slotted_row_max ? length : 0;
  std::vector<unsigned char> buffer(slot_bytes ? slot_bytes * 2 * batch_rows : length);
  switch (geometry.itemsize) {
    case 1: return visit(gathered_rows<1>{geometry, buffer.data(), slot_bytes});
    case 2: return visit(gathered_rows<2>{geometry, buffer.data(), slot_bytes});
    case 4: return visit(gathered_rows<4>{geometry, buffer.data(), slot_bytes});
    case 8: return visit(gathered_rows<8>{geometry, buffer.data(), slot_bytes});
    case 16: return visit(gathered_rows<16>{geometry, buffer.data(), slot_bytes});
    default: return visit(gathered_rows<0>{geometry, buffer.data(), slot_bytes});
  }
}

#if defined(__x86_64__) || defined(__i386__)
const quillon::cpu_features cpu = quillon::probe_cpu();
#endif

constexpr size_t huge_page = size_t{1} << 21;

// Large fresh buffers are filled faster on huge pages: one fault per 2 MiB.
void advise_huge_pages(void* start, size_t size) {
#ifdef MADV_HUGEPAGE
  const auto first = (reinterpret_cast<uintptr_t>(start) + huge_page - 1) / huge_page * huge_page;
  const auto end = (reinterpret_cast<uintptr_t>(start) + size) / huge_page * huge_page;
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
  (void)start;
  (void)size;
#endif
}

// Python code must not run between reading an array's geometry and reading
// its rows: a finalizer could free the array's memory (resize(refcheck=False))
// or reconfigure the filter. Allocating a list (a tracked object) can start a
// collection, which runs finalizers, so the collector is paused meanwhile.
class collector_paused {
 public:
  collector_paused() : was_enabled_(PyGC_Disable() != 0) {}
  collector_paused(const collector_paused&) = delete;
  collector_paused& operator=(const collector_paused&) = delete;
  ~collector_paused() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

py::list new_list(ssize_t size) {
  const collector_paused paused;
  return py::list(static_cast<size_t>(size));
}

[[noreturn]] void throw_no_bits() { throw py::value_error("filter has no bits: configure m > 0 first"); }

#if defined(__x86_64__) || defined(__i386__)
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
__attribute__((target("avx2"))) void visit_eight_rows_at_a_time(const Rows& rows, ssize_t batches, ssize_t count,
                                                                size_t row_length, size_t k, uint64_t m,
                                                                const uint64_t* words, Visit& visit) {
  const quillon::position_lanes lanes(m);
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
  for (ssize_t batch = 0; batch < batches; ++batch) {
    const ssize_t ahead = (batch + prefetch_row_batches) * batch_rows;
    if (ahead < count) rows.prefetch(ahead, std::min(ahead + batch_rows, count) - 1);
    __m256i digest[4];
    quillon::murmur::MurmurHash3_x86_128_x8_words(eight[batch % 2], static_cast<int>(row_length),
                                                  BloomFilterFacade::seed, digest);
    const ssize_t next = batch + 1;
    if (next < batches) rows.read_eight(next * batch_rows, next % 2 * batch_rows, eight[next % 2]);
    // h1 is output words 0 and 1 of a digest, h2 words 2 and 3, each pair
    // little-endian. Unpacking works within 128-bit halves: these hold rows
    // 0, 1, 4, 5 and 2, 3, 6, 7.
    const __m256i h1_a = _mm256_unpacklo_epi32(digest[0], digest[1]);
    const __m256i h1_b = _mm256_unpackhi_epi32(digest[0], digest[1]);
    const __m256i h2_a = _mm256_unpacklo_epi32(digest[2], digest[3]);
    const __m256i h2_b = _mm256_unpackhi_epi32(digest[2], digest[3]);
    quillon::position_lanes::lanes first_four = lanes.first(_mm256_permute2x128_si256(h1_a, h1_b, 0x20),
                                                             _mm256_permute2x128_si256(h2_a, h2_b, 0x20));
    quillon::position_lanes::lanes last_four = lanes.first(_mm256_permute2x128_si256(h1_a, h1_b, 0x31),
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
        for (ssize_t i = 0; i < batch_rows; ++i) {
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
    for (ssize_t i = 0; i < batch_rows; ++i) words[static_cast<size_t>(step.word[i])] |= step.bit[i];
  }
};

// Tests the steps of one batch after the other and, after the k steps of a
// batch, sets its rows' results: a row is a member when no step found its bit
// clear.
class test_step {
 public:
  __attribute__((target("avx2"))) test_step(const uint64_t* words, size_t k, PyObject* list)
      : words_(reinterpret_cast<const long long*>(words)),
        k_(k),
        list_(list),
        clear_{_mm256_setzero_si256(), _mm256_setzero_si256()} {}

  __attribute__((target("avx2"))) void operator()(const step_bits& step) {
    for (int half = 0; half < 2; ++half) {
      const __m256i word = load_vector(step.word + 4 * half);
      const __m256i bit = load_vector(step.bit + 4 * half);
      const __m256i found = _mm256_and_si256(_mm256_i64gather_epi64(words_, word, 8), bit);
      clear_[half] = _mm256_or_si256(clear_[half], _mm256_cmpeq_epi64(found, _mm256_setzero_si256()));
    }
    if (++done_ < k_) return;
    const int clear = _mm256_movemask_pd(_mm256_castsi256_pd(clear_[0])) |
                      _mm256_movemask_pd(_mm256_castsi256_pd(clear_[1])) << 4;
    for (ssize_t i = 0; i < batch_rows; ++i) {
      PyList_SET_ITEM(list_, row_ + i, Py_NewRef(clear >> i & 1 ? Py_False : Py_True));
    }
    row_ += batch_rows;
    done_ = 0;
    clear_[0] = clear_[1] = _mm256_setzero_si256();
  }

 private:
  // As the gather instruction takes them.
  const long long* words_;
  size_t k_;
  PyObject* list_;
  ssize_t row_ = 0;
  size_t done_ = 0;
  __m256i clear_[2];
};
#endif

}  // namespace

void BloomFilterFacade::hash(const void* data, size_t len, uint64_t* v1, uint64_t* v2) {
  uint32_t words[4];
  quillon::murmur::MurmurHash3_x86_128(data, static_cast<int>(len), seed, words);
  *v1 = words[0] | uint64_t{words[1]} << 32;
  *v2 = words[2] | uint64_t{words[3]} << 32;
}

std::vector<unsigned char> BloomFilterFacade::row_as_array(const py::array& mat, ssize_t row) {
  const ssize_t ndim = mat.ndim();
  if (ndim < 2) throw_invalid_axis(1, ndim);
  if (mat.shape(1) == 0) return {};
  if (row < 0 || row >= mat.shape(0)) throw_out_of_bounds(row, 0, mat.shape(0));
  const row_geometry geometry = rows_of(mat);
  std::vector<unsigned char> bytes(geometry.row_length());
  gathered_rows<0>{geometry, bytes.data(), 0}(row, 0);
  return bytes;
}

std::vector<unsigned char> BloomFilterFacade::debug_getrow(const py::array& mat, int row_index) const {
  return row_as_array(mat, row_index);
}

std::string BloomFilterFacade::debug_gethex(const py::array& mat, int row_index) const {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : row_as_array(mat, row_index)) {
    if (byte >= 16) text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 15]);
  }
  return text;
}

void word_storage::operator()(uint64_t* words) const {
  if (mapped_bytes) {
    munmap(words, mapped_bytes);
  } else {
    std::free(words);
  }
}

// Large filters are mapped directly, aligned to huge pages: the kernel hands
// out zeroed pages only when a bit on them is first touched (so a filter far
// larger than memory fails as MemoryError, not later), and huge pages, where
// the system grants them, spare the TLB misses of random access over
// gigabytes.
std::unique_ptr<uint64_t[], word_storage> BloomFilterFacade::allocate_words(size_t count) {
  if (count == 0) return nullptr;
  const size_t bytes = count * sizeof(uint64_t);
  if (bytes < huge_page) {
    auto* words = static_cast<uint64_t*>(std::calloc(count, sizeof(uint64_t)));
    if (!words) throw std::bad_alloc();
    return {words, word_storage{}};
  }
  const size_t length = (bytes + huge_page - 1) / huge_page * huge_page;
  void* mapping = mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  auto* const base = static_cast<char*>(mapping);
  // Keep the huge-page aligned part of the mapping; return the rest.
  const size_t head = (huge_page - reinterpret_cast<uintptr_t>(base) % huge_page) % huge_page;
  if (head) munmap(base, head);
  munmap(base + head + length, huge_page - head);
  advise_huge_pages(base + head, length);
  return {reinterpret_cast<uint64_t*>(base + head), word_storage{length}};
}

void BloomFilterFacade::configure(size_t _k, size_t _m) {
  if (_m > max_bits()) throw std::length_error("vector<bool>::_M_fill_insert");
  filter = allocate_words(words_for(_m));
  k = _k;
  m = _m;
}

// Digests rows first .. count - 1 one at a time, in batches, and hands each
// row's (h1, h2) to visit. In a filter larger than the caches the words of the
// next batch are prefetched while the current one is visited, so that the
// memory accesses of a whole batch are in flight at once rather than one
// after the other.
template <bool for_write, class Rows, class Visit>
void BloomFilterFacade::digest_rows(const Rows& rows, ssize_t first, ssize_t count, size_t row_length,
                                    const quillon::item_positions& positions, Visit&& visit) const {
  if (first >= count) return;
  struct batch {
    ssize_t first;
    ssize_t size;
    uint64_t h1[batch_rows];
    uint64_t h2[batch_rows];
  } batches[2];
  const bool prefetch = m / 8 >= prefetch_min_bytes && k <= prefetch_max_k;
  const uint64_t* const words = filter.get();
  const size_t hashes = k;
  const auto fill = [&](batch& next, ssize_t start) {
    next.first = start;
    next.size = std::min(batch_rows, count - start);
    const ssize_t ahead = start + prefetch_row_batches * batch_rows;
    if (ahead < count) rows.prefetch(ahead, std::min(ahead + batch_rows, count) - 1);
    for (ssize_t i = 0; i < next.size; ++i) hash(rows(start + i, i), row_length, &next.h1[i], &next.h2[i]);
    if (!prefetch) return;
    const quillon::item_positions local = positions;
    for (ssize_t i = 0; i < next.size; ++i) {
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
    const ssize_t following = now.first + now.size;
    if (following < count) fill(batches[current ^ 1], following);
    for (ssize_t i = 0; i < now.size; ++i) visit(now.first + i, now.h1[i], now.h2[i]);
    if (following >= count) return;
  }
}

// Where the CPU has AVX2 and the rows' layout lets eight be hashed at once,
// the whole batches of eight rows go through the lanes; the rows after them
// (and all rows elsewhere) are digested one at a time.
void BloomFilterFacade::insert(const py::array& mat, int /* axis: rows are always taken along axis 0 */) {
  const row_geometry geometry = rows_to_hash(mat);
  if (geometry.rows == 0 || k == 0) return;
  if (m == 0) throw_no_bits();
  uint64_t* const words = filter.get();
  with_rows(geometry, [&](const auto& rows) {
    ssize_t first = 0;
#if defined(__x86_64__) || defined(__i386__)
    if (cpu.avx2 && rows.slotted() && geometry.rows >= batch_rows) {
      set_step set{words};
      visit_eight_rows_at_a_time<true>(rows, geometry.rows / batch_rows, geometry.rows, geometry.row_length(), k, m,
                                       words, set);
      first = geometry.rows / batch_rows * batch_rows;
    }
#endif
    const quillon::item_positions positions(m);
    digest_rows<true>(rows, first, geometry.rows, geometry.row_length(), positions,
                      [&](ssize_t, uint64_t v, uint64_t h2) {
                        // Local copies: the stores below could otherwise alias them.
                        const quillon::item_positions local = positions;
                        const size_t hashes = k;
                        for (size_t j = 0; j < hashes; ++j) {
                          const uint64_t bit = local.next(v, h2);
                          words[static_cast<size_t>(bit >> 6)] |= uint64_t{1} << (bit & 63);
                        }
                      });
  });
}

py::list BloomFilterFacade::test(const py::array& mat, int /* axis: rows are always taken along axis 0 */) const {
  const row_geometry geometry = rows_to_hash(mat);
  const py::list results = new_list(geometry.rows);
  if (geometry.rows > 0 && k > 0 && m == 0) throw_no_bits();
  // A long result list is new memory, like a large filter: fewer faults on
  // huge pages.
  const size_t list_bytes = static_cast<size_t>(geometry.rows) * sizeof(PyObject*);
  if (list_bytes >= huge_page) advise_huge_pages(PySequence_Fast_ITEMS(results.ptr()), list_bytes);
  if (k == 0) {
    for (ssize_t row = 0; row < geometry.rows; ++row) PyList_SET_ITEM(results.ptr(), row, Py_NewRef(Py_True));
  } else if (geometry.rows > 0) {
    const uint64_t* const words = filter.get();
    PyObject* const list = results.ptr();
    with_rows(geometry, [&](const auto& rows) {
      ssize_t first = 0;
#if defined(__x86_64__) || defined(__i386__)
      if (cpu.avx2 && rows.slotted() && geometry.rows >= batch_rows) {
        test_step tester(words, k, list);
        visit_eight_rows_at_a_time<false>(rows, geometry.rows / batch_rows, geometry.rows, geometry.row_length(), k,
                                          m, words, tester);
        first = geometry.rows / batch_rows * batch_rows;
      }
#endif
      const quillon::item_positions positions(m);
      digest_rows<false>(rows, first, geometry.rows, geometry.row_length(), positions,
                         [&](ssize_t row, uint64_t v, uint64_t h2) {
                           const quillon::item_positions local = positions;
                           const size_t hashes = k;
                           bool member = true;
                           for (size_t j = 0; j < hashes && member; ++j) {
                             const uint64_t bit = local.next(v, h2);
                             member = (words[static_cast<size_t>(bit >> 6)] >> (bit & 63)) & 1;
                           }
                           PyList_SET_ITEM(list, row, Py_NewRef(member ? Py_True : Py_False));
                         });
    });
  }
  return results;
}

namespace {

long count_ones(const uint64_t* words, size_t count) {
  long ones = 0;
  for (size_t i = 0; i < count; ++i) ones += __builtin_popcountll(words[i]);
  return ones;
}

#if defined(__x86_64__) || defined(__i386__)
// The x86 baseline the module is built for has no popcnt instruction; the CPUs
// that have one (nearly all) count a word per cycle with it.
__attribute__((target("popcnt"))) long count_ones_popcnt(const uint64_t* words, size_t count) {
  long ones = 0;
  for (size_t i = 0; i < count; ++i) ones += __builtin_popcountll(words[i]);
  return ones;
}
#endif

}  // namespace

double BloomFilterFacade::foz() const {
#if defined(__x86_64__) || defined(__i386__)
  const long count = cpu.popcnt ? count_ones_popcnt(filter.get(), word_count()) : count_ones(filter.get(), word_count());
#else
  const long count = count_ones(filter.get(), word_count());
#endif
  return 1.0 - static_cast<double>(count) / static_cast<double>(m);
}

// Bit i of the filter is bit i % 8 of byte i / 8 of the image, so on a
// little-endian host the words are the image; a big-endian one moves bytes.
void BloomFilterFacade::tobuffer(char* out) const {
  const size_t size = image_size();
  if (size >= huge_page) advise_huge_pages(out, size);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(filter[i / 8] >> (8 * (i % 8)));
#else
  if (size) std::memcpy(out, filter.get(), size);
#endif
}

void BloomFilterFacade::frombuffer(const char* image, size_t length) {
  const size_t size = std::min(length, image_size());
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  for (size_t i = 0; i < size; ++i) {
    const unsigned shift = 8 * (i % 8);
    uint64_t& word = filter[i / 8];
    word = (word & ~(uint64_t{0xff} << shift)) | uint64_t{static_cast<unsigned char>(image[i])} << shift;
  }
#else
  if (size) std::memcpy(filter.get(), image, size);
#endif
  // The high bits of a partial last byte are not filter bits.
  if (m % 64) filter[word_count() - 1] &= (uint64_t{1} << (m % 64)) - 1;
}

void BloomFilterFacade::restore(size_t _k, size_t _m, const char* image, size_t length) {
  // On 32 bits the word that holds the largest bit vector's last bit also
  // holds the bits of larger m, which only configure refuses.
  if (_m <= max_bits() && filter && words_for(_m) == word_count()) {
    // The storage already has the size: overwrite it rather than fault in
    // fresh pages. Nothing can fail from here on.
    k = _k;
    m = _m;
    const size_t copied = std::min(length, image_size());
    std::memset(reinterpret_cast<char*>(filter.get()) + copied, 0, word_count() * sizeof(uint64_t) - copied);
    frombuffer(image, length);
    return;
  }
  BloomFilterFacade restored;
  restored.configure(_k, _m);
  restored.frombuffer(image, length);
  *this = std::move(restored);
}

void BloomFilterFacade::check_same_configuration(const BloomFilterFacade& other, const char* message) const {
  if (other.m != m || other.k != k) throw std::runtime_error(message);
}

void BloomFilterFacade::insert(const BloomFilterFacade& other) {
  check_same_configuration(other, "Configuration Mismatch in union");
  uint64_t* const words = filter.get();
  const uint64_t* const others = other.filter.get();
  for (size_t i = 0, n = word_count(); i < n; ++i) words[i] |= others[i];
}

void BloomFilterFacade::intersect(const BloomFilterFacade& other) {
  check_same_configuration(other, "Configuration Mismatch in intersect");
  uint64_t* const words = filter.get();
  const uint64_t* const others = other.filter.get();
  for (size_t i = 0, n = word_count(); i < n; ++i) words[i] &= others[i];
}
