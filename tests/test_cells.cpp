// The cell file's exact tokens, the counts, `max`, and how the table is
// filled from the file, including cells outside the exact range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "cells/celltable.h"
#include "trace/scan.h"

using namespace cellfreq;

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
  out.flush();
  return s;
}

// Line i of a cell file (without its line end).
std::string line(const std::string& file, int i) {
  std::size_t pos = 0;
  for (int k = 0; k < i; ++k) pos = file.find('\n', pos) + 1;
  return file.substr(pos, file.find('\n', pos) - pos);
}

celltable load(const std::string& file, const std::vector<std::int64_t>& counts, std::int64_t maxcount) {
  textin in(file, false);
  celltable t;
  EXPECT_TRUE(loadcells(in, counts, maxcount, t));
  return t;
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

// The values on both sides of each edge of the table-driven tokens.
const std::vector<std::int32_t> edgevalues{0, 9, 99, 999, 1000, -1, -999, -1000, INT32_MIN, INT32_MAX};

// `n` integers read from `text` by scanint() alone, zero where a read
// converts nothing.
std::vector<std::int32_t> scanall(const std::string& text, std::size_t n) {
  textin in(text, false);
  std::vector<std::int32_t> v(n, 0);
  for (std::int32_t& c : v) scanint(in, c);
  return v;
}

// All cells that loadcells() read, row after row.
std::vector<std::int32_t> cellsof(const celltable& t) {
  std::vector<std::int32_t> v;
  for (std::int32_t r = 0; r < t.rows(); ++r) v.insert(v.end(), t.row(r).begin(), t.row(r).end());
  return v;
}

// Three rows that together take `n` integers.
std::vector<std::int64_t> threerows(std::int64_t n) { return {n / 3, n / 3, n - 2 * (n / 3)}; }

}  // namespace

TEST(Writecells, OneLinePerObjectInTraceOrder) {
  std::vector<std::int64_t> counts;
  const std::string f = cellfile({{17, 4, 3}, {3, 12, 9}, {17, 5, 3}, {1000, 1, 1}, {-1, 1, 1}, {0, 0, 0}}, counts);
  EXPECT_EQ(std::count(f.begin(), f.end(), '\n'), 1000);
  EXPECT_EQ(line(f, 0), "000000 ");
  EXPECT_EQ(line(f, 3), "012009 ");
  EXPECT_EQ(line(f, 17), "004003 005003 ");
  EXPECT_EQ(line(f, 999), "");
  ASSERT_EQ(counts.size(), 100u);
  EXPECT_EQ(counts[0], 2);
  EXPECT_EQ(counts[1], 2);
  EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), std::int64_t{0}), 4);
}

TEST(Writecells, EmptyTraceGivesOneZeroToken) {
  std::vector<std::int64_t> counts;
  const std::string f = cellfile({{0, 0, 0}}, counts);
  EXPECT_EQ(f, "000000 \n" + std::string(999, '\n'));
  EXPECT_EQ(counts[0], 1);
  EXPECT_EQ(cellfreq::max(counts, 100), 1);
}

TEST(Writecells, TokensOutsideTheExactRange) {
  std::vector<std::int64_t> counts;
  const std::string f =
      cellfile({{1, 1234, 5}, {2, 4, -1}, {3, -1, 5}, {4, 4, 1000}, {5, -2147483647 - 1, 2147483647}}, counts);
  EXPECT_EQ(line(f, 1), "1234005 ");
  EXPECT_EQ(line(f, 2), "004-001 ");
  EXPECT_EQ(line(f, 3), "-001005 ");
  EXPECT_EQ(line(f, 4), "0041000 ");
  EXPECT_EQ(line(f, 5), "-21474836482147483647 ");
}

TEST(Writecells, LargerFleetsAndCrlf) {
  std::vector<std::int64_t> counts;
  std::string s;
  textout out(s, "\r\n");
  writecells(listof({{1500, 1, 2}}), 2000, out, counts);
  out.flush();
  EXPECT_EQ(counts.size(), 200u);
  EXPECT_EQ(counts[150], 1);
  EXPECT_EQ(s.size(), 2000u * 2 + 7);
  EXPECT_EQ(s.substr(1500 * 2, 9), "001002 \r\n");
}

TEST(Writecells, TokensAroundTheTableEdgesAreThoseOfPrintf) {
  // Every pair of edge values, on one object, with wide and narrow tokens
  // next to each other in every order.
  std::vector<node> nodes;
  for (const std::int32_t x : edgevalues)
    for (const std::int32_t y : edgevalues) nodes.push_back({0, x, y});
  std::vector<std::int64_t> counts;
  const std::string f = cellfile(nodes, counts, 10);
  EXPECT_EQ(f, printfcells(nodes, 10, "\n"));
  EXPECT_EQ(counts, std::vector<std::int64_t>{100});
  const std::string first = "000000 000009 000099 000999 0001000 000-001 000-999 000-1000 ";
  const std::string last = "2147483647-1000 2147483647-2147483648 21474836472147483647 ";
  EXPECT_EQ(line(f, 0).substr(0, first.size()), first);
  EXPECT_EQ(line(f, 0).substr(line(f, 0).size() - last.size()), last);
}

