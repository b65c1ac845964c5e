// positions.h comes first: it must compile on its own.
#include "positions.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "check.h"
#include "position_cases.h"

using quillon::item_positions;
using namespace cases;

namespace {

long check_items(const std::vector<uint64_t>& ms, const std::vector<digest>& items) {
  long checks = 0;
  for (uint64_t m : ms) {
    const item_positions positions(m);
    for (const digest& item : items) {
      uint64_t v = item.h1;
      for (int j = 1; j <= most_steps; ++j) {
        CHECK(positions.next(v, item.h2) == position(item.h1, item.h2, j, m));
        ++checks;
      }
    }
  }
  return checks;
}


}  // namespace

int main() {
  uint64_t state = 17;
  const std::vector<uint64_t> ms = divisors(state);
  const std::vector<digest> items = digests(state);
  const long checks = check_items(ms, items);
  if (failures == 0) std::printf("positions: %ld positions one item at a time match the definition\n", checks);
  return failures != 0;
}
