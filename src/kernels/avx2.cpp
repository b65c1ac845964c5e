// The kernels for CPUs with AVX2: whole batches of eight rows in lanes, where
// the rows' layout lets eight be read at once, and the rest one at a time.
#include <type_traits>

#include "kernels/lanes.h"

namespace quillon {
namespace {

// Rows of this many bytes and more are tested with gathers, shorter ones with
// eight loads a step (clear_rows).
constexpr size_t gather_row_min = 32;

// Calls visit with std::true_type where rows are long enough to gather.
template <class Visit>
void with_gather_for(size_t row_length, Visit&& visit) {
  if (row_length >= gather_row_min) return visit(std::true_type{});
  visit(std::false_type{});
}

void insert(const filter_words& filter, const row_geometry& geometry) {
  with_rows(geometry, [&](const auto& rows) {
    eight_then_one<true>(filter, geometry, rows, set_step{filter.words}, [&](std::ptrdiff_t first) {
      insert_one_at_a_time(filter, rows, first, geometry.rows, row_length(geometry));
    });
  });
}

void test(const filter_words& filter, const row_geometry& geometry, bool* member) {
  with_gather_for(row_length(geometry),
                  [&](auto gather) { test_in_lanes<test_step<decltype(gather)::value>>(filter, geometry, member); });
}

void test_and_insert(const filter_words& filter, const row_geometry& geometry, bool* seen) {
  with_gather_for(row_length(geometry), [&](auto gather) {
    test_and_insert_in_lanes<test_and_set_step<decltype(gather)::value>>(filter, geometry, seen);
  });
}

}  // namespace

const row_kernels avx2_kernels{"avx2", insert, test, test_and_insert};

}  // namespace quillon