TEST(Writecells, LongLinesAndManyObjectsAreThoseOfPrintf) {
  // Lines far longer than any output block, with a wide token now and then,
  // records of ids outside the fleet among them, and objects without any
  // record; with both line ends.
  std::vector<node> nodes;
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
    std::vector<std::int64_t> counts;
    const std::string s = cellfile(nodes, counts, 20, eol);
    EXPECT_EQ(s, printfcells(nodes, 20, eol));
    EXPECT_EQ(counts, (std::vector<std::int64_t>{inuser(0), inuser(1)}));
  }
}

TEST(Max, LooksOnlyAtTheAnalysedUsers) {
  std::vector<std::int64_t> counts(100, 0);
  EXPECT_EQ(cellfreq::max(counts, 100), 0);
  counts[3] = 7;
  counts[50] = 300;
  EXPECT_EQ(cellfreq::max(counts, 10), 7);
  EXPECT_EQ(cellfreq::max(counts, 100), 300);
  EXPECT_EQ(cellfreq::max(counts, 0), 0);
}

TEST(Loadcells, EachAnalysedUserGetsItsCodes) {
  std::vector<std::int64_t> counts;
  std::vector<node> nodes;
  for (int i = 0; i < 3; ++i) nodes.push_back({10, 4, 3 + i});
  nodes.push_back({25, 12, 9});
  nodes.push_back({0, 0, 0});
  const std::string f = cellfile(nodes, counts);
  const celltable t = load(f, counts, cellfreq::max(counts, 100));
  EXPECT_EQ(t.rows(), 100);
  EXPECT_EQ(t.width(), 203);
  EXPECT_EQ(std::vector<std::int32_t>(t.row(0).begin(), t.row(0).end()), std::vector<std::int32_t>{0});
  EXPECT_EQ(std::vector<std::int32_t>(t.row(1).begin(), t.row(1).end()),
            (std::vector<std::int32_t>{4003, 4004, 4005}));
  EXPECT_EQ(t.at(2, 0), 12009);
  EXPECT_EQ(t.at(2, 1), 0);
  EXPECT_TRUE(t.row(3).empty());
}

TEST(Loadcells, RowsGrowPastTheNarrowestWidth) {
  // 250 visits for user 0: every one of them lands in its row.
  std::vector<std::int64_t> counts;
  std::vector<node> nodes;
  for (int i = 0; i < 250; ++i) nodes.push_back({i % 10, i, i % 7});
  const std::string f = cellfile(nodes, counts);
  const celltable t = load(f, counts, cellfreq::max(counts, 100));
  EXPECT_EQ(t.width(), 250);
  ASSERT_EQ(t.row(0).size(), 250u);
  // Object 0's visits come first: i = 0, 10, 20, ...
  EXPECT_EQ(t.at(0, 0), 0);
  EXPECT_EQ(t.at(0, 1), 10003);
  EXPECT_EQ(t.at(0, 25), 1001);  // then object 1: i = 1
}

TEST(Loadcells, LaterUsersSpillPastUnanalysedRows) {
  // Only users 0 … 9 are analysed: their largest count (2) bounds every row,
  // so user 10's four codes fill two in its row and two in the next one.
  std::vector<std::int64_t> counts;
  const std::string f = cellfile(
      {{0, 1, 1}, {1, 1, 2}, {100, 5, 1}, {100, 5, 2}, {100, 5, 3}, {100, 5, 4}, {110, 9, 9}}, counts);
  const celltable t = load(f, counts, cellfreq::max(counts, 10));
  EXPECT_EQ(t.width(), 203);
  EXPECT_EQ(t.at(0, 0), 1001);
  EXPECT_EQ(t.at(0, 1), 1002);
  EXPECT_EQ(t.at(10, 0), 5001);
  EXPECT_EQ(t.at(10, 1), 5002);
  EXPECT_EQ(t.at(11, 0), 5003);
  EXPECT_EQ(t.at(11, 1), 0);  // user 11's own count is 1: one code read
  EXPECT_EQ(t.at(12, 0), 0);
}

TEST(Loadcells, NegativeTokensShiftTheStream) {
  // "004-001" reads as two integers, so every later code moves one place on;
  // "-001005" reads as one code, -1005.
  std::vector<std::int64_t> counts;
  const std::string f = cellfile({{0, 4, -1}, {1, -1, 5}, {2, 4, 1000}, {10, 7, 7}}, counts);
  const celltable t = load(f, counts, cellfreq::max(counts, 100));
  EXPECT_EQ(std::vector<std::int32_t>(t.row(0).begin(), t.row(0).end()),
            (std::vector<std::int32_t>{4, -1, -1005}));
  EXPECT_EQ(t.at(1, 0), 41000);
}

