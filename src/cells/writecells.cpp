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
#include <span>
#include <utility>

#include "cells/celltable.h"
#include "io/in_order.h"

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

// One thread's share of the records, and what counting it found: the
// records of each object in the share, which the placing pass turns into
// where the share's next record of the object goes, likewise for wide
// cells, and the bounds of the share's cells.
struct tally {
  std::vector<std::span<const node>> spans;
  std::vector<std::size_t> at, wideat;
  cell lo{INT32_MAX, INT32_MAX}, hi{INT32_MIN, INT32_MIN};
  cell widelo{INT32_MAX, INT32_MAX}, widehi{INT32_MIN, INT32_MIN};
};

// The records of `list` cut into `n` consecutive shares of nearly equal
// size, in trace order.
std::vector<tally> shares(const recordlist& list, unsigned n) {
  std::vector<tally> out(n);
  const std::size_t total = list.size();
  std::size_t done = 0;
  unsigned t = 0;
  for (std::span<const node> c : list.chunks()) {
    while (!c.empty()) {
      const std::size_t k = std::min(c.size(), (t + 1) * total / n - done);
      if (k == 0) {
        ++t;
        continue;
      }
      out[t].spans.push_back(c.first(k));
      c = c.subspan(k);
      done += k;
    }
  }
  return out;
}

}  // namespace

