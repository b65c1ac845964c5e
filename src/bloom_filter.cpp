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
#include "kernels/kernels.h"
#include "rows.h"

namespace {

using quillon::row_geometry;

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
  if (quillon::row_length(geometry) == 0) return {geometry.base, geometry.rows, 0, 0, 0, geometry.itemsize};
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

#if defined(__x86_64__) || defined(__i386__)
const quillon::cpu_features cpu = quillon::probe_cpu();
#endif

// The fastest row kernels that this CPU and its OS allow. A build that
// measures one set against the others (make bench) names it instead.
#define TOLVANE_KERNEL_SET_OF(name) quillon::name##_kernels
#define TOLVANE_KERNEL_SET(name) TOLVANE_KERNEL_SET_OF(name)
const quillon::row_kernels& kernels = [] {
#if defined(TOLVANE_KERNELS)
  return std::cref(TOLVANE_KERNEL_SET(TOLVANE_KERNELS));
#else
#if defined(__x86_64__) || defined(__i386__)
  if (cpu.avx512) return std::cref(quillon::avx512_kernels);
  if (cpu.avx2) return std::cref(quillon::avx2_kernels);
#endif
  return std::cref(quillon::one_at_a_time_kernels);
#endif
}();

constexpr size_t huge_page = size_t{1} << 21;

// Gives advice on the whole units of `unit` bytes (a power of two, and a
// multiple of the page size) that lie within [start, start + size).
void advise_inside(void* start, size_t size, uintptr_t unit, int advice) {
  const auto first = (reinterpret_cast<uintptr_t>(start) + unit - 1) / unit * unit;
  const auto end = (reinterpret_cast<uintptr_t>(start) + size) / unit * unit;
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, advice);
}

// Large fresh buffers are filled faster on huge pages: one fault per 2 MiB.
void advise_huge_pages(void* start, size_t size) {
#ifdef MADV_HUGEPAGE
  advise_inside(start, size, huge_page, MADV_HUGEPAGE);
#else
  (void)start;
  (void)size;
#endif
}

// Python code must not run between reading an array's geometry and reading
// its rows: a finalizer could free the array's memory (resize(refcheck=False))
// or reconfigure the filter. Allocating a tracked object can start a
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

// A new mask is often fresh memory, whose pages the kernels would fault in one
// at a time as they write it, a byte per row. A large one has them brought in
// first, in one call, where the kernel knows how (Linux 5.14 and later; older
// ones refuse the advice, and nothing changes): test_mask of 10^6 rows 0.15
// ns per row faster on AMD Zen 4 under KVM.
void populate(void* start, size_t size) {
#if defined(__linux__)
  constexpr int populate_write = 23;  // MADV_POPULATE_WRITE, which older headers lack
  advise_inside(start, size, uintptr_t{1} << 16, populate_write);  // 64 KiB: a multiple of every page size
#else
  (void)start;
  (void)size;
#endif
}

py::array_t<bool> new_mask(ssize_t size) {
  const collector_paused paused;
  py::array_t<bool> mask(size);
  constexpr ssize_t populated_from = ssize_t{1} << 18;
  if (size >= populated_from) populate(mask.mutable_data(), static_cast<size_t>(size));
  return mask;
}

// One answer per row, before they go into a list or a mask.
std::unique_ptr<bool[]> answers(ssize_t rows) {
  return std::unique_ptr<bool[]>(new bool[static_cast<size_t>(std::max<ssize_t>(rows, 0))]);
}

// Whether the elements of two arrays may share bytes: where the span of
// either is unknown (offsets beyond ssize_t), they may. Arrays of no bytes
// take any strides and share none.
bool overlap(const py::array& a, const py::array& b) {
  struct span {
    bool empty = false;
    bool known = true;
    uintptr_t first = 0;
    uintptr_t end = 0;
  };
  const auto span_of = [](const py::array& x) {
    span s;
    if (x.size() == 0 || x.itemsize() == 0) {
      s.empty = true;
      return s;
    }
    ssize_t low = 0, high = x.itemsize();
    for (ssize_t axis = 0; axis < x.ndim(); ++axis) {
      ssize_t offset;
      if (__builtin_mul_overflow(x.shape(axis) - 1, x.strides(axis), &offset) ||
          __builtin_add_overflow(offset < 0 ? low : high, offset, offset < 0 ? &low : &high)) {
        s.known = false;
        return s;
      }
    }
    const auto base = reinterpret_cast<uintptr_t>(x.data());
    s.first = base + static_cast<uintptr_t>(low);
    s.end = base + static_cast<uintptr_t>(high);
    return s;
  };
  const span one = span_of(a), other = span_of(b);
  if (one.empty || other.empty) return false;
  if (!one.known || !other.known) return true;
  return one.first < other.end && other.first < one.end;
}

[[noreturn]] void throw_no_bits() { throw py::value_error("filter has no bits: configure m > 0 first"); }

}  // namespace