TEST(Loadcells, ShortFileLeavesZerosAndHugeTokensSaturate) {
  const std::vector<std::int64_t> counts{3, 2};
  const celltable t = load("99999999999999 12 ", counts, 3);
  EXPECT_EQ(t.at(0, 0), 2147483647);
  EXPECT_EQ(t.at(0, 1), 12);
  EXPECT_EQ(t.at(0, 2), 0);
  EXPECT_EQ(t.at(1, 0), 0);
  EXPECT_EQ(t.row(1).size(), 2u);
}

namespace {

// Texts that test every way the direct token reads can end: the writer's
// own tokens and line ends, next to whitespace of every kind, lone carriage
// returns, signs, digit runs of every length, values that saturate, and
// partial numbers that convert nothing.
std::string mixedtext(std::uint32_t seed, int ntokens) {
  const char* const separators[] = {" ", " ", " ", "\n", " \n", " \r\n", "\r\n\r\n", "\r", " \r ",
                                    "\t", "\v", "\f", "  \t\r\n ", ""};
  const char* const tokens[] = {"046054",     "000000",    "999999",     "0",          "9",
                                "99",         "999",       "1000",       "0001000",    "1234567",
                                "12345678",   "123456789", "1234567890", "000000000000000000007",
                                "2147483647", "2147483648", "99999999999999", "-5", "+5", "-001005",
                                "-2147483648", "-2147483649", "-99999999999", "-", "+", "--5", "-+5"};
  std::string text;
  std::uint32_t r = seed;
  for (int i = 0; i < ntokens; ++i) {
    r = r * 1664525u + 1013904223u;
    // Mostly the writer's shape, so that direct reads run into the rest.
    const bool plain = (r >> 24) < 160;
    text += plain ? " " : separators[(r >> 8) % std::size(separators)];
    text += plain ? "046054" : tokens[(r >> 16) % std::size(tokens)];
  }
  return text;
}

}  // namespace

TEST(Loadcells, ReadsLikeScanintAloneInMemory) {
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    const std::string text = mixedtext(seed, 3000);
    // Some integers more than the text holds: the last cells stay 0.
    const std::int64_t n = 3000 + 5;
    const auto counts = threerows(n);
    EXPECT_EQ(cellsof(load(text, counts, n)), scanall(text, n)) << "seed " << seed;
  }
}

TEST(Loadcells, ReadsLikeScanintAloneAcrossBlockBoundaries) {
  // The cell file read from a file in blocks of many small sizes, so that
  // tokens, digit runs, signs and CRLF pairs straddle block boundaries.
  const std::string text = mixedtext(7, 600);
  const std::int64_t n = 600 + 2;
  const auto counts = threerows(n);
  const std::vector<std::int32_t> expect = scanall(text, n);
  for (std::size_t block = 16; block < 160; block += block < 64 ? 1 : 7) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    textin in(f, false, block);
    celltable t;
    EXPECT_TRUE(loadcells(in, counts, n, t));
    EXPECT_EQ(cellsof(t), expect) << "block " << block;
    std::fclose(f);
  }
}

TEST(Loadcells, ANonNumberEndsTheStreamAsForScanint) {
  // A byte that starts no number stops every later read, right after the
  // writer's tokens and after a partial number alike.
  for (const std::string stop : {"x", "-x", "+-", ".5"}) {
    std::string text;
    for (int i = 0; i < 20; ++i) text += " 046054";
    text += " " + stop + " 046054 046054\r\n";
    for (int i = 0; i < 20; ++i) text += " 123456";
    EXPECT_EQ(cellsof(load(text, threerows(50), 50)), scanall(text, 50)) << stop;
  }
}

TEST(Loadcells, TheWritersEdgeTokensReadBackLikeScanint) {
  std::vector<node> nodes;
  for (const std::int32_t x : edgevalues)
    for (const std::int32_t y : edgevalues) nodes.push_back({static_cast<std::int32_t>(nodes.size() % 20), x, y});
  for (const std::string eol : {"\n", "\r\n"}) {
    std::vector<std::int64_t> counts;
    const std::string s = cellfile(nodes, counts, 20, eol);
    const std::int64_t n = std::accumulate(counts.begin(), counts.end(), std::int64_t{0});
    EXPECT_EQ(cellsof(load(s, counts, cellfreq::max(counts, 2))), scanall(s, static_cast<std::size_t>(n)));
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
    std::vector<std::int64_t> counts;
    std::string s;
    textout out(s, "\n");
    cellbox box;
    EXPECT_TRUE(writecells(listof(nodes), 10, out, counts, {objects_per_user, true}, &box));
    out.flush();
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
