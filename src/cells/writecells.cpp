// Writing the cell file and counting each user's codes.
//
// The records are grouped by object in one counting pass and one placing
// pass, keeping trace order within each object, instead of walking the whole
// list once per object id: the file is the same, the work linear.
//
// Nearly every token has both values in 0 … 999, where "%.3d%.3d " is seven
// fixed bytes; those are copied from a table of pre-formatted pieces into a
// local block that goes to the output in large pieces. Every other token is
// formatted by textout::putpad3, so its text is "%.3d" exactly.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string_view>

#include "cells/celltable.h"

namespace cellfreq {
namespace {

struct cellpair {
  std::int32_t x;
  std::int32_t y;
};

// "000 " … "999 ": each value's three digits and the blank that ends a
// token. A token is the x piece with its blank overwritten by the y piece.
constexpr auto pad3pieces = [] {
  std::array<std::array<char, 4>, 1000> t{};
  for (std::size_t v = 0; v < t.size(); ++v)
    t[v] = {static_cast<char>('0' + v / 100), static_cast<char>('0' + v / 10 % 10),
            static_cast<char>('0' + v % 10), ' '};
  return t;
}();

// Collects short tokens in a fixed block and hands them to `out` when the
// block is nearly full or before anything is written to `out` directly, so
// the file receives every byte in order.
class tokenblock {
public:
  explicit tokenblock(textout& out) : out_(out) {}
  tokenblock(const tokenblock&) = delete;
  tokenblock& operator=(const tokenblock&) = delete;

  // Appends the token of a cell; the in-range test is one unsigned compare
  // per value, and the two overlapping 4-byte stores write its 7 bytes.
  void put(const cellpair& c) {
    const auto x = static_cast<std::uint32_t>(c.x);
    const auto y = static_cast<std::uint32_t>(c.y);
    if (x < pad3pieces.size() && y < pad3pieces.size()) {
      if (used_ > buf_.size() - 8) flush();
      std::memcpy(buf_.data() + used_, pad3pieces[x].data(), 4);
      std::memcpy(buf_.data() + used_ + 3, pad3pieces[y].data(), 4);
      used_ += 7;
    } else {
      flush();
      out_.putpad3(c.x);
      out_.putpad3(c.y);
      out_.put(' ');
    }
  }
  void flush() {
    out_.put(std::string_view(buf_.data(), used_));
    used_ = 0;
  }

private:
  textout& out_;
  std::array<char, 64 * 1024> buf_;
  std::size_t used_ = 0;
};

}  // namespace

// Counting sort by object id: `first[i]` becomes the position of object i's
// first cell, then each record is placed behind the ones of its object seen
// before it. Ids outside 0 … nobjects-1 fail the one unsigned compare and
// are skipped in both passes alike.
bool writecells(const recordlist& list, std::int32_t nobjects, textout& out,
                std::vector<std::int64_t>& codecount) {
  const auto nobj = static_cast<std::size_t>(nobjects);
  const auto limit = static_cast<std::uint32_t>(nobjects);
  std::vector<std::size_t> first(nobj + 1, 0);
  list.foreach([&](const node& n) {
    if (static_cast<std::uint32_t>(n.id) < limit) ++first[static_cast<std::size_t>(n.id) + 1];
  });
  for (std::size_t i = 0; i < nobj; ++i) first[i + 1] += first[i];

  // Every cell is written by the placing pass, so none is initialised first.
  const auto cells = std::make_unique_for_overwrite<cellpair[]>(first[nobj]);
  {
    std::vector<cellpair*> next(nobj);
    for (std::size_t i = 0; i < nobj; ++i) next[i] = cells.get() + first[i];
    list.foreach([&](const node& n) {
      if (static_cast<std::uint32_t>(n.id) < limit) *next[static_cast<std::size_t>(n.id)]++ = {n.x, n.y};
    });
  }

  codecount.assign(nobj / objects_per_user, 0);
  tokenblock block(out);
  for (std::size_t i = 0; i < nobj; ++i) {
    for (std::size_t k = first[i]; k < first[i + 1]; ++k) block.put(cells[k]);
    block.flush();
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
