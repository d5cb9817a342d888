// Reading the cell file back into the cell table.
#include <algorithm>

#include "cells/celltable.h"
#include "trace/scan.h"

namespace cellfreq {

bool loadcells(textin& in, const std::vector<std::int64_t>& codecount, std::int64_t maxcount,
               celltable& table) {
  table.codes_.clear();
  table.start_.assign(1, 0);
  table.width_ = std::max(min_row_width, maxcount);
  std::int64_t total = 0;
  for (const std::int64_t c : codecount) total += std::clamp<std::int64_t>(c, 0, maxcount);
  table.codes_.reserve(static_cast<std::size_t>(total));
  for (const std::int64_t c : codecount) {
    const std::int64_t take = std::clamp<std::int64_t>(c, 0, maxcount);
    for (std::int64_t j = 0; j < take; ++j) {
      std::int32_t code = 0;
      scanint(in, code);
      table.codes_.push_back(code);
    }
    table.start_.push_back(static_cast<std::int64_t>(table.codes_.size()));
  }
  return in.error() == 0;
}

}  // namespace cellfreq
