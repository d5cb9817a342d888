// Writing the cell file and counting each user's codes.
//
// The records are grouped by object in one counting pass and one placing
// pass, keeping trace order within each object, instead of walking the whole
// list once per object id: the file is the same, the work linear.
//
// Nearly every cell of a trace in grid metres has both values in 0 … 999.
// Such a cell is placed as one 4-byte code, x << 10 | y, and its token
// "%.3d%.3d " is seven fixed bytes copied from a table of pre-formatted
// pieces straight into the output's buffer. Any other cell is placed as a
// code numbering it within the box of such cells (or, for a box too large
// to number, as a marker code with its values kept in a separate array),
// and its token is formatted by textout::putpad3, so its text is "%.3d" exactly;
// in the exact form a cell that its code would not give back has a colon
// between its two values.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "cells/celltable.h"

namespace cellfreq {
namespace {

struct cellpair {
  std::int32_t x;
  std::int32_t y;
};

// Codes of cells whose values are not both in 0 … 999 (narrow codes stay
// below 1 << 20): wideoffset + the cell's place in the box of the range's
// wide cells, or, when that box is too large to number, widecode with the
// cell itself kept aside.
constexpr std::uint32_t wideoffset = std::uint32_t{1} << 20;
constexpr std::uint32_t widecode = UINT32_MAX;

bool narrow(const node& n) {
  return static_cast<std::uint32_t>(n.x) < 1000 && static_cast<std::uint32_t>(n.y) < 1000;
}

// "000 " … "999 ": each value's three digits and the blank that ends a
// token. A token is the x piece with its blank overwritten by the y piece.
// Indexed by 10-bit code fields, hence 1024 entries (the last 24 unused).
constexpr auto pad3pieces = [] {
  std::array<std::array<char, 4>, 1024> t{};
  for (std::size_t v = 0; v < 1000; ++v)
    t[v] = {static_cast<char>('0' + v / 100), static_cast<char>('0' + v / 10 % 10),
            static_cast<char>('0' + v % 10), ' '};
  return t;
}();

// Formats narrow codes from `k` on into the output's buffer, as many as
// one claim holds at a time, and returns where it stopped: at `stop` or at
// a wide code. A token is two overlapping 4-byte stores; the write position
// is a local pointer, so the character stores never make it reload.
const std::uint32_t* putnarrow(const std::uint32_t* k, const std::uint32_t* const stop, textout& out) {
  constexpr std::size_t tokenbytes = 7;
  constexpr std::size_t perclaim = textout::max_claim / tokenbytes;
  while (k != stop && *k < wideoffset) {
    char* q = out.claim(perclaim * tokenbytes);
    const std::uint32_t* const last = k + std::min(perclaim, static_cast<std::size_t>(stop - k));
    for (; k != last && *k < wideoffset; ++k) {
      std::memcpy(q, pad3pieces[*k >> 10].data(), 4);
      std::memcpy(q + 3, pad3pieces[*k & 1023].data(), 4);
      q += tokenbytes;
    }
    out.advance(q);
  }
  return k;
}

}  // namespace

// Counting sort by object id: `first[i]` and `widefirst[i]` become the
// positions of object from+i's first code and first wide cell, then each
// record is placed behind the ones of its object seen before it. Ids outside
// the range fail the one unsigned compare and are skipped in both passes
// alike.
bool writecellrange(const recordlist& list, std::int32_t from, std::int32_t to, textout& out,
                    std::vector<std::int64_t>& codecount, const cellform& form, cellbox& box) {
  const auto nobj = static_cast<std::size_t>(to - from);
  const auto base = static_cast<std::uint32_t>(from);
  const auto limit = static_cast<std::uint32_t>(nobj);
  std::vector<std::size_t> first(nobj + 1, 0);
  std::vector<std::size_t> widefirst(nobj + 1, 0);
  cell lo = box.lo, hi = box.hi;
  cell widelo{INT32_MAX, INT32_MAX}, widehi{INT32_MIN, INT32_MIN};
  list.foreach([&](const node& n) {
    if (static_cast<std::uint32_t>(n.id) - base < limit) {
      const auto i = static_cast<std::size_t>(static_cast<std::uint32_t>(n.id) - base) + 1;
      ++first[i];
      if (!narrow(n)) {
        ++widefirst[i];
        widelo = {std::min(widelo.x, n.x), std::min(widelo.y, n.y)};
        widehi = {std::max(widehi.x, n.x), std::max(widehi.y, n.y)};
      }
      if (form.exact) {
        lo = {std::min(lo.x, n.x), std::min(lo.y, n.y)};
        hi = {std::max(hi.x, n.x), std::max(hi.y, n.y)};
      }
    }
  });
  for (std::size_t i = 0; i < nobj; ++i) {
    first[i + 1] += first[i];
    widefirst[i + 1] += widefirst[i];
  }

  // Wide cells are numbered over their box when it is small enough, which
  // it nearly always is (projected coordinates put every cell far from 0),
  // so that they cost no more memory than the narrow ones.
  const std::int64_t height = std::int64_t{widehi.y} - widelo.y + 1;
  const bool packed = widefirst[nobj] == 0 || std::int64_t{widehi.x} - widelo.x + 1 <= (widecode - wideoffset) / height;
  const auto pack = [&](const node& n) {
    return static_cast<std::uint32_t>(wideoffset + (std::int64_t{n.x} - widelo.x) * height + (std::int64_t{n.y} - widelo.y));
  };
  // Every code and wide cell is written by the placing pass, so none is
  // initialised first; the codes, one a record, go on huge pages.
  const auto codes = makechunkarray<std::uint32_t>(static_cast<std::size_t>(first[nobj]));
  const auto wides = std::make_unique_for_overwrite<cellpair[]>(packed ? 0 : widefirst[nobj]);
  {
    std::vector<std::uint32_t*> next(nobj);
    std::vector<cellpair*> widenext(nobj);
    for (std::size_t i = 0; i < nobj; ++i) {
      next[i] = codes.get() + first[i];
      widenext[i] = wides.get() + widefirst[i];
    }
    list.foreach([&](const node& n) {
      if (static_cast<std::uint32_t>(n.id) - base < limit) {
        const auto i = static_cast<std::size_t>(static_cast<std::uint32_t>(n.id) - base);
        if (narrow(n)) {
          *next[i]++ = static_cast<std::uint32_t>(n.x) << 10 | static_cast<std::uint32_t>(n.y);
        } else if (packed) {
          *next[i]++ = pack(n);
        } else {
          *next[i]++ = widecode;
          *widenext[i]++ = {n.x, n.y};
        }
      }
    });
  }

  const auto group = static_cast<std::size_t>(form.groupsize);
  std::int64_t colons = box.colons;
  for (std::size_t i = 0; i < nobj; ++i) {
    const std::uint32_t* k = codes.get() + first[i];
    const std::uint32_t* const stop = codes.get() + first[i + 1];
    const cellpair* wide = wides.get() + (packed ? 0 : widefirst[i]);
    while ((k = putnarrow(k, stop, out)) != stop) {
      const std::int64_t v = std::int64_t{*k} - wideoffset;
      const cellpair c = *k == widecode ? *wide++
                                        : cellpair{static_cast<std::int32_t>(widelo.x + v / height),
                                                   static_cast<std::int32_t>(widelo.y + v % height)};
      out.putpad3(c.x);
      if (form.exact && !exactrange(c.x, c.y)) {
        out.put(':');
        ++colons;
      }
      out.putpad3(c.y);
      out.put(' ');
      ++k;
    }
    codecount[(base + i) / group] += static_cast<std::int64_t>(first[i + 1] - first[i]);
    out.newline();
    if (out.failed()) return false;
  }
  box = {colons, lo, hi};
  return true;
}

bool writecells(const recordlist& list, std::int32_t nobjects, textout& out, std::vector<std::int64_t>& codecount,
                const cellform& form, cellbox* box) {
  codecount.assign(static_cast<std::size_t>(nobjects / form.groupsize), 0);
  cellbox all;
  const bool written = writecellrange(list, 0, nobjects, out, codecount, form, all);
  if (box != nullptr) *box = all;
  return written;
}

std::int64_t max(const std::vector<std::int64_t>& counts, std::int32_t nusers) {
  const auto n = std::min(counts.size(), static_cast<std::size_t>(std::max(nusers, 0)));
  std::int64_t best = 0;
  for (std::size_t i = 0; i < n; ++i) best = std::max(best, counts[i]);
  return best;
}

}  // namespace cellfreq
