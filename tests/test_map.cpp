// The web map: its data block byte for byte, its size bound for a grid of
// any size, and the command's --map output and failures. The page's
// drawing is checked in a real browser by test_browser.py.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "analysis/webmap.h"
#include "support/inprocess.h"
#include "support/runner.h"

using namespace cellfreq;
using testsupport::cat;

namespace {

// The table whose rows hold `rows` (cell codes), loaded as a run loads it,
// with each row's count in `counts`.
celltable tableof(const std::vector<std::vector<std::int32_t>>& rows, std::vector<std::int64_t>& counts) {
  std::string text;
  counts.clear();
  for (const auto& r : rows) {
    for (const std::int32_t c : r) text.append(std::to_string(c)).append(" ");
    text += "\n";
    counts.push_back(static_cast<std::int64_t>(r.size()));
  }
  textin in(text, false);
  celltable t;
  EXPECT_TRUE(loadcells(in, counts, cellfreq::max(counts, static_cast<std::int32_t>(counts.size())), t));
  return t;
}

// The data block of the map of `rows` (user u's row visits code
// x * 1000 + y), every row's visits also counted as the visits per cell.
std::string dataof(const std::vector<std::vector<std::int32_t>>& rows, const objectids& ids,
                   const geojsonlayer& layer, std::int32_t threshold = 2) {
  std::vector<std::int64_t> counts;
  const celltable table = tableof(rows, counts);
  mapusers users(ids);
  users.add(table, counts, 0, static_cast<std::int32_t>(rows.size()), threshold);
  cellvisits visits;
  for (const auto& r : rows)
    for (const std::int32_t c : r) visits.addcount((std::uint64_t{static_cast<std::uint32_t>(c / 1000)} << 32) | (c % 1000), 1);
  std::string s;
  textout out(s);
  writemapdata(aggregate(visits, {}, maplimits), visits, users, layer, out);
  EXPECT_TRUE(out.flush());
  return s;
}

// The data block of a written page.
std::string datablock(const std::string& page) {
  const std::string open = "<script type=\"application/json\" id=\"cellmap-data\">";
  const std::size_t from = page.find(open) + open.size();
  return page.substr(from, page.find("</script>", from) - from);
}

}  // namespace

// User 0 visits (3, 4) three times and (5, 4) once, user 1 (3, 4) three
// times and (9, 2) three times: with threshold 2, (3, 4) is frequent for
// both, (9, 2) for user 1. Without a CRS there is no lattice and the users'
// ids are their object numbers; with one, the lattice's nodes are the
// projected corners of the squares, and ids are escaped so that none ends
// the script element.
TEST(MapData, ByteExactForATinyTrace) {
  const std::vector<std::vector<std::int32_t>> rows = {{3004, 3004, 5004, 3004}, {9002, 3004, 9002, 3004, 9002, 3004}};
  const std::string tail = cat({",\n\"frequent\":[3,4,6,9,2,3]",
                                ",\n\"users\":[0,1]"});
  const std::string head =
      "{\"grid_crs\":null,\n\"cell_size\":400,\n\"bin\":1,\n\"cells\":3,\n\"visits\":10,\n\"maxvisits\":6,"
      "\n\"levels\":[1,2,3,4,5],\n\"colours\":[\"#ffffcc\",\"#fed976\",\"#fd8d3c\",\"#fc4e2a\",\"#b10026\"],"
      "\n\"outline\":\"#1f3fbf\",\n\"origin\":[3,2],\n\"squares\":[6,0,3,0,2,6,2,2,1]";
  cellfreq::idtable ids;
  for (const char* id : {"a", "b<\"/script>", "c", "d", "e", "f", "g", "h", "i", "j", "k"}) ids.push_back(id);
  geojsonlayer wgs;
  wgs.cellsize = 400;
  wgs.gridcrs = "EPSG:<1>";
  wgs.project = [](double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      x[i] = 8 + x[i] / 100000;
      y[i] = y[i] < 500 ? std::numeric_limits<double>::infinity() : 53 + y[i] / 100000;
    }
  };
  const objectids none{nullptr, 10};
  const objectids some{&ids, 10};
  const struct {
    const char* name;
    std::string got, want;
  } cases[] = {
      {"grid metres", dataof(rows, none, geojsonlayer{}),
       cat({head, ",\n\"lattice\":null", tail,
            ",\n\"ids\":[[\"0\",\"1\",\"2\",\"3\",\"4\",\"5\",\"6\",\"7\",\"8\",\"9\"],"
            "[\"10\",\"11\",\"12\",\"13\",\"14\",\"15\",\"16\",\"17\",\"18\",\"19\"]]",
            ",\n\"pairs\":[0,0,3,1,0,3,1,1,3]", ",\n\"all_users\":2", ",\n\"all_pairs\":3}"})},
      {"projected, with ids", dataof(rows, some, wgs),
       cat({"{\"grid_crs\":\"EPSG:\\u003c1>\"", head.substr(head.find(",\n\"cell_size\"")),
            ",\n\"lattice\":{\"x0\":800,\"y0\":400,\"step_x\":400,\"step_y\":400,\"nx\":8,\"ny\":4,\"lonlat\":["
            "8.008,null,8.012,null,8.016,null,8.02,null,8.024,null,8.028,null,8.032,null,8.036,null,"
            "8.008,53.008,8.012,53.008,8.016,53.008,8.02,53.008,8.024,53.008,8.028,53.008,8.032,53.008,8.036,53.008,"
            "8.008,53.012,8.012,53.012,8.016,53.012,8.02,53.012,8.024,53.012,8.028,53.012,8.032,53.012,8.036,53.012,"
            "8.008,53.016,8.012,53.016,8.016,53.016,8.02,53.016,8.024,53.016,8.028,53.016,8.032,53.016,8.036,53.016]}",
            tail,
            ",\n\"ids\":[[\"a\",\"b\\u003c\\\"/script>\",\"c\",\"d\",\"e\",\"f\",\"g\",\"h\",\"i\",\"j\"],[\"k\"]]",
            ",\n\"pairs\":[0,0,3,1,0,3,1,1,3]", ",\n\"all_users\":2", ",\n\"all_pairs\":3}"})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.got, c.want);
  }
}

