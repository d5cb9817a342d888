// The cell file's exact tokens, the counts, `max`, and how the table is
// filled from the file, including cells outside the exact range.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "cells/celltable.h"

using namespace cellfreq;

namespace {

recordlist listof(const std::vector<node>& nodes) {
  recordlist l;
  for (const node& n : nodes) l.push(n);
  return l;
}

std::string cellfile(const std::vector<node>& nodes, std::vector<std::int64_t>& counts,
                     std::int32_t nobjects = 1000) {
  std::string s;
  textout out(s, "\n");
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
