// The frequent-cell report: for each analysed user, every visit whose cell
// occurs more than `threshold` times among the user's visits.
//
// Per user the report holds one line per frequent visit, in the order of
// the visits, "User %d frequent cell is: C[%d][%d]  %d,%d", and then a line
// holding one space. Nothing is sorted or merged: a cell that occurs m times
// gives m lines.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "cells/celltable.h"
#include "io/textout.h"

namespace cellfreq {

// Counts how often each code occurs in a sequence of codes, in time linear
// in its length; reused from user to user to keep its storage. A user's
// codes usually span a small range (the cells of one area), so they are
// counted in a plain array indexed by code - min; codes spread wider go to
// an open-addressing hash table.
class freqcounter {
public:
  // Counts the codes of `codes`, replacing any earlier count.
  void count(std::span<const std::int32_t> codes);
  // The number of occurrences of `code` in the last counted sequence.
  std::int64_t freq(std::int32_t code) const {
    if (!dense_) return slots_[slot(code)].count;
    const auto i = static_cast<std::uint64_t>(static_cast<std::int64_t>(code) - min_);
    return i < counts_.size() ? counts_[static_cast<std::size_t>(i)] : 0;
  }

private:
  std::size_t slot(std::int32_t code) const;
  struct entry {
    std::int32_t code;
    std::int64_t count;  // 0 marks an empty slot
  };
  bool dense_ = false;
  std::int64_t min_ = 0;
  std::vector<std::uint32_t> counts_;
  std::vector<entry> slots_;
  std::size_t mask_ = 0;
};

// Calls visit(index, code, count) for every one of the first `n` entries of
// row `user` whose code occurs more than `threshold` times among them, in
// the order of the entries; `count` is that number of occurrences. Every
// report format is built on this one count, so they all agree on what is
// frequent.
template <class F>
void frequentvisits(const celltable& table, std::int32_t user, std::int64_t n, std::int32_t threshold,
                    freqcounter& counter, F&& visit) {
  // The row holds every one of the user's codes: it was filled with
  // min(n, maxcount) of them and maxcount covers every analysed user.
  const auto row = table.row(user);
  const auto codes = row.first(std::min(row.size(), static_cast<std::size_t>(std::max<std::int64_t>(n, 0))));
  counter.count(codes);
  for (std::size_t q = 0; q < codes.size(); ++q) {
    const std::int64_t count = counter.freq(codes[q]);
    if (count > threshold) visit(static_cast<std::int64_t>(q), codes[q], count);
  }
}

// Prints user `user`'s block: the report lines of the first `n` entries of
// its row whose code occurs more than `threshold` times among them, then the
// single-space line, each line through results1(). `n` must not exceed the
// row's width.
void findx(const celltable& table, std::int32_t user, std::int64_t n, std::int32_t threshold,
           freqcounter& counter, textout& out);

}  // namespace cellfreq
