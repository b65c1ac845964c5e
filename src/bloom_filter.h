// The filter core: one Bloom filter over the rows of NumPy arrays.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace py = pybind11;

namespace quillon {
class item_positions;
}

// Frees the bits of a filter: small filters come from calloc, large ones are
// mapped (mapped_bytes long).
struct word_storage {
  size_t mapped_bytes = 0;
  void operator()(uint64_t* words) const;
};

class BloomFilterFacade {
 public:
  // Every row of a filter is digested with this seed, so a filter means the
  // same on every machine.
  static constexpr uint32_t seed = 0xFFFEA282;

  // The number of bit positions per row and the number of bits.
  size_t k = 0;
  size_t m = 0;
  // Bit i is bit i % 64 of word i / 64. Bits at positions >= m are always 0,
  // which lets every whole-filter operation work a word at a time.
  std::unique_ptr<uint64_t[], word_storage> filter;

  std::vector<unsigned char> debug_getrow(const py::array& mat, int row_index) const;
  std::string debug_gethex(const py::array& mat, int row_index) const;

  // Replaces the filter by m clear bits. On failure (a length error above the
  // largest bit vector, or bad_alloc) nothing has changed.
  void configure(size_t _k, size_t _m);

  void insert(const py::array& mat, int axis);
  py::list test(const py::array& mat, int axis) const;
  double foz() const;

  // The packed image: bit i at bit i % 8 of byte i / 8, ceil(m / 8) bytes.
  size_t image_size() const { return m / 8 + (m % 8 != 0); }
  // Writes image_size() bytes at out.
  void tobuffer(char* out) const;
  // Sets bits 0 .. min(m, 8 * length) - 1 from an image; later bits keep
  // their values and image bytes beyond m are ignored.
  void frombuffer(const char* image, size_t length);
  // Replaces k, m and every bit by those of an image; on failure nothing has
  // changed.
  void restore(size_t _k, size_t _m, const char* image, size_t length);

  // Union: ORs the bits of a filter of the same k and m into this one.
  void insert(const BloomFilterFacade& other);
  void intersect(const BloomFilterFacade& other);

 private:
  // The most bits a filter holds: libstdc++'s std::vector<bool>::max_size(),
  // the limit filters have always had, whatever library builds the module
  // (libc++'s differs): the largest ptrdiff_t less one word of bits.
  static constexpr size_t max_bits() {
    return static_cast<size_t>(std::numeric_limits<std::ptrdiff_t>::max()) -
           (std::numeric_limits<unsigned long>::digits - 1);
  }
  static size_t words_for(size_t bits) { return bits / 64 + (bits % 64 != 0); }
  static std::unique_ptr<uint64_t[], word_storage> allocate_words(size_t count);
  size_t word_count() const { return words_for(m); }
  void check_same_configuration(const BloomFilterFacade& other, const char* message) const;

  static void hash(const void* data, size_t len, uint64_t* v1, uint64_t* v2);
  static std::vector<unsigned char> row_as_array(const py::array& mat, ssize_t row);

  template <bool for_write, class Rows, class Visit>
  void digest_rows(const Rows& rows, ssize_t first, ssize_t count, size_t row_length,
                   const quillon::item_positions& positions, Visit&& visit) const;
};
