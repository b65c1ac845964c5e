#include "bloom_filter.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "fastmod.h"
#include "murmur.h"

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

// Rows whose bytes lie one after the other are hashed where they are.
struct contiguous_rows {
  const char* base;
  ssize_t row_stride;

  const void* operator()(ssize_t row) const { return base + row * row_stride; }
};

// Other rows are gathered element by element into one reused buffer. Size is
// the item size, or 0 for one known only at run time.
template <size_t Size>
struct gathered_rows {
  row_geometry geometry;
  unsigned char* buffer;

  const void* operator()(ssize_t row) const {
    const size_t itemsize = Size ? Size : geometry.itemsize;
    const char* element = geometry.base + row * geometry.row_stride;
    unsigned char* out = buffer;
    for (ssize_t col = 0; col < geometry.cols; ++col) {
      std::memcpy(out, element, Size ? Size : itemsize);
      element += geometry.col_stride;
      out += itemsize;
    }
    return buffer;
  }
};

// Calls visit with the fastest row reader for the layout, so that the loop
// over rows is compiled once for each.
template <class Visit>
void with_rows(const row_geometry& geometry, Visit&& visit) {
  if (geometry.contiguous()) return visit(contiguous_rows{geometry.base, geometry.row_stride});
  std::vector<unsigned char> buffer(geometry.row_length());
  switch (geometry.itemsize) {
    case 1: return visit(gathered_rows<1>{geometry, buffer.data()});
    case 2: return visit(gathered_rows<2>{geometry, buffer.data()});
    case 4: return visit(gathered_rows<4>{geometry, buffer.data()});
    case 8: return visit(gathered_rows<8>{geometry, buffer.data()});
    case 16: return visit(gathered_rows<16>{geometry, buffer.data()});
    default: return visit(gathered_rows<0>{geometry, buffer.data()});
  }
}

// Rows are hashed in batches; for a filter larger than the caches the words
// of a whole batch are prefetched before they are touched, so that many
// memory accesses are in flight at once instead of one after the other.
constexpr ssize_t batch_rows = 16;
constexpr size_t prefetch_min_bytes = size_t{1} << 20;
constexpr size_t prefetch_max_k = 32;

[[noreturn]] void throw_no_bits() { throw py::value_error("filter has no bits: configure m > 0 first"); }

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
  gathered_rows<0>{geometry, bytes.data()}(row);
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

void BloomFilterFacade::configure(size_t _k, size_t _m) {
  if (_m > std::vector<bool>().max_size()) throw std::length_error("vector<bool>::_M_fill_insert");
  // calloc leaves the pages of a large filter untouched until a bit is set.
  std::unique_ptr<uint64_t[], free_words> bits;
  if (const size_t words = words_for(_m)) {
    bits.reset(static_cast<uint64_t*>(std::calloc(words, sizeof(uint64_t))));
    if (!bits) throw std::bad_alloc();
  }
  filter = std::move(bits);
  k = _k;
  m = _m;
}

void BloomFilterFacade::configure_signed(int _k, int _m) {
  if (_k < 0 || _m < 0) throw py::value_error("k and m must not be negative");
  configure(static_cast<size_t>(_k), static_cast<size_t>(_m));
}

template <class Rows>
void BloomFilterFacade::insert_rows(const Rows& rows, ssize_t count, size_t row_length) {
  const quillon::fastmod position(m);
  uint64_t* const words = filter.get();
  const bool prefetch = m / 8 >= prefetch_min_bytes && k <= prefetch_max_k;
  uint64_t h1[batch_rows];
  uint64_t h2[batch_rows];
  for (ssize_t first = 0; first < count; first += batch_rows) {
    const ssize_t n = std::min(batch_rows, count - first);
    for (ssize_t i = 0; i < n; ++i) hash(rows(first + i), row_length, &h1[i], &h2[i]);
    if (prefetch) {
      for (ssize_t i = 0; i < n; ++i) {
        uint64_t v = h1[i];
        for (size_t j = 0; j < k; ++j) {
          v += h2[i];
          __builtin_prefetch(words + static_cast<size_t>(position(v) >> 6), 1);
        }
      }
    }
    for (ssize_t i = 0; i < n; ++i) {
      uint64_t v = h1[i];
      for (size_t j = 0; j < k; ++j) {
        v += h2[i];
        const uint64_t bit = position(v);
        words[static_cast<size_t>(bit >> 6)] |= uint64_t{1} << (bit & 63);
      }
    }
  }
}

template <class Rows>
void BloomFilterFacade::test_rows(const Rows& rows, ssize_t count, size_t row_length, PyObject* results) const {
  const quillon::fastmod position(m);
  const uint64_t* const words = filter.get();
  const bool prefetch = m / 8 >= prefetch_min_bytes && k <= prefetch_max_k;
  uint64_t h1[batch_rows];
  uint64_t h2[batch_rows];
  for (ssize_t first = 0; first < count; first += batch_rows) {
    const ssize_t n = std::min(batch_rows, count - first);
    for (ssize_t i = 0; i < n; ++i) hash(rows(first + i), row_length, &h1[i], &h2[i]);
    if (prefetch) {
      for (ssize_t i = 0; i < n; ++i) {
        uint64_t v = h1[i];
        for (size_t j = 0; j < k; ++j) {
          v += h2[i];
          __builtin_prefetch(words + static_cast<size_t>(position(v) >> 6), 0);
        }
      }
    }
    for (ssize_t i = 0; i < n; ++i) {
      uint64_t v = h1[i];
      bool member = true;
      for (size_t j = 0; j < k && member; ++j) {
        v += h2[i];
        const uint64_t bit = position(v);
        member = (words[static_cast<size_t>(bit >> 6)] >> (bit & 63)) & 1;
      }
      PyList_SET_ITEM(results, first + i, Py_NewRef(member ? Py_True : Py_False));
    }
  }
}

void BloomFilterFacade::insert(const py::array& mat, int /* axis: rows are always taken along axis 0 */) {
  const row_geometry geometry = rows_to_hash(mat);
  if (geometry.rows == 0 || k == 0) return;
  if (m == 0) throw_no_bits();
  with_rows(geometry, [&](const auto& rows) { insert_rows(rows, geometry.rows, geometry.row_length()); });
}

py::list BloomFilterFacade::test(const py::array& mat, int /* axis: rows are always taken along axis 0 */) const {
  const row_geometry geometry = rows_to_hash(mat);
  if (geometry.rows > 0 && k > 0 && m == 0) throw_no_bits();
  py::list results(static_cast<size_t>(geometry.rows));
  if (k == 0) {
    for (ssize_t row = 0; row < geometry.rows; ++row) PyList_SET_ITEM(results.ptr(), row, Py_NewRef(Py_True));
  } else if (geometry.rows > 0) {
    with_rows(geometry,
              [&](const auto& rows) { test_rows(rows, geometry.rows, geometry.row_length(), results.ptr()); });
  }
  return results;
}

double BloomFilterFacade::foz() const {
  long count = 0;
  const uint64_t* const words = filter.get();
  for (size_t i = 0, n = word_count(); i < n; ++i) count += __builtin_popcountll(words[i]);
  return 1.0 - static_cast<double>(count) / static_cast<double>(m);
}

// Bit i of the filter is bit i % 8 of byte i / 8 of the image, so on a
// little-endian host the words are the image; a big-endian one moves bytes.
void BloomFilterFacade::tobuffer(char* out) const {
  const size_t size = image_size();
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

void BloomFilterFacade::restore(int _k, int _m, const char* image, size_t length) {
  BloomFilterFacade restored;
  restored.configure_signed(_k, _m);
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
