// The kernels for CPUs with AVX2: whole batches of eight rows in lanes, where
// the rows' layout lets eight be read at once, and the rest one at a time.
#include "kernels/lanes.h"

namespace quillon {
namespace {

// Runs in_lanes on the whole batches of eight rows where the rows allow, then
// one_at_a_time on the rows after them (or on all rows).
template <class Rows, class InLanes, class OneAtATime>
void eight_then_one(const row_geometry& geometry, const Rows& rows, InLanes&& in_lanes, OneAtATime&& one_at_a_time) {
  std::ptrdiff_t first = 0;
  if (rows.slotted() && geometry.rows >= batch_rows) {
    in_lanes(geometry.rows / batch_rows);
    first = geometry.rows / batch_rows * batch_rows;
  }
  one_at_a_time(first);
}

void insert(const filter_words& filter, const row_geometry& geometry) {
  const size_t length = row_length(geometry);
  with_rows(geometry, [&](const auto& rows) {
    eight_then_one(
        geometry, rows,
        [&](std::ptrdiff_t batches) {
          set_step set{filter.words};
          visit_eight_rows_at_a_time<true>(rows, batches, geometry.rows, length, filter.k, filter.m, filter.words, set);
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
          test_step tester(filter.words, filter.k, member);
          visit_eight_rows_at_a_time<false>(rows, batches, geometry.rows, length, filter.k, filter.m, filter.words,
                                            tester);
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
          test_and_set_step tester(filter.words, filter.k, seen);
          visit_eight_rows_at_a_time<true>(rows, batches, geometry.rows, length, filter.k, filter.m, filter.words,
                                           tester);
        },
        [&](std::ptrdiff_t first) {
          test_and_insert_one_at_a_time(filter, rows, first, geometry.rows, length, seen);
        });
  });
}

}  // namespace

const row_kernels avx2_kernels{"avx2", insert, test, test_and_insert};

}  // namespace quillon
