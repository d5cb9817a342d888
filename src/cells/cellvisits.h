// cellvisits: how often the records visit each distinct cell, counted as
// the cell file is grouped, for the heat maps and the web map above.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "cells/celltable.h"
#include "trace/recordlist.h"

namespace cellfreq {

// The key of cell (x, y) in cellvisits::counts(): x in the high half, y in
// the low one, each as 32 bits; and the values back from a key.
inline std::uint64_t cell_key(std::int64_t x, std::int64_t y) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(x)) << 32) | static_cast<std::uint32_t>(y);
}
inline std::int64_t key_x(std::uint64_t k) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(k >> 32)); }
inline std::int64_t key_y(std::uint64_t k) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(k)); }

// The visits per distinct cell, counted over the records of ranges of
// objects: memory grows with the cells a trace touches, not its length.
class cellvisits {
public:
  // Counts the records of objects from … to-1.
  void add(const recordlist& list, std::int32_t from, std::int32_t to);
  // Adds `visits` to the cell of `key` (as counts() holds it).
  void addcount(std::uint64_t key, std::int64_t visits) { counts_[key] += visits; }
  // Visits by cell, the key holding x in its high and y in its low half.
  const std::unordered_map<std::uint64_t, std::int64_t>& counts() const { return counts_; }
  // The visits of cell `c`; 0 when it was not visited.
  std::int64_t of(cell c) const;

private:
  std::unordered_map<std::uint64_t, std::int64_t> counts_;
};

}  // namespace cellfreq