// Counting sort by object id, each thread counting and then placing a
// share of the records: `first[i]` and `widefirst[i]` become the positions
// of object from+i's first code and first wide cell, and each share's
// records of an object go behind those of the shares before it, so every
// object keeps its trace order. Ids outside the range fail the one unsigned
// compare and are skipped in both passes alike. The lines are then
// formatted a piece of objects at a time on every thread and written in
// order.
result<void> writecellrange(const recordlist& list, std::int32_t from, std::int32_t to, textout& out,
                            std::vector<std::int64_t>& codecount, const cellform& form, cellbox& box,
                            const share_plan& plan) {
  const auto nobj = static_cast<std::size_t>(to - from);
  const auto base = static_cast<std::uint32_t>(from);
  const auto limit = static_cast<std::uint32_t>(nobj);
  // Threads share the counting only where each has many records an object:
  // their counts cost two positions of every object each, which then stay
  // within a byte a record.
  const std::size_t records = list.size();
  const unsigned most = std::max(plan.threads, 1u);
  const unsigned threads = list.spilled() || records < 2 * static_cast<std::size_t>(std::max<std::int64_t>(plan.piece_codes, 1)) ||
                                   records / most < 16 * nobj
                               ? 1
                               : most;
  std::vector<tally> tallies = list.spilled() ? std::vector<tally>(1) : shares(list, threads);
  const auto eachrecord = [&](const tally& m, auto&& f) {
    if (list.spilled()) list.foreach(f);
    else
      for (const std::span<const node> span : m.spans)
        for (const node& n : span) f(n);
  };
  on_each(threads, [&](unsigned t) {
    tally& m = tallies[t];
    m.at.assign(nobj, 0);
    m.wideat.assign(nobj, 0);
    eachrecord(m, [&](const node& n) {
      if (static_cast<std::uint32_t>(n.id) - base < limit) {
        const auto i = static_cast<std::size_t>(static_cast<std::uint32_t>(n.id) - base);
        ++m.at[i];
        if (!narrow(n)) {
          ++m.wideat[i];
          m.widelo = {std::min(m.widelo.x, n.x), std::min(m.widelo.y, n.y)};
          m.widehi = {std::max(m.widehi.x, n.x), std::max(m.widehi.y, n.y)};
        }
        if (form.exact) {
          m.lo = {std::min(m.lo.x, n.x), std::min(m.lo.y, n.y)};
          m.hi = {std::max(m.hi.x, n.x), std::max(m.hi.y, n.y)};
        }
      }
    });
  });
  cell lo = box.lo, hi = box.hi;
  cell widelo{INT32_MAX, INT32_MAX}, widehi{INT32_MIN, INT32_MIN};
  for (const tally& m : tallies) {
    lo = {std::min(lo.x, m.lo.x), std::min(lo.y, m.lo.y)};
    hi = {std::max(hi.x, m.hi.x), std::max(hi.y, m.hi.y)};
    widelo = {std::min(widelo.x, m.widelo.x), std::min(widelo.y, m.widelo.y)};
    widehi = {std::max(widehi.x, m.widehi.x), std::max(widehi.y, m.widehi.y)};
  }
  std::vector<std::size_t> first(nobj + 1, 0);
  std::vector<std::size_t> widefirst(nobj + 1, 0);
  {
    std::size_t at = 0, wideat = 0;
    for (std::size_t i = 0; i < nobj; ++i) {
      first[i] = at;
      widefirst[i] = wideat;
      for (tally& m : tallies) {
        at += std::exchange(m.at[i], at);
        wideat += std::exchange(m.wideat[i], wideat);
      }
    }
    first[nobj] = at;
    widefirst[nobj] = wideat;
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
  const auto codes = makechunkarray<std::uint32_t>(first[nobj]);
  const auto wides = std::make_unique_for_overwrite<cellpair[]>(packed ? 0 : widefirst[nobj]);
  on_each(threads, [&](unsigned t) {
    tally& m = tallies[t];
    eachrecord(m, [&](const node& n) {
      if (static_cast<std::uint32_t>(n.id) - base < limit) {
        const auto i = static_cast<std::size_t>(static_cast<std::uint32_t>(n.id) - base);
        if (narrow(n)) {
          codes[m.at[i]++] = static_cast<std::uint32_t>(n.x) << 10 | static_cast<std::uint32_t>(n.y);
        } else if (packed) {
          codes[m.at[i]++] = pack(n);
        } else {
          codes[m.at[i]++] = widecode;
          wides[m.wideat[i]++] = {n.x, n.y};
        }
      }
    });
  });
  tallies.clear();

  const std::vector<std::int64_t> bounds = piece_bounds(0, static_cast<std::int64_t>(nobj), plan, [&](std::int64_t i) {
    const auto k = static_cast<std::size_t>(i);
    return static_cast<std::int64_t>(first[k + 1] - first[k]);
  });
  std::vector<std::int64_t> colons(most, 0);
  format_in_order(out, bounds.size() - 1, [&](std::size_t piece, unsigned worker, textout& text) {
    for (auto i = static_cast<std::size_t>(bounds[piece]); i < static_cast<std::size_t>(bounds[piece + 1]); ++i) {
      const std::uint32_t* k = codes.get() + first[i];
      const std::uint32_t* const stop = codes.get() + first[i + 1];
      const cellpair* wide = wides.get() + (packed ? 0 : widefirst[i]);
      while ((k = putnarrow(k, stop, text)) != stop) {
        const std::int64_t v = std::int64_t{*k} - wideoffset;
        const cellpair c = *k == widecode ? *wide++
                                          : cellpair{static_cast<std::int32_t>(widelo.x + v / height),
                                                     static_cast<std::int32_t>(widelo.y + v % height)};
        text.putpad3(c.x);
        if (form.exact && !exactrange(c.x, c.y)) {
          text.put(':');
          ++colons[worker];
        }
        text.putpad3(c.y);
        text.put(' ');
        ++k;
      }
      text.newline();
    }
  }, plan);
  if (out.failed()) return syserror(out.error());
  const auto group = static_cast<std::size_t>(form.groupsize);
  for (std::size_t i = 0; i < nobj; ++i)
    codecount[(base + i) / group] += static_cast<std::int64_t>(first[i + 1] - first[i]);
  std::int64_t written = box.colons;
  for (const std::int64_t c : colons) written += c;
  box = {written, lo, hi};
  return {};
}

result<void> writecells(const recordlist& list, std::int32_t nobjects, textout& out,
                        std::vector<std::int64_t>& codecount, const cellform& form, cellbox* box) {
  codecount.assign(static_cast<std::size_t>(nobjects / form.groupsize), 0);
  cellbox all;
  result<void> written = writecellrange(list, 0, nobjects, out, codecount, form, all, share_plan::machine());
  if (box != nullptr) *box = all;
  return written;
}

std::int64_t max(const std::vector<std::int64_t>& counts, std::int32_t nusers, std::int32_t first) {
  const auto n = std::min(counts.size(), static_cast<std::size_t>(std::max(nusers, 0)));
  std::int64_t best = 0;
  for (auto i = static_cast<std::size_t>(std::max(first, 0)); i < n; ++i) best = std::max(best, counts[i]);
  return best;
}

}  // namespace cellfreq
