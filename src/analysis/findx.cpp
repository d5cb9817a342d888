// Counting the frequency of every visit's cell and printing the report.
//
// The count is one hash-table pass over the user's codes instead of the
// comparison of every pair of visits, which gives the same counts in linear
// time, so users with hundreds of thousands of visits stay cheap.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

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
  std::int32_t lo = INT32_MAX, hi = INT32_MIN;
  for (const std::int32_t c : codes) {
    lo = std::min(lo, c);
    hi = std::max(hi, c);
  }
  // The array costs its range to clear; it pays when that is near the
  // number of codes, and it is kept below 64 MiB.
  const std::int64_t range = codes.empty() ? 0 : std::int64_t{hi} - lo + 1;
  dense_ = !codes.empty() && codes.size() < UINT32_MAX &&
           range <= std::max<std::int64_t>(4 * static_cast<std::int64_t>(codes.size()), 1 << 16) && range <= (1 << 24);
  if (dense_) {
    min_ = lo;
    counts_.assign(static_cast<std::size_t>(range), 0);
    for (const std::int32_t c : codes) ++counts_[static_cast<std::size_t>(std::int64_t{c} - lo)];
    return;
  }
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

namespace {

// The parts of a user's report lines that do not change from line to line,
// spelled out once per user, so that a line is a few fixed-size copies and
// three numbers.
struct userpieces {
  char head[48];  // "User U frequent cell is: C["
  std::size_t headlen;
  char mid[32];   // "]  U,"
  std::size_t midlen;
  char eol[8];
  std::size_t eollen;

  userpieces(std::int32_t user, std::string_view lineend) {
    const std::string_view pre = "User ", post = " frequent cell is: C[";
    char* p = head;
    std::memcpy(p, pre.data(), pre.size());
    p = formatint(p + pre.size(), user);
    std::memcpy(p, post.data(), post.size());
    headlen = static_cast<std::size_t>(p + post.size() - head);
    const std::string_view close = "]  ";
    p = mid;
    std::memcpy(p, close.data(), close.size());
    p = formatint(p + close.size(), user);
    *p++ = ',';
    midlen = static_cast<std::size_t>(p - mid);
    eollen = std::min(lineend.size(), sizeof eol);
    std::memcpy(eol, lineend.data(), eollen);
  }
};

// The longest line: the pieces and three numbers of at most 20 bytes.
constexpr std::size_t longest_line = sizeof userpieces::head + sizeof userpieces::mid + sizeof userpieces::eol + 3 * 20 + 2;
static_assert(longest_line <= textout::max_claim);

// Prints the report line of the visit at `index` to cell `c`:
// "User %d frequent cell is: C[%d][%d]  %d,%d". The fixed-size copies may
// write past the line's end; only the line itself is kept.
void results1(const userpieces& u, cell c, std::int64_t index, textout& out) {
  char* p = out.claim(longest_line);
  std::memcpy(p, u.head, sizeof u.head);
  p = formatint(p + u.headlen, c.x);
  *p++ = ']';
  *p++ = '[';
  p = formatint(p, c.y);
  std::memcpy(p, u.mid, sizeof u.mid);
  p = formatint(p + u.midlen, index);
  std::memcpy(p, u.eol, sizeof u.eol);
  out.advance(p + u.eollen);
}

}  // namespace

void findx(const celltable& table, std::int32_t user, std::int64_t n, std::int32_t threshold,
           freqcounter& counter, textout& out) {
  const userpieces pieces(user, out.eol());
  frequentvisits(table, user, n, threshold, counter,
                 [&](std::int64_t index, std::int32_t code, std::int64_t) {
                   results1(pieces, table.codec().decode(code), index, out);
                 });
  out.put(' ');
  out.newline();
}

}  // namespace cellfreq
