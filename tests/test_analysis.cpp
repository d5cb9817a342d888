// The report: frequency counting at the threshold boundary and the exact
// text of its lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "analysis/report.h"

using namespace cellfreq;

namespace {

// A table whose rows hold the given codes, loaded the way a run loads it.
celltable tableof(const std::vector<std::vector<std::int32_t>>& rows, std::vector<std::int64_t>& counts) {
  std::string text;
  counts.clear();
  for (const auto& r : rows) {
    for (std::int32_t c : r) text += std::to_string(c) + " ";
    text += "\n";
    counts.push_back(static_cast<std::int64_t>(r.size()));
  }
  textin in(text, false);
  celltable t;
  loadcells(in, counts, cellfreq::max(counts, static_cast<std::int32_t>(counts.size())), t);
  return t;
}

std::string report(const std::vector<std::vector<std::int32_t>>& rows, std::int32_t threshold,
                   const char* eol = "\n") {
  std::vector<std::int64_t> counts;
  const celltable t = tableof(rows, counts);
  std::string s;
  textout out(s, eol);
  freqcounter counter;
  for (std::int32_t u = 0; u < static_cast<std::int32_t>(rows.size()); ++u)
    findx(t, u, counts[static_cast<std::size_t>(u)], threshold, counter, out);
  out.flush();
  return s;
}

}  // namespace

TEST(Findx, EmptyAndDistinctRowsPrintOnlyTheClosingLine) {
  EXPECT_EQ(report({{}, {1001, 1002, 1003, 1004, 1005}}, 3), " \n \n");
}

TEST(Findx, ThresholdBoundary) {
  // Three times is not more than 3; four times is, at each position.
  EXPECT_EQ(report({{7007, 7007, 7007}}, 3), " \n");
  EXPECT_EQ(report({{7007, 1, 7007, 7007, 2, 7007}}, 3),
            "User 0 frequent cell is: C[7][7]  0,0\n"
            "User 0 frequent cell is: C[7][7]  0,2\n"
            "User 0 frequent cell is: C[7][7]  0,3\n"
            "User 0 frequent cell is: C[7][7]  0,5\n"
            " \n");
  EXPECT_EQ(report({{7007, 7007, 7007, 7007}}, 4), " \n");
}

TEST(Findx, TheUserOneExample) {
  // Code 4003 at positions 2, 5, 6 and 9 of user 1's row.
  EXPECT_EQ(report({{}, {1, 2, 4003, 3, 4, 4003, 4003, 5, 6, 4003, 7}}, 3),
            " \n"
            "User 1 frequent cell is: C[4][3]  1,2\n"
            "User 1 frequent cell is: C[4][3]  1,5\n"
            "User 1 frequent cell is: C[4][3]  1,6\n"
            "User 1 frequent cell is: C[4][3]  1,9\n"
            " \n");
}

TEST(Findx, InterleavedCellsStayInPositionOrder) {
  EXPECT_EQ(report({{5, 9, 5, 9, 5, 9, 5, 9, 5}}, 3),
            "User 0 frequent cell is: C[0][5]  0,0\n"
            "User 0 frequent cell is: C[0][9]  0,1\n"
            "User 0 frequent cell is: C[0][5]  0,2\n"
            "User 0 frequent cell is: C[0][9]  0,3\n"
            "User 0 frequent cell is: C[0][5]  0,4\n"
            "User 0 frequent cell is: C[0][9]  0,5\n"
            "User 0 frequent cell is: C[0][5]  0,6\n"
            "User 0 frequent cell is: C[0][9]  0,7\n"
            "User 0 frequent cell is: C[0][5]  0,8\n"
            " \n");
}

TEST(Findx, CodesOutsideTheExactRange) {
  // Division and remainder truncate toward zero.
  const std::string r = report({{-1005, -1005, -1005, -1005, 41000, 41000, 41000, 41000, 0, 0, 0, 0}}, 3, "\r\n");
  EXPECT_EQ(r.rfind("User 0 frequent cell is: C[-1][-5]  0,0\r\n", 0), 0u);
  EXPECT_NE(r.find("User 0 frequent cell is: C[41][0]  0,7\r\n"), std::string::npos);
  EXPECT_NE(r.find("User 0 frequent cell is: C[0][0]  0,11\r\n \r\n"), std::string::npos);
}

TEST(Findx, LongRowsAreCountedCompletely) {
  // 100,000 visits with one cell a fifth of the time: counted in linear time.
  std::vector<std::int32_t> row;
  for (int i = 0; i < 100000; ++i) row.push_back(i % 5 == 0 ? 4003 : 100000 + i);
  const std::string r = report({row}, 3);
  EXPECT_EQ(std::count(r.begin(), r.end(), '\n'), 20001);
  EXPECT_NE(r.find("C[4][3]  0,99995\n \n"), std::string::npos);
}

TEST(Freqcounter, CountsAreExactForCollidingCodes) {
  freqcounter c;
  std::vector<std::int32_t> codes;
  for (std::int32_t i = 0; i < 4096; ++i) codes.push_back(i * 1024);  // same low bits
  codes.push_back(0);
  c.count(codes);
  EXPECT_EQ(c.freq(0), 2);
  EXPECT_EQ(c.freq(1024), 1);
  EXPECT_EQ(c.freq(7), 0);
  c.count(std::vector<std::int32_t>{7});
  EXPECT_EQ(c.freq(0), 0);
  EXPECT_EQ(c.freq(7), 1);
}

TEST(Freqcounter, ArrayAndHashCountsAgree) {
  // Narrow ranges take the array, wide ones the hash table; extreme codes
  // must not overflow the range. Every count is checked against a map.
  std::mt19937 rng(11);
  freqcounter c;
  for (const std::int64_t spread : {std::int64_t{1}, std::int64_t{50}, std::int64_t{100000},
                                    std::int64_t{1} << 26, std::int64_t{1} << 32}) {
    std::vector<std::int32_t> codes;
    std::map<std::int32_t, std::int64_t> expect;
    for (int i = 0; i < 5000; ++i) {
      const auto code = static_cast<std::int32_t>(std::int64_t{INT32_MIN} + static_cast<std::int64_t>(rng() % spread) +
                                                  (spread < (std::int64_t{1} << 32) ? std::int64_t{1} << 31 : 0));
      codes.push_back(code);
      ++expect[code];
    }
    c.count(codes);
    for (const auto& [code, n] : expect) EXPECT_EQ(c.freq(code), n) << spread;
    std::int32_t absent = codes.front();
    while (expect.count(absent) != 0) absent = absent == INT32_MAX ? INT32_MIN : absent + 1;
    EXPECT_EQ(c.freq(absent), 0) << spread;
  }
}

