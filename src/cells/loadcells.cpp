// Reading the cell file back into the cell table.
//
// The file is read as "%d" integers. Its own tokens, a few digits after a
// blank or a line end, are converted straight from the reader's buffer, one
// 8-byte word at a time, and the usual one, a blank and six digits, by a
// single shape test. Every other form (a sign, other whitespace, more than
// eight digits, the end of the buffer in sight) is left to scanint(), which
// defines the result. The direct reads only answer where the buffered bytes
// already decide the answer, so both ways give the same codes.
#include <algorithm>
#include <bit>

#include "cells/celltable.h"
#include "trace/scan.h"

namespace cellfreq {
namespace {

constexpr std::uint64_t bytes_of(std::uint8_t b) { return 0x0101010101010101u * b; }

// The eight bytes at p as one word, the first byte lowest, on any host
// (compilers turn this into a single load where that is the byte order).
std::uint64_t load8(const char* p) {
  const auto b = [p](int i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24 | b(4) << 32 | b(5) << 40 | b(6) << 48 | b(7) << 56;
}

// The high bit of each of the word's bytes that is not a digit. A byte is
// a digit when its low seven bits are in '0' … '9' and its high bit is
// clear; the per-byte sums stay below 0x100, so no carry crosses a byte.
std::uint64_t nondigits(std::uint64_t w) {
  const std::uint64_t low7 = w & bytes_of(0x7F);
  const std::uint64_t from0 = low7 + bytes_of(0x80 - '0');      // high bit: >= '0'
  const std::uint64_t past9 = low7 + bytes_of(0x80 - '9' - 1);  // high bit: > '9'
  return (~from0 | past9 | w) & bytes_of(0x80);
}

// How many of the word's bytes, from the first, are digits (0 … 8).
int leading_digits(std::uint64_t w) { return std::countr_zero(nondigits(w)) / 8; }

// Whether the word is a blank, six digits and a non-digit: the writer's
// token for values in 0 … 999 after the blank that ends the one before.
bool blank_six_digits(std::uint64_t w) {
  return (w & 0xFF) == ' ' && nondigits(w) == 0x8000000000000080u;
}

// The value of the first n (1 … 8) bytes of the word, all digits. Shifting
// them to the top makes the bytes below them leading zeros; then pairs,
// quads and the eight digits are combined, each step in its own lanes.
std::int32_t digits_value(std::uint64_t w, int n) {
  std::uint64_t d = (w & bytes_of(0x0F)) << (8 * (8 - n));
  d = (d * 10 + (d >> 8)) & 0x00FF00FF00FF00FFu;
  d = (d * 100 + (d >> 16)) & 0x0000FFFF0000FFFFu;
  d = (d * 10000 + (d >> 32)) & 0xFFFFFFFFu;
  return static_cast<std::int32_t>(d);
}

// Reads "%d" integers into [cell, stop), leaving a cell unchanged when
// nothing converts. Runs of the file's own tokens are read with a local
// cursor that is handed back to the reader only before a fallback and at
// the end. Blanks, line feeds and carriage returns are all whitespace to
// "%d" (a CR is a line end's first byte or a character of its own), so they
// are skipped raw; the reader is only ever moved to just after a digit, or
// left where it was, never inside a CRLF pair.
void readcodes(textin& in, std::int32_t* cell, std::int32_t* const stop) {
  // Room for a token's word and the byte after it, with margin.
  constexpr std::ptrdiff_t room = 16;
  while (cell != stop) {
    const char* p = in.data();
    const char* const end = in.limit();
    for (; cell != stop; ++cell) {
      // The common token first: its length is then a predicted branch, not
      // a value the next token's position has to wait for.
      if (end - p > room) {
        const std::uint64_t w = load8(p);
        if (blank_six_digits(w)) {
          *cell = digits_value(w >> 8, 6);
          p += 7;
          continue;
        }
      }
      const char* s = p;
      while (end - s > room && (*s == ' ' || *s == '\n' || *s == '\r')) ++s;
      if (end - s <= room) break;
      const std::uint64_t w = load8(s);
      const int n = leading_digits(w);
      if (n == 0 || (n == 8 && static_cast<unsigned char>(s[8] - '0') <= 9)) break;
      *cell = digits_value(w, n);
      p = s + n;
    }
    in.consume_to(p);
    if (cell != stop) scanint(in, *cell++);
  }
}

bool space(int c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f'; }

// One signed decimal integer from the span [p, end) that holds all of it,
// saturated to 32 bits; p is left after its last digit. False (p unchanged)
// when no digit follows the optional sign.
bool spanint(const char*& p, const char* end, std::int32_t& out) {
  const char* q = p;
  const bool negative = q != end && *q == '-';
  if (q != end && (*q == '-' || *q == '+')) ++q;
  if (q == end || static_cast<unsigned char>(*q - '0') > 9) return false;
  std::int64_t v = 0;
  for (; q != end && static_cast<unsigned char>(*q - '0') <= 9; ++q) v = std::min<std::int64_t>(v * 10 + (*q - '0'), std::int64_t{1} << 32);
  v = negative ? -v : v;
  out = static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
  p = q;
  return true;
}

// Reads the exact form's tokens, handing the i-th one's cell to put(i, c):
// "X:Y" is the cell (X, Y), a plain integer v the cell (v / 1000, v % 1000).
// Tokens are short, so each is read from a span that holds it whole. False
// at a token that does not convert (the file ended, or was changed since it
// was written).
template <class F>
bool readcells(textin& in, std::size_t n, F&& put) {
  constexpr std::size_t room = 64;  // more than the longest token
  for (std::size_t i = 0; i < n; ++i) {
    const char* p = in.data();
    for (;;) {  // blanks, however many, then a span that holds the token
      while (p != in.limit() && space(static_cast<unsigned char>(*p))) ++p;
      if (static_cast<std::size_t>(in.limit() - p) >= room || in.complete()) break;
      in.consume_to(p);
      in.want(room);
      p = in.data();
      if (in.limit() == p && in.complete()) break;
    }
    const char* const end = std::min(in.limit(), p + room);
    std::int32_t x = 0, y = 0;
    if (!spanint(p, end, x)) return false;
    if (p != end && *p == ':') {
      ++p;
      if (!spanint(p, end, y)) return false;
    } else {
      y = x % code_multiplier;
      x /= code_multiplier;
    }
    if (!put(i, cell{x, y})) return false;
    in.consume_to(p);
  }
  return true;
}

}  // namespace

cellcodec cellcodec::over(const std::vector<cell>& sorted) {
  cellcodec k;
  if (sorted.empty() || std::all_of(sorted.begin(), sorted.end(), [](const cell& c) { return exactrange(c.x, c.y); }))
    return k;
  k.plain_ = false;
  std::int64_t ymin = INT32_MAX, ymax = INT32_MIN;
  for (const cell& c : sorted) {
    ymin = std::min<std::int64_t>(ymin, c.y);
    ymax = std::max<std::int64_t>(ymax, c.y);
  }
  const std::int64_t width = std::int64_t{sorted.back().x} - sorted.front().x + 1, height = ymax - ymin + 1;
  if (width <= INT32_MAX / height) {
    k.xmin_ = sorted.front().x;
    k.ymin_ = ymin;
    k.height_ = height;
  } else {
    k.cells_ = sorted;
  }
  return k;
}

std::int32_t cellcodec::encode(const cell& c) const {
  if (plain_) return c.x * code_multiplier + c.y;
  if (!cells_.empty())
    return static_cast<std::int32_t>(std::lower_bound(cells_.begin(), cells_.end(), c) - cells_.begin());
  return static_cast<std::int32_t>((c.x - xmin_) * height_ + (c.y - ymin_));
}

// The rows only split the file's one stream of integers, so their bounds
// are set first and the stream is then read into all cells in one go. All
// cells start zero, so a read that converts nothing leaves its cell 0.
result<void> loadcells(textin& in, const std::vector<std::int64_t>& codecount, std::int64_t maxcount,
                       celltable& table, const cellbox* box, std::int32_t from, std::int32_t to) {
  // A read error is the reason; else a token that does not read, or names
  // a cell outside the box.
  const auto outcome = [&in](bool read) -> result<void> {
    if (in.error() != 0) return syserror(in.error());
    if (!read) return failure{{}, 0, not_written};
    return {};
  };
  const auto end = to < 0 ? codecount.size() : static_cast<std::size_t>(to);
  table.width_ = std::max(min_row_width, maxcount);
  table.first_ = from;
  table.start_.assign(1, 0);
  table.start_.reserve(end - static_cast<std::size_t>(from) + 1);
  for (std::size_t r = static_cast<std::size_t>(from); r < end; ++r)
    table.start_.push_back(table.start_.back() + std::clamp<std::int64_t>(codecount[r], 0, maxcount));
  const auto n = static_cast<std::size_t>(table.start_.back());
  table.codec_ = cellcodec();
  if (box == nullptr || box->colons == 0) {
    table.codes_.assign(n, 0);
    readcodes(in, table.codes_.data(), table.codes_.data() + n);
    return outcome(true);
  }
  // The box of the written cells decides the codec, so cells are encoded as
  // they are read; one outside the box (or a token that does not read) means
  // the file is not the one written. Only a box too large to pack needs the
  // distinct cells, and so all cells first.
  const cell lo = box->lo, hi = box->hi;
  const auto inside = [&](cell c) { return c.x >= lo.x && c.x <= hi.x && c.y >= lo.y && c.y <= hi.y; };
  table.codec_ = cellcodec::over({lo, {lo.x, hi.y}, {hi.x, lo.y}, hi});
  table.codes_.resize(n);
  if (table.codec_.cells_.empty())
    return outcome(readcells(in, n, [&](std::size_t i, cell c) {
      table.codes_[i] = table.codec_.encode(c);
      return inside(c);
    }));
  std::vector<cell> cells(n);
  if (!readcells(in, n, [&](std::size_t i, cell c) {
        cells[i] = c;
        return inside(c);
      }))
    return outcome(false);
  std::vector<cell> distinct = cells;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  table.codec_ = cellcodec::over(distinct);
  for (std::size_t i = 0; i < n; ++i) table.codes_[i] = table.codec_.encode(cells[i]);
  return outcome(true);
}

std::vector<std::pair<std::int32_t, std::int32_t>> table_ranges(const std::vector<std::int64_t>& codecount,
                                                                 std::int64_t maxcount, std::int64_t room,
                                                                 std::int32_t from, std::int32_t to) {
  const auto width = [&](std::int32_t u) {
    return std::clamp<std::int64_t>(codecount[static_cast<std::size_t>(u)], 0, maxcount);
  };
  std::vector<std::pair<std::int32_t, std::int32_t>> ranges;
  for (std::int32_t first = from, last = from; first < to; first = last) {
    std::int64_t codes = width(first);
    for (last = first + 1; last < to && codes + width(last) <= room; ++last) codes += width(last);
    ranges.emplace_back(first, last);
  }
  return ranges;
}

}  // namespace cellfreq