std::vector<unsigned char> BloomFilterFacade::row_as_array(const py::array& mat, ssize_t row) {
  const ssize_t ndim = mat.ndim();
  if (ndim < 2) throw_invalid_axis(1, ndim);
  if (mat.shape(1) == 0) return {};
  if (row < 0 || row >= mat.shape(0)) throw_out_of_bounds(row, 0, mat.shape(0));
  const row_geometry geometry = rows_of(mat);
  std::vector<unsigned char> bytes(quillon::row_length(geometry));
  quillon::gathered_rows<0>{geometry, bytes.data(), 0}(row, 0);
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


quillon::filter_words BloomFilterFacade::words() const {
#if defined(__x86_64__) || defined(__i386__)
  return {filter.get(), k, m, cpu.intel};
#else
  return {filter.get(), k, m};
#endif
}

const char* BloomFilterFacade::kernel_name() { return kernels.name; }

void BloomFilterFacade::insert(const py::array& mat, int /* axis: rows are always taken along axis 0 */) {
  const row_geometry geometry = rows_to_hash(mat);
  if (geometry.rows == 0 || k == 0) return;
  if (m == 0) throw_no_bits();
  kernels.insert(words(), geometry);
}

py::list BloomFilterFacade::test(const py::array& mat, int /* axis: rows are always taken along axis 0 */) const {
  const row_geometry geometry = rows_to_hash(mat);
  if (geometry.rows > 0 && k > 0 && m == 0) throw_no_bits();
  const auto rows = static_cast<size_t>(geometry.rows);
  const std::unique_ptr<bool[]> member = answers(geometry.rows);
  if (k == 0) {
    std::fill_n(member.get(), rows, true);
  } else if (rows > 0) {
    kernels.test(words(), geometry, member.get());
  }
  // Every row has been read: Python code that allocating the list runs can no
  // longer change what it answers.
  py::list results(rows);
  // A long result list is new memory, like a large filter: fewer faults on
  // huge pages.
  const size_t list_bytes = rows * sizeof(PyObject*);
  if (list_bytes >= huge_page) advise_huge_pages(PySequence_Fast_ITEMS(results.ptr()), list_bytes);
  PyObject* const list = results.ptr();
  for (size_t row = 0; row < rows; ++row) {
    PyList_SET_ITEM(list, static_cast<ssize_t>(row), Py_NewRef(member[row] ? Py_True : Py_False));
  }
  return results;
}

py::array BloomFilterFacade::test_mask(const py::array& mat, const std::optional<py::array>& out) const {
  const row_geometry geometry = rows_to_hash(mat);
  if (out) check_mask(*out, geometry.rows);
  if (geometry.rows > 0 && k > 0 && m == 0) throw_no_bits();
  py::array mask = out ? *out : new_mask(geometry.rows);
  const auto rows = static_cast<size_t>(geometry.rows);
  // Results go straight into a mask that is one run of bytes and shares none
  // with the rows; any other is filled once every row has been read.
  const bool direct = mask.strides(0) == 1 && !overlap(mask, mat);
  const std::unique_ptr<bool[]> buffer = direct ? nullptr : answers(geometry.rows);
  bool* const member = direct ? static_cast<bool*>(mask.mutable_data()) : buffer.get();
  if (k == 0) {
    std::fill_n(member, rows, true);
  } else if (rows > 0) {
    kernels.test(words(), geometry, member);
  }
  if (!direct) {
    char* at = static_cast<char*>(mask.mutable_data());
    for (size_t row = 0; row < rows; ++row, at += mask.strides(0)) *reinterpret_cast<bool*>(at) = member[row];
  }
  return mask;
}

py::array BloomFilterFacade::test_and_insert(const py::array& mat) {
  const row_geometry geometry = rows_to_hash(mat);
  if (geometry.rows > 0 && k > 0 && m == 0) throw_no_bits();
  py::array_t<bool> seen = new_mask(geometry.rows);
  bool* const answers = seen.mutable_data();
  const auto rows = static_cast<size_t>(geometry.rows);
  if (k == 0) {
    std::fill_n(answers, rows, true);
  } else if (rows > 0) {
    kernels.test_and_insert(words(), geometry, answers);
  }
  return std::move(seen);
}

void BloomFilterFacade::check_mask(const py::array& out, ssize_t rows) {
  if (out.dtype().num() != py::detail::npy_api::NPY_BOOL_) {
    throw py::type_error("out must be an array of bool, not " + std::string(py::str(out.dtype())));
  }
  if (out.ndim() != 1 || out.shape(0) != rows) {
    throw py::value_error("out must have the shape (" + std::to_string(rows) + ",), one item per row, not " +
                          std::string(py::str(py::tuple(out.attr("shape")))));
  }
  if (!out.writeable()) throw py::value_error("out is read-only");
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
