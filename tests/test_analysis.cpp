// The report: frequency counting at the threshold boundary and the exact
// text of its lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "analysis/report.h"
#include "support/cases.h"

using namespace cellfreq;
using rows = std::vector<std::vector<std::int32_t>>;

namespace {

// The report of a table whose rows hold the given codes, loaded the way a
// run loads it.
std::string report(const rows& table, std::int32_t threshold, const char* eol = "\n") {
  std::string text;
  std::vector<std::int64_t> counts;
  for (const auto& r : table) {
    for (std::int32_t c : r) text += std::to_string(c) + " ";
    text += "\n";
    counts.push_back(static_cast<std::int64_t>(r.size()));
  }
  textin in(text, false);
  celltable t;
  EXPECT_TRUE(loadcells(in, counts, cellfreq::max(counts, static_cast<std::int32_t>(counts.size())), t));
  std::string s;
  textout out(s, eol);
  freqcounter counter;
  for (std::int32_t u = 0; u < static_cast<std::int32_t>(table.size()); ++u)
    findx(t, u, counts[static_cast<std::size_t>(u)], threshold, counter, out);
  EXPECT_TRUE(out.flush());
  return s;
}

// "User U frequent cell is: C[X][Y]  U,P" with the line end.
std::string at(int u, int x, int y, int p, const char* eol = "\n") {
  std::string s = "User ";
  s.append(std::to_string(u)).append(" frequent cell is: C[").append(std::to_string(x)).append("][");
  s.append(std::to_string(y)).append("]  ").append(std::to_string(u)).append(",").append(std::to_string(p));
  return s.append(eol);
}

}  // namespace

TEST(Findx, ReportsEveryVisitAboveTheThresholdInPositionOrder) {
  const struct {
    rows table;
    std::int32_t threshold;
    std::string want;
  } cases[] = {
      {{{}, {1001, 1002, 1003, 1004, 1005}}, 3, " \n \n"},
      // Three times is not more than 3; four times is, at each position.
      {{{7007, 7007, 7007}}, 3, " \n"},
      {{{7007, 1, 7007, 7007, 2, 7007}}, 3, at(0, 7, 7, 0) + at(0, 7, 7, 2) + at(0, 7, 7, 3) + at(0, 7, 7, 5) + " \n"},
      {{{7007, 7007, 7007, 7007}}, 4, " \n"},
      {{{}, {4003, 2, 4003, 4003, 4003}}, 3, " \n" + at(1, 4, 3, 0) + at(1, 4, 3, 2) + at(1, 4, 3, 3) + at(1, 4, 3, 4) + " \n"},
      {{{5, 9, 5, 9, 5, 9, 5, 9}}, 3,
       at(0, 0, 5, 0) + at(0, 0, 9, 1) + at(0, 0, 5, 2) + at(0, 0, 9, 3) + at(0, 0, 5, 4) + at(0, 0, 9, 5) +
           at(0, 0, 5, 6) + at(0, 0, 9, 7) + " \n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, c));
    EXPECT_EQ(report(c.table, c.threshold), c.want);
  }
  // Codes read from tokens outside the exact range: division and remainder
  // truncate toward zero.
  EXPECT_EQ(report({{-1005, -1005, -1005, -1005, 41000, 41000, 41000, 41000}}, 3, "\r\n"),
            at(0, -1, -5, 0, "\r\n") + at(0, -1, -5, 1, "\r\n") + at(0, -1, -5, 2, "\r\n") + at(0, -1, -5, 3, "\r\n") +
                at(0, 41, 0, 4, "\r\n") + at(0, 41, 0, 5, "\r\n") + at(0, 41, 0, 6, "\r\n") + at(0, 41, 0, 7, "\r\n") +
                " \r\n");
}

// 100,000 visits with one cell a fifth of the time and every other code
// once, all with the same low bits: spread so wide that they are counted in
// the hash table, where they collide, in linear time.
TEST(Findx, LongWideRowsAreCountedCompletely) {
  std::vector<std::int32_t> row;
  for (int i = 0; i < 100000; ++i) row.push_back(i % 5 == 0 ? 4003 : i * 1024);
  const std::string r = report({row}, 3);
  EXPECT_EQ(std::count(r.begin(), r.end(), '\n'), 20001);
  EXPECT_TRUE(r.starts_with(at(0, 4, 3, 0) + at(0, 4, 3, 5)));
  EXPECT_TRUE(r.ends_with(at(0, 4, 3, 99995) + " \n"));
}
