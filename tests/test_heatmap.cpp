// The heat map: aggregation per cell, binning of large grids, and SVG that
// an XML parser reads and that draws one square per visited cell or bin.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/heatmap.h"
#include "support/cases.h"
#include "support/runner.h"

using namespace cellfreq;

namespace {

// The record list of `nodes`, in order.
recordlist visits(const std::vector<node>& nodes) {
  recordlist list;
  for (const node& n : nodes) list.push(n);
  return list;
}

// The heat map of `grid` in 400 m cells.
std::string svgof(const heatgrid& grid) {
  std::string s;
  textout out(s);
  writesvg(grid, 400.0f, out);
  EXPECT_TRUE(out.flush());
  return s;
}

// What an XML parser (Python's, where installed) finds wrong with `svg`;
// empty when it is well-formed.
std::string xmlproblem(const std::string& svg) {
  static const bool parser = testsupport::have("python3");
  const std::string path = testing::TempDir() + "heatmap-check.svg";
  testsupport::writefile(path, svg);
  return parser ? testsupport::shell("python3 -c 'import sys, xml.dom.minidom as m; m.parse(sys.argv[1])' " + path +
                                     " 2>&1 || echo not well-formed")
                : "";
}

// The number of squares drawn in paths whose start is `pathstart`.
std::size_t squares(const std::string& svg, const std::string& pathstart) {
  std::size_t n = 0;
  for (std::size_t p = svg.find(pathstart); p != std::string::npos; p = svg.find(pathstart, p + 1)) {
    const std::size_t d = svg.find(" d=\"", p) + 4, end = svg.find('"', d);
    n += static_cast<std::size_t>(std::count(svg.begin() + static_cast<long>(d), svg.begin() + static_cast<long>(end), 'M'));
  }
  return n;
}

// A heat grid in one line: its bin, totals and box, then each square as
// (bx,by)visits, marked * where it is frequent.
std::string describe(const heatgrid& g) {
  std::ostringstream s;
  s << "bin " << g.bin << ", " << g.visits << " visits in " << g.cells << " cells, most " << g.maxvisits << ", x "
    << g.bxmin << ".." << g.bxmax << ", y " << g.bymin << ".." << g.bymax << ":";
  for (const heatsquare& q : g.squares) s << " (" << q.bx << "," << q.by << ")" << q.visits << (q.frequent ? "*" : "");
  return s.str();
}

}  // namespace

// Squares are ordered row by row from the south, west to east; objects
// beyond the range are not drawn; too many squares coarsen into bins, and
// bins are floor divisions, so that negative cells bin toward minus
// infinity.
TEST(HeatGrid, AggregatesIntoSquaresAndBins) {
  std::vector<node> hundred;
  for (int x = 0; x < 10; ++x)
    for (int y = 0; y < 10; ++y) hundred.push_back({0, x, y});
  const struct {
    heatgrid grid;
    std::string want;
  } cases[] = {
      {aggregate(visits({{0, 1, 1}, {3, 1, 1}, {5, 1, 1}, {7, 2, 1}, {999, 5, 4}, {999, 5, 4}, {1000, 9, 9}, {-1, 9, 9}}),
                 1000, {{5, 4}, {77, 77}}),
       "bin 1, 6 visits in 3 cells, most 3, x 1..5, y 1..4: (1,1)3 (2,1)1 (5,4)2*"},
      // 2 × 2 bins still give 25 squares; 4 × 4 bins give 3 × 3.
      {aggregate(visits(hundred), 10, {}, heatlimits{10, 500}),
       "bin 4, 100 visits in 100 cells, most 16, x 0..2, y 0..2: "
       "(0,0)16 (1,0)16 (2,0)8 (0,1)16 (1,1)16 (2,1)8 (0,2)8 (1,2)8 (2,2)4"},
      {aggregate(visits({{0, -1, 0}, {0, 0, 0}, {0, 1, 0}}), 10, {}, heatlimits{2, 500}),
       "bin 2, 3 visits in 3 cells, most 2, x -1..0, y 0..0: (-1,0)1 (0,0)2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, c));
    EXPECT_EQ(describe(c.grid), c.want);
  }
  EXPECT_NE(svgof(cases[1].grid).find("each square: 4 \xc3\x97 4 cells"), std::string::npos);
  // Saturated cells at both ends of the range still fit a picture.
  const heatgrid wide = aggregate(visits({{0, INT32_MIN, INT32_MIN}, {0, INT32_MAX, INT32_MAX}, {0, 0, 0}}), 10, {});
  EXPECT_TRUE(wide.squares.size() == 3u && wide.bxmax - wide.bxmin < 500);
  EXPECT_EQ(xmlproblem(svgof(wide)), "");
}

TEST(HeatSvg, OneSquarePerVisitedCellAndOneOutlinePerFrequentCell) {
  const recordlist list = visits({{0, 1, 1}, {0, 1, 1}, {0, 2, 1}, {0, 3, 3}, {0, 3, 3}, {0, 3, 3}, {0, 3, 3}});
  const std::string svg = svgof(aggregate(list, 10, {{3, 3}}));
  EXPECT_EQ(xmlproblem(svg), "");
  EXPECT_EQ(squares(svg, "<path class=\"level\""), 3u);
  EXPECT_EQ(squares(svg, "<path class=\"frequent\""), 1u);
  // North up: cell (3, 3) is in the top row, (1, 1) at the bottom left.
  EXPECT_NE(svg.find("M2 0h1v1h-1z"), std::string::npos);
  EXPECT_NE(svg.find("M0 2h1v1h-1z"), std::string::npos);
  EXPECT_NE(svg.find("7 visits in 3 cells"), std::string::npos);
  EXPECT_NE(svg.find("800 m"), std::string::npos);  // the axis shows metres
  // No visits give an empty but valid picture.
  const std::string none = svgof(aggregate(visits({{5000, 1, 1}}), 10, {}));
  EXPECT_EQ(xmlproblem(none), "");
  EXPECT_NE(none.find("no visits"), std::string::npos);
  EXPECT_EQ(squares(none, "<path class=\"level\""), 0u);
}