// A grid of a million visited cells and 20 000 users with 20 frequent
// cells each: the squares merge into bins and the users beyond the budget
// are only counted, so the page stays under 10 MB and says what it left out.
TEST(MapPage, StaysUnder10MBForALargeGrid) {
  cellvisits visits;
  for (std::uint64_t x = 5000; x < 6000; ++x)
    for (std::uint64_t y = 0; y < 1000; ++y) visits.addcount(x << 32 | y, static_cast<std::int64_t>(1000000 + x * y));
  std::vector<std::vector<std::int32_t>> rows(20000);
  for (std::size_t u = 0; u < rows.size(); ++u)
    for (std::int32_t k = 0; k < 80; ++k) rows[u].push_back((5000 + static_cast<std::int32_t>(u % 1000)) * 1000 + k / 4);
  std::vector<std::int64_t> counts;
  const celltable table = tableof(rows, counts);
  cellfreq::idtable ids;
  for (int i = 0; i < 200000; ++i) ids.push_back(std::string(40, 'v'));
  mapusers users(objectids{&ids, 10});
  users.add(table, counts, 0, 20000, 3);
  geojsonlayer layer;
  layer.project = [](double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      x[i] = 8.123456789 + x[i] / 1e7;
      y[i] = 53.123456789 + y[i] / 1e7;
    }
  };
  const heatgrid grid = aggregate(visits, {}, maplimits);
  std::string page;
  textout out(page);
  writemappage(grid, visits, users, layer, out);
  EXPECT_TRUE(out.flush());
  EXPECT_EQ(grid.bin, 4);
  EXPECT_EQ(grid.squares.size(), 62500u);
  EXPECT_LT(page.size(), std::size_t{10} << 20);
  EXPECT_EQ(users.allpairs(), 400000);
  EXPECT_EQ(users.allusers(), 20000);
  EXPECT_LT(users.shown().size(), 20000u);
  EXPECT_GT(users.shown().size(), 100u);
}

// The command writes the page, whole, with the map library and its
// licence in it; a path it cannot write fails the run and keeps the old
// file; --map needs a file name and a whole run.
TEST(MapPage, CommandWritesItOrFails) {
  testsupport::scratch s;
  const std::string trace = (s.dir() / "trace.txt").string(), page = (s.dir() / "map.html").string();
  testsupport::writefile(trace, testsupport::user_one_trace());
  const testsupport::ran ok = testsupport::cellfreqhere("--users 2 --map " + page + " " + trace, s.dir());
  ASSERT_EQ(ok.status, 0) << ok.err;
  const std::string html = testsupport::readfile(page);
  EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_EQ(html.substr(html.size() - 8), "</html>\n");
  EXPECT_NE(html.find("Vladimir Agafonkin"), std::string::npos);
  EXPECT_NE(html.find("Redistribution and use in source and binary forms"), std::string::npos);
  EXPECT_EQ(html.find("sourceMappingURL"), std::string::npos);
  EXPECT_EQ(html.find("url(images/"), std::string::npos);
  EXPECT_NE(datablock(html).find("\"frequent\":[4,3,4]"), std::string::npos) << datablock(html);
  EXPECT_NE(datablock(html).find("\"pairs\":[0,0,4]"), std::string::npos);

  const struct {
    const char* name;
    std::string args;
    int status;
    std::string err;
  } cases[] = {
      {"no such folder", "--map " + (s.dir() / "none" / "map.html").string() + " " + trace, 1,
       "cellfreq: cannot create map '" + (s.dir() / "none" / "map.html").string() + "'"},
      {"a piece", "--map " + page + " --work " + s.dir().string() + " --join " + trace, 2,
       "cellfreq: --map is written by a whole run only, not by a run in pieces\n"},
      {"no name", "--map= " + trace, 2, "cellfreq: invalid --map '': expected a file name\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const testsupport::ran r = testsupport::cellfreqhere(c.args, s.dir());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
    EXPECT_EQ(testsupport::readfile(page), html);
  }
}
