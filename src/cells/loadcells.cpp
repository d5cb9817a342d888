// Reading the cell file back into the cell table.
//
// The file is read as "%d" integers. Its own tokens, a few digits after a
// blank or a line end, are converted straight from the reader's buffer, one
// 8-byte word at a time; every other form (a sign, other whitespace, more
// than eight digits, the end of the buffer in sight) is left to scanint(),
// which defines the result. The fast path only answers where the answer is
// already decided by the buffered bytes, so both give the same codes.
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

// How many of the word's bytes, from the first, are digits (0 … 8). A byte
// is a digit when its low seven bits are in '0' … '9' and its high bit is
// clear; the per-byte sums stay below 0x100, so no carry crosses a byte.
int leading_digits(std::uint64_t w) {
  const std::uint64_t low7 = w & bytes_of(0x7F);
  const std::uint64_t from0 = low7 + bytes_of(0x80 - '0');         // high bit: >= '0'
  const std::uint64_t past9 = low7 + bytes_of(0x80 - '9' - 1);     // high bit: > '9'
  const std::uint64_t nondigit = (~from0 | past9 | w) & bytes_of(0x80);
  return std::countr_zero(nondigit) / 8;
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

// "%d" into `out`, which is left unchanged when nothing converts. Blanks,
// line feeds and carriage returns are all whitespace to "%d" (a CR is a
// line end's first byte or a character of its own), so they are skipped
// raw; the read stops after a digit, never inside a CRLF pair.
void readcode(textin& in, std::int32_t& out) {
  // Room for the token's word and the byte after it, with margin.
  constexpr std::ptrdiff_t room = 16;
  const char* p = in.data();
  const char* const end = in.limit();
  while (end - p > room && (*p == ' ' || *p == '\n' || *p == '\r')) ++p;
  if (end - p > room) {
    const std::uint64_t w = load8(p);
    const int n = leading_digits(w);
    if (n > 0 && (n < 8 || static_cast<unsigned char>(p[8] - '0') > 9)) {
      out = digits_value(w, n);
      in.consume_to(p + n);
      return;
    }
  }
  scanint(in, out);
}

}  // namespace

// All cells are allocated zero at once, so a read that converts nothing
// leaves its cell 0, and the reading loop itself never allocates.
bool loadcells(textin& in, const std::vector<std::int64_t>& codecount, std::int64_t maxcount,
               celltable& table) {
  table.width_ = std::max(min_row_width, maxcount);
  std::int64_t total = 0;
  for (const std::int64_t c : codecount) total += std::clamp<std::int64_t>(c, 0, maxcount);
  table.codes_.assign(static_cast<std::size_t>(total), 0);
  table.start_.assign(1, 0);
  table.start_.reserve(codecount.size() + 1);
  std::int32_t* cell = table.codes_.data();
  for (const std::int64_t c : codecount) {
    const std::int64_t take = std::clamp<std::int64_t>(c, 0, maxcount);
    for (std::int64_t j = 0; j < take; ++j) readcode(in, *cell++);
    table.start_.push_back(static_cast<std::int64_t>(cell - table.codes_.data()));
  }
  return in.error() == 0;
}

}  // namespace cellfreq
