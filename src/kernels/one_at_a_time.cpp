// The kernels for any CPU: every row one at a time.
#include "kernels/one_at_a_time.h"

namespace quillon {
namespace {

void insert(const filter_words& filter, const row_geometry& geometry) {
  with_rows(geometry, [&](const auto& rows) {
    insert_one_at_a_time(filter, rows, 0, geometry.rows, row_length(geometry));
  });
}

void test(const filter_words& filter, const row_geometry& geometry, bool* member) {
  with_rows(geometry, [&](const auto& rows) {
    test_one_at_a_time(filter, rows, 0, geometry.rows, row_length(geometry), member);
  });
}

void test_and_insert(const filter_words& filter, const row_geometry& geometry, bool* seen) {
  with_rows(geometry, [&](const auto& rows) {
    test_and_insert_one_at_a_time(filter, rows, 0, geometry.rows, row_length(geometry), seen);
  });
}

}  // namespace

const row_kernels one_at_a_time_kernels{"one at a time", insert, test, test_and_insert};

}  // namespace quillon
