// Counting the visits per cell.
#include "cells/cellvisits.h"

namespace cellfreq {

void cellvisits::add(const recordlist& list, std::int32_t from, std::int32_t to) {
  list.foreach([&](const node& n) {
    if (n.id >= from && n.id < to) ++counts_[cell_key(n.x, n.y)];
  });
}

std::int64_t cellvisits::of(cell c) const {
  const auto it = counts_.find(cell_key(c.x, c.y));
  return it == counts_.end() ? 0 : it->second;
}

}  // namespace cellfreq
