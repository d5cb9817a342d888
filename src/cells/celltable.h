// The cell file and the cell table: regrouping a trace's visits by object
// and by user.
//
// writecells() lists each object's cells, in trace order, on the object's own
// line of the cell file; loadcells() reads that file back as one stream of
// integers and deals it out over the rows of the table, one row per user of
// ten objects. The file's line order is what puts each user's codes into one
// row, so the table is always filled from the file, never from memory.
#pragma once

#include <compare>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "io/in_order.h"
#include "io/result.h"
#include "trace/recordlist.h"
#include "io/textin.h"
#include "io/textout.h"

namespace cellfreq {

inline constexpr int objects_per_user = 10;
inline constexpr std::int32_t code_multiplier = 1000;

// A grid cell: its column and row numbers.
struct cell {
  std::int32_t x = 0;
  std::int32_t y = 0;
  friend auto operator<=>(const cell&, const cell&) = default;
};

// How the cell file is written.
struct cellform {
  std::int32_t groupsize = objects_per_user;  // consecutive objects that form a user
  // Tokens name every cell exactly: a cell whose code x * 1000 + y would
  // not give it back is written "X:Y " ("%.3d:%.3d ") instead of "%.3d%.3d ".
  bool exact = false;
};

// Whether the code x * 1000 + y reads back as the cell (x, y).
inline bool exactrange(std::int32_t x, std::int32_t y) {
  return x >= 0 && x <= (INT32_MAX - 999) / code_multiplier && y >= 0 && y < code_multiplier;
}
// The narrowest row the table ever has; rows grow to the largest analysed
// user's count, so that every analysed user's row takes all its codes.
inline constexpr std::int64_t min_row_width = 203;

// Writes one line per object id 0 … nobjects-1: a token "%.3d%.3d " (x, then
// y) for each of the object's records in trace order, then a line end.
// Records with other ids are not written. Fills `codecount` with one count
// of written tokens per user (nobjects / groupsize users). `box`, when
// given with the exact form, receives what loadcells() needs to read such a
// file back. Fails with out.error() if a write failed; nothing is flushed
// here.
struct cellbox {
  std::int64_t colons = 0;                  // "X:Y" tokens written
  cell lo{INT32_MAX, INT32_MAX}, hi{INT32_MIN, INT32_MIN};  // the written cells' bounds
};
result<void> writecells(const recordlist& list, std::int32_t nobjects, textout& out,
                        std::vector<std::int64_t>& codecount, const cellform& form = {}, cellbox* box = nullptr);
// The lines of objects from … to-1 only, from the records of `list` with
// those ids: their counts are added to `codecount` (sized for every user)
// and their cells to `box`. Writing consecutive ranges one after another
// gives the file that writecells() writes, so a trace can be grouped a
// range of objects at a time. The records are counted, placed and
// formatted on the threads of `plan`; the file is the same for every plan.
result<void> writecellrange(const recordlist& list, std::int32_t from, std::int32_t to, textout& out,
                            std::vector<std::int64_t>& codecount, const cellform& form, cellbox& box,
                            const share_plan& plan = share_plan::machine());

// The largest of the counts of users first … nusers-1 (0 when there are
// none): the widest row of a range of users read back together.
std::int64_t max(const std::vector<std::int64_t>& counts, std::int32_t nusers, std::int32_t first = 0);

class celltable;

// How the table's integer codes name cells. The fixed programs' codes are
// x * 1000 + y, read back as x = code / 1000 and y = code % 1000 (truncated,
// so a code read from a negative token gives what the fixed report prints).
// A run whose cell file names cells outside that range gets codes packed
// over the run's bounding box, (x - xmin) * height + (y - ymin), or, when
// the box has more than 2^31 cells, the rank of the cell among the run's
// distinct cells. Every form keeps the cells' order (by x, then y).
class cellcodec {
public:
  cell decode(std::int32_t code) const {
    if (plain_) [[likely]]
      return {code / code_multiplier, code % code_multiplier};
    if (!cells_.empty()) return cells_[static_cast<std::size_t>(code)];
    return {static_cast<std::int32_t>(xmin_ + code / height_), static_cast<std::int32_t>(ymin_ + code % height_)};
  }
  // The codec for the distinct cells `sorted` (ascending, no repeats).
  static cellcodec over(const std::vector<cell>& sorted);
  // The code of a cell that the codec covers.
  std::int32_t encode(const cell& c) const;

private:
  friend result<void> loadcells(textin&, const std::vector<std::int64_t>&, std::int64_t, celltable&, const cellbox*,
                        std::int32_t, std::int32_t);
  bool plain_ = true;
  std::int64_t xmin_ = 0, ymin_ = 0, height_ = code_multiplier;
  std::vector<cell> cells_;  // the rank form's cells, ascending
};

// The cell table: one row per user, each `width()` codes wide, zero where
// nothing was read. Only the cells that loadcells() read are stored; the
// rest of each row is implicitly zero. A table may hold a range of users
// only, rows first() … first()+rows()-1, so that a long file is read a
// range of users at a time.
class celltable {
public:
  const cellcodec& codec() const { return codec_; }
  std::int32_t first() const { return first_; }
  std::int32_t rows() const { return static_cast<std::int32_t>(start_.size()) - 1; }
  std::int64_t width() const { return width_; }
  // The codes read into row r, from column 0 on.
  std::span<const std::int32_t> row(std::int32_t r) const {
    const auto i = static_cast<std::size_t>(r - first_);
    return {codes_.data() + start_[i], codes_.data() + start_[i + 1]};
  }
  // Any cell of the table; zero outside the part that was read.
  std::int32_t at(std::int32_t r, std::int64_t j) const {
    const auto cells = row(r);
    return j >= 0 && static_cast<std::size_t>(j) < cells.size() ? cells[static_cast<std::size_t>(j)] : 0;
  }

private:
  friend result<void> loadcells(textin&, const std::vector<std::int64_t>&, std::int64_t, celltable&, const cellbox*,
                        std::int32_t, std::int32_t);
  cellcodec codec_;
  std::vector<std::int32_t, hugeallocator<std::int32_t>> codes_;
  std::vector<std::int64_t> start_{0};
  std::int64_t width_ = min_row_width;
  std::int32_t first_ = 0;
};

// Fills `table` from the cell file: row r, in order from row 0, receives the
// next min(codecount[r], maxcount) integers of the file; an integer that
// cannot be read (the file ended) leaves its cell 0. Because every row is at
// least `maxcount` wide, a user whose count is within `maxcount` gets all of
// its codes; a later user's codes beyond `maxcount` flow on into the rows
// after it. Returns false if reading failed (in.error() tells why).
//
// Given the `box` of a file with "X:Y" tokens (see cellform), each token is
// read as its cell, and the codes are those of a codec over the file's
// cells; a plain token still names (v / 1000, v % 1000). Such a file must
// be the one written: a token that does not read, or names a cell outside
// the box, fails loadcells() with no error number and the reason
// not_written.
//
// Given a range of rows `from` … `to`-1 (to < 0: every row), only those are
// filled, from where `in` stands: reading the ranges one after another
// from the start of the file fills each as a whole table would be. A read
// error fails it with in.error().
inline constexpr const char* not_written = "it no longer holds the cells that were written";
result<void> loadcells(textin& in, const std::vector<std::int64_t>& codecount, std::int64_t maxcount,
                       celltable& table, const cellbox* box = nullptr, std::int32_t from = 0, std::int32_t to = -1);

// The ranges of users from … to-1, in order, each as long as its rows (of
// min(codecount, maxcount) codes each) fit `room` codes together, and at
// least one user: what loadcells() reads at a time when the table may not
// hold every row at once.
std::vector<std::pair<std::int32_t, std::int32_t>> table_ranges(const std::vector<std::int64_t>& codecount,
                                                                 std::int64_t maxcount, std::int64_t room,
                                                                 std::int32_t from, std::int32_t to);

}  // namespace cellfreq
