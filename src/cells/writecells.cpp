// Writing the cell file and counting each user's codes.
//
// The records are grouped by object in one counting pass and one placing
// pass, keeping trace order within each object, instead of walking the whole
// list once per object id: the file is the same, the work linear.
#include <algorithm>

#include "cells/celltable.h"

namespace cellfreq {
namespace {

struct cellpair {
  std::int32_t x;
  std::int32_t y;
};

}  // namespace

bool writecells(const recordlist& list, std::int32_t nobjects, textout& out,
                std::vector<std::int64_t>& codecount) {
  const auto nobj = static_cast<std::size_t>(nobjects);
  std::vector<std::size_t> first(nobj + 1, 0);
  list.foreach([&](const node& n) {
    if (n.id >= 0 && n.id < nobjects) ++first[static_cast<std::size_t>(n.id) + 1];
  });
  for (std::size_t i = 0; i < nobj; ++i) first[i + 1] += first[i];

  std::vector<cellpair> cells(first[nobj]);
  {
    std::vector<std::size_t> next(first.begin(), first.end() - 1);
    list.foreach([&](const node& n) {
      if (n.id >= 0 && n.id < nobjects) cells[next[static_cast<std::size_t>(n.id)]++] = {n.x, n.y};
    });
  }

  codecount.assign(nobj / objects_per_user, 0);
  for (std::size_t i = 0; i < nobj; ++i) {
    for (std::size_t k = first[i]; k < first[i + 1]; ++k) {
      out.putpad3(cells[k].x);
      out.putpad3(cells[k].y);
      out.put(' ');
    }
    codecount[i / objects_per_user] += static_cast<std::int64_t>(first[i + 1] - first[i]);
    out.newline();
    if (out.failed()) return false;
  }
  return true;
}

std::int64_t max(const std::vector<std::int64_t>& counts, std::int32_t nusers) {
  const auto n = std::min(counts.size(), static_cast<std::size_t>(std::max(nusers, 0)));
  std::int64_t best = 0;
  for (std::size_t i = 0; i < n; ++i) best = std::max(best, counts[i]);
  return best;
}

}  // namespace cellfreq
