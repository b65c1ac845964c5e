// The kernels for CPUs with AVX2: whole batches of eight rows in lanes, where
// the rows' layout lets eight be read at once, and the rest one at a time.
#include "kernels/lanes.h"

namespace quillon {
namespace {

void insert(const filter_words& filter, const row_geometry& geometry) {
  const size_t length = row_length(geometry);
  with_rows(geometry, [&](const auto& rows) {
    eight_then_one(
        geometry, rows,
        [&](std::ptrdiff_t batches) {
          visit_eight_rows_at_a_time<true>(rows, batches, geometry.rows, length, filter.k, filter.m, filter.words,
                                           set_step{filter.words});
        },
        [&](std::ptrdiff_t first) { insert_one_at_a_time(filter, rows, first, geometry.rows, length); });
  });
}

void test(const filter_words& filter, const row_geometry& geometry, bool* member) {
  const size_t length = row_length(geometry);
  with_rows(geometry, [&](const auto& rows) {
    eight_then_one(
        geometry, rows,
        [&](std::ptrdiff_t batches) {
          visit_eight_rows_at_a_time<false>(rows, batches, geometry.rows, length, filter.k, filter.m, filter.words,
                                            test_step(filter.words, filter.k, member));
        },
        [&](std::ptrdiff_t first) { test_one_at_a_time(filter, rows, first, geometry.rows, length, member); });
  });
}

void test_and_insert(const filter_words& filter, const row_geometry& geometry, bool* seen) {
  const size_t length = row_length(geometry);
  with_rows(geometry, [&](const auto& rows) {
    if (filter.k > test_and_set_step::most_steps) {
      return test_and_insert_one_at_a_time(filter, rows, 0, geometry.rows, length, seen);
    }
    eight_then_one(
        geometry, rows,
        [&](std::ptrdiff_t batches) {
          visit_eight_rows_at_a_time<true, test_and_set_step::ring_capacity>(
              rows, batches, geometry.rows, length, filter.k, filter.m, filter.words,
              test_and_set_step(filter.words, filter.k, seen));
        },
        [&](std::ptrdiff_t first) {
          test_and_insert_one_at_a_time(filter, rows, first, geometry.rows, length, seen);
        });
  });
}

}  // namespace

const row_kernels avx2_kernels{"avx2", insert, test, test_and_insert};

}  // namespace quillon
