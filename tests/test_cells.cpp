// The cell file's exact tokens, the counts, `max`, and how the table is
// filled from the file, including cells outside the exact range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cells/celltable.h"
#include "support/cases.h"
#include "support/runner.h"
#include "trace/scan.h"

using namespace cellfreq;
using testsupport::repeat;
using rows = std::vector<std::vector<std::int32_t>>;

namespace {

recordlist listof(const std::vector<node>& nodes) {
  recordlist l;
  for (const node& n : nodes) l.push(n);
  return l;
}

std::string cellfile(const std::vector<node>& nodes, std::vector<std::int64_t>& counts,
                     std::int32_t nobjects = 1000, const std::string& eol = "\n") {
  std::string s;
  textout out(s, eol);
  EXPECT_TRUE(writecells(listof(nodes), nobjects, out, counts));
  EXPECT_TRUE(out.flush());
  return s;
}

// The cell file as printf writes it: for each object, its records' tokens
// in trace order, then the line end.
std::string printfcells(const std::vector<node>& nodes, std::int32_t nobjects, const std::string& eol) {
  std::string s;
  for (std::int32_t id = 0; id < nobjects; ++id) {
    for (const node& n : nodes) {
      if (n.id != id) continue;
      char token[32];
      std::snprintf(token, sizeof token, "%.3d%.3d ", n.x, n.y);
      s += token;
    }
    s += eol;
  }
  return s;
}

// The table that loadcells() fills from `text` in memory.
celltable load(const std::string& text, const std::vector<std::int64_t>& counts, std::int64_t maxcount) {
  textin in(text, false);
  celltable t;
  EXPECT_TRUE(loadcells(in, counts, maxcount, t));
  return t;
}

// The first `n` rows of a table.
rows rowsof(const celltable& t, std::int32_t n) {
  rows r;
  for (std::int32_t i = 0; i < n; ++i) r.emplace_back(t.row(i).begin(), t.row(i).end());
  return r;
}

// All cells that loadcells() read, row after row.
std::vector<std::int32_t> cellsof(const celltable& t) {
  std::vector<std::int32_t> v;
  for (const auto& r : rowsof(t, t.rows())) v.insert(v.end(), r.begin(), r.end());
  return v;
}

// `n` integers read from `text` by scanint() alone, zero where a read
// converts nothing.
std::vector<std::int32_t> scanall(const std::string& text, std::size_t n) {
  textin in(text, false);
  std::vector<std::int32_t> v(n, 0);
  for (std::int32_t& c : v) scanint(in, c);
  return v;
}

// The values on both sides of each edge of the table-driven tokens.
const std::vector<std::int32_t> edgevalues{0, 9, 99, 999, 1000, -1, -999, -1000, INT32_MIN, INT32_MAX};

// Every pair of edge values, spread over `objects` objects.
std::vector<node> edgenodes(std::int32_t objects) {
  std::vector<node> nodes;
  for (const std::int32_t x : edgevalues)
    for (const std::int32_t y : edgevalues) nodes.push_back({static_cast<std::int32_t>(nodes.size()) % objects, x, y});
  return nodes;
}

}  // namespace

// One line per object of the fleet, the others' records left out, and one
// count per user, for the fixed fleet and a larger one.
TEST(Writecells, OneLinePerObjectAndOneCountPerUser) {
  std::vector<std::int64_t> counts;
  const std::string f = cellfile({{17, 4, 3}, {3, 12, 9}, {17, 5, 3}, {1000, 1, 1}, {-1, 1, 1}, {0, 0, 0}}, counts);
  EXPECT_EQ(f, "000000 \n\n\n012009 \n" + repeat("\n", 13) + "004003 005003 \n" + repeat("\n", 982));
  std::vector<std::int64_t> want(100, 0);
  want[0] = want[1] = 2;
  EXPECT_EQ(counts, want);
  EXPECT_EQ(cellfile({{1500, 1, 2}}, counts, 2000, "\r\n"), repeat("\r\n", 1500) + "001002 \r\n" + repeat("\r\n", 499));
  EXPECT_TRUE(counts.size() == 200u && counts[150] == 1);
}

