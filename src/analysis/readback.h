// Reading a range of users back from their cell file and reporting them:
// the one sequence that a whole run and each merge of a run in pieces
// follow, so that both give the same report and the same frequent cells.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "analysis/formats.h"
#include "analysis/webmap.h"
#include "cells/celltable.h"
#include "cells/grouping.h"
#include "io/result.h"
#include "io/textin.h"

namespace cellfreq {

// What each range of users read back adds to besides the report: the cells
// frequent for some user, the map's users (each when given); and the flag
// that asks the run to stop (when given).
struct readback_extras {
  std::int32_t threshold = 0;
  std::vector<cell>* frequent = nullptr;
  mapusers* mapped = nullptr;
  const std::atomic<bool>* stop = nullptr;
};

// The users first … last-1 of `cells`, read from `in` (standing where
// their lines begin) as many at a time as the table's share of `budget`
// holds; every user gets as many of its codes as the widest of them.
class user_readback {
public:
  user_readback(textin& in, const grouped& cells, std::int32_t first, std::int32_t last, std::int64_t budget,
                const readback_extras& extras);

  // Whether their rows fit the table at once. Then read_at_once() reads
  // them all before any report is written, so that a cell file that fails
  // to read back costs no output, and the caller may close it at once.
  bool at_once() const { return ranges_.size() <= 1; }
  // Reads the rows of a table that fits at once. A failure is loadcells()'s,
  // which the caller names: the input's error, or (error number 0) that the
  // file no longer holds the rows.
  result<void> read_at_once();
  // Hands each range to give() with its rows in table(), reading it first
  // unless it was read at once, while more() holds, and adds it to the
  // extras. True when it went as far as more() let it, false when the run
  // was asked to stop before a range; a failure, as read_at_once()'s, when
  // a range could not be read.
  result<bool> each_range(const std::function<bool()>& more,
                          const std::function<void(std::int32_t, std::int32_t)>& give);
  // Writes the users' report through `writer` onto `out`: finished, or
  // abandoned when a range could not be read or the run was stopped. The
  // failure of a range that could not be read is returned, for the caller
  // to name; a stop is no failure of the reading, and `out` tells it.
  result<void> report(reportwriter& writer, textout& out);

  const celltable& table() const { return table_; }

private:
  result<void> load(std::int32_t from, std::int32_t to);
  bool stopped() const { return extras_.stop != nullptr && extras_.stop->load(std::memory_order_relaxed); }

  textin& in_;
  const grouped& cells_;
  readback_extras extras_;
  std::int64_t widest_ = 0;
  std::vector<std::pair<std::int32_t, std::int32_t>> ranges_;
  celltable table_;
};

}  // namespace cellfreq
