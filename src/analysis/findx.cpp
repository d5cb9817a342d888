// Counting the frequency of every visit's cell and printing the report.
//
// The count is one hash-table pass over the user's codes instead of the
// comparison of every pair of visits, which gives the same counts in linear
// time, so users with hundreds of thousands of visits stay cheap.
#include <algorithm>
#include <bit>

#include "analysis/report.h"

namespace cellfreq {

std::size_t freqcounter::slot(std::int32_t code) const {
  // Multiplicative hashing spreads the structured cell codes (x * 1000 + y).
  auto h = static_cast<std::uint32_t>(code) * 0x9E3779B1u;
  std::size_t i = (h ^ (h >> 15)) & mask_;
  while (slots_[i].count != 0 && slots_[i].code != code) i = (i + 1) & mask_;
  return i;
}

void freqcounter::count(std::span<const std::int32_t> codes) {
  const std::size_t want = std::bit_ceil(codes.size() * 2 + 16);
  if (slots_.size() < want || slots_.size() > 8 * want) slots_.assign(want, entry{0, 0});
  else std::fill(slots_.begin(), slots_.end(), entry{0, 0});
  mask_ = slots_.size() - 1;
  for (const std::int32_t c : codes) {
    entry& e = slots_[slot(c)];
    e.code = c;
    ++e.count;
  }
}

std::int64_t freqcounter::freq(std::int32_t code) const { return slots_[slot(code)].count; }

void results1(const celltable& table, std::int32_t user, std::int64_t index, textout& out) {
  const std::int32_t code = table.at(user, index);
  out.put("User ");
  out.putint(user);
  out.put(" frequent cell is: C[");
  out.putint(code / code_multiplier);
  out.put("][");
  out.putint(code % code_multiplier);
  out.put("]  ");
  out.putint(user);
  out.put(',');
  out.putint(index);
  out.newline();
}

void findx(const celltable& table, std::int32_t user, std::int64_t n, std::int32_t threshold,
           freqcounter& counter, textout& out) {
  frequentvisits(table, user, n, threshold, counter,
                 [&](std::int64_t index, std::int32_t, std::int64_t) { results1(table, user, index, out); });
  out.put(' ');
  out.newline();
}

}  // namespace cellfreq