TEST(Writecells, TokensAndLinesAreThoseOfPrintf) {
  // Every pair of edge values on one object, so that wide and narrow tokens
  // meet in every order; then lines far longer than any output block, with
  // a wide token now and then, records of ids outside the fleet among them,
  // and objects without any record; with both line ends.
  std::vector<node> nodes = edgenodes(1);
  std::uint32_t r = 12345;
  for (int i = 0; i < 60000; ++i) {
    r = r * 1664525u + 1013904223u;
    const auto id = static_cast<std::int32_t>(r >> 27) - 3;  // -3 … 28, fleet 0 … 19
    const auto x = static_cast<std::int32_t>(r >> 8 & 1023);
    const auto y = i % 997 == 0 ? -static_cast<std::int32_t>(r % 5000) : static_cast<std::int32_t>(r % 1000);
    nodes.push_back({id == 5 ? 7 : id, x, y});
  }
  const auto inuser = [&](std::int32_t u) {
    return std::count_if(nodes.begin(), nodes.end(), [u](const node& n) { return n.id >= 0 && n.id / 10 == u; });
  };
  for (const std::string eol : {"\n", "\r\n"}) {
    SCOPED_TRACE(testing::PrintToString(eol));
    std::vector<std::int64_t> counts;
    EXPECT_EQ(cellfile(nodes, counts, 20, eol), printfcells(nodes, 20, eol));
    EXPECT_EQ(counts, (std::vector<std::int64_t>{inuser(0), inuser(1)}));
  }
}

TEST(Max, LooksAtEveryAnalysedUserAndNoOther) {
  std::vector<std::int64_t> counts(100, 0);
  EXPECT_EQ(cellfreq::max(counts, 100), 0);
  for (const auto& [u, c] : {std::pair{3, 7}, {9, 8}, {50, 300}}) counts[static_cast<std::size_t>(u)] = c;
  for (const auto& [n, want] : {std::pair{0, 0}, {9, 7}, {10, 8}, {100, 300}}) EXPECT_EQ(cellfreq::max(counts, n), want) << n;
}

// Row r receives the next min(count, maxcount) integers of the file: each
// analysed user gets its own codes, rows grow past the narrowest width, a
// later user's codes beyond maxcount spill into the rows after it, and a
// negative token reads as two integers or one.
TEST(Loadcells, EachRowTakesItsShareOfTheStream) {
  std::vector<node> wide;  // 250 visits for user 0: object 0's first
  std::vector<std::int32_t> widerow;
  for (int i = 0; i < 250; ++i) wide.push_back({i % 10, i, i % 7});
  for (int obj = 0; obj < 10; ++obj)
    for (int i = obj; i < 250; i += 10) widerow.push_back(i * 1000 + i % 7);
  const struct {
    std::vector<node> nodes;
    std::int32_t nusers;
    std::int64_t width;
    rows want;  // the first rows
  } cases[] = {
      {{{10, 4, 3}, {10, 4, 4}, {10, 4, 5}, {25, 12, 9}, {0, 0, 0}}, 100, 203, {{0}, {4003, 4004, 4005}, {12009}, {}}},
      {wide, 100, 250, {widerow, {}}},
      // Only users 0 … 9 are analysed: their largest count (2) bounds every
      // row, so user 10's four codes fill two in its row and two in the next,
      // whose own count is 1.
      {{{0, 1, 1}, {1, 1, 2}, {100, 5, 1}, {100, 5, 2}, {100, 5, 3}, {100, 5, 4}, {110, 9, 9}}, 10, 203,
       {{1001, 1002}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {5001, 5002}, {5003}, {}}},
      // "004-001" reads as two integers, so every later code moves one place
      // on; "-001005" reads as one code, -1005.
      {{{0, 4, -1}, {1, -1, 5}, {2, 4, 1000}, {10, 7, 7}}, 100, 203, {{4, -1, -1005}, {41000}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, c));
    std::vector<std::int64_t> counts;
    const std::string f = cellfile(c.nodes, counts);
    const celltable t = load(f, counts, cellfreq::max(counts, c.nusers));
    EXPECT_EQ(t.rows(), 100);
    EXPECT_EQ(t.width(), c.width);
    EXPECT_EQ(rowsof(t, static_cast<std::int32_t>(c.want.size())), c.want) << f.substr(0, 80);
  }
}

// The table holds what scanint() alone reads, in memory and from a file in
// blocks of many small sizes, where the direct token reads meet the end of
// the buffer: the writer's own edge tokens with both line ends, other
// whitespace, signs and digit runs, with more integers asked than they hold
// (the last cells stay 0), and texts that a byte starting no number stops,
// after the writer's tokens or a partial number.
TEST(Loadcells, ReadsLikeScanintAlone) {
  std::vector<std::string> texts;
  for (const std::string stop : {"x", "-x", "+-", ".5"})
    texts.push_back(repeat(" 046054", 20) + " " + stop + " 046054 046054\r\n" + repeat(" 123456", 20));
  // Whitespace of every kind, lone CRs, signs and long digit runs.
  texts.push_back(repeat(" 046054\r046054\v046054\f\t046054 +5 -001005 99999999999999 000000000000000000007\r\n", 9));
  std::vector<std::int64_t> counts;
  texts.push_back(cellfile(edgenodes(20), counts, 20, "\r\n"));
  texts.push_back(cellfile(edgenodes(3), counts, 20, "\n"));
  for (const std::string& text : texts) {
    SCOPED_TRACE(testsupport::caseof(texts, text));
    const auto n = static_cast<std::int64_t>(text.size() / 6 + 5);
    const std::vector<std::int64_t> three{n / 3, n / 3, n - 2 * (n / 3)};
    const std::vector<std::int32_t> expect = scanall(text, static_cast<std::size_t>(n));
    EXPECT_EQ(cellsof(load(text, three, n)), expect) << text.substr(0, 80);
    for (std::size_t block = 16; block < 160; block += block < 64 ? 1 : 7) {
      std::FILE* f = testsupport::tmpfilewith(text);
      textin in(f, false, block);
      celltable t;
      EXPECT_TRUE(loadcells(in, three, n, t));
      EXPECT_EQ(cellsof(t), expect) << "block " << block;
      std::fclose(f);
    }
  }
}

// The exact form gives every cell back through the file, whichever codec
// the run's cells need, and keeps the fixed bytes where codes suffice.
TEST(ExactCells, EveryCellComesBackThroughTheFile) {
  const std::vector<std::vector<node>> runs{
      {{0, 4, 3}, {1, 1234, 5}, {1, 0, 999}},                              // codes suffice: plain bytes
      {{0, 12504, 14501}, {0, -1, 5}, {1, 4, -1}, {1, 4, 1000}, {0, 4, 3}},  // packed over their box
      {{0, INT32_MIN, INT32_MIN}, {1, INT32_MAX, INT32_MAX}, {0, 7, 7}, {1, 0, -1}},  // too wide to pack: ranks
  };
  for (const auto& nodes : runs) {
    SCOPED_TRACE(testsupport::caseof(runs, nodes));
    std::vector<std::int64_t> counts;
    std::string s;
    textout out(s, "\n");
    cellbox box;
    EXPECT_TRUE(writecells(listof(nodes), 10, out, counts, {objects_per_user, true}, &box));
    EXPECT_TRUE(out.flush());
    std::vector<std::int64_t> plaincounts;
    EXPECT_EQ(s == cellfile(nodes, plaincounts, 10), box.colons == 0) << s;
    textin in(s, false);
    celltable t;
    ASSERT_TRUE(loadcells(in, counts, counts[0], t, &box));
    std::vector<cell> back;
    for (const std::int32_t code : t.row(0)) back.push_back(t.codec().decode(code));
    std::vector<cell> want;
    for (const std::int32_t id : {0, 1})
      for (const node& n : nodes)
        if (n.id == id) want.push_back({n.x, n.y});
    EXPECT_EQ(back, want) << s;
    // A file changed since it was written is refused, not misread.
    if (box.colons != 0) {
      textin changed(s.replace(0, s.find(' '), "x:1"), false);
      EXPECT_FALSE(loadcells(changed, counts, counts[0], t, &box));
    }
  }
}
