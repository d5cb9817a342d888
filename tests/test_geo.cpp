// Cell edges against the truncation rule, the exact GeoJSON bytes, and the
// CRS transforms, checked where possible against PROJ's cs2cs and GDAL's
// ogrinfo.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "analysis/geojson.h"
#include "geo/crs.h"
#include "support/runner.h"

using namespace cellfreq;
using testsupport::have;
using testsupport::shell;

namespace {

constexpr double notanumber = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

std::string geojson(const geojsonlayer& layer, const std::function<void(geojsonwriter&)>& body) {
  std::string s;
  textout out(s, "\n");
  geojsonwriter w(layer, out);
  body(w);
  w.finish();
  EXPECT_TRUE(out.flush());
  return s;
}

// The message of `r`'s failure; empty when it succeeded.
template <class T>
std::string whynot(const result<T>& r) {
  return r ? std::string() : r.error().what;
}

std::unique_ptr<crstransform> crs(const std::string& input, const std::string& grid = "") {
  auto t = crstransform::create(input, grid);
  EXPECT_TRUE(t.ok()) << whynot(t);
  return t ? std::move(t.value()) : nullptr;
}

}  // namespace

TEST(CellEdges, MatchTheTruncationRuleAtAndAroundEveryEdge) {
  struct row {
    std::int32_t c;
    double lo, hi;
    bool loin, hiin;
  };
  const double s = 400, d = 1e-6;
  const auto cellof = [&](double v) { return static_cast<std::int32_t>(std::trunc(v / s + 1)); };
  for (const row& r : std::vector<row>{{1, 0, 400, true, false}, {2, 400, 800, true, false}, {0, -800, 0, false, false},
                                       {-1, -1200, -800, false, true}, {-2, -1600, -1200, false, true},
                                       {INT32_MIN, (INT32_MIN - 2.0) * s, (INT32_MIN - 1.0) * s, false, true},
                                       {INT32_MAX, (INT32_MAX - 1.0) * s, INT32_MAX * s, true, false}}) {
    SCOPED_TRACE("cell " + std::to_string(r.c));
    EXPECT_EQ(celledges(r.c, s), std::make_pair(r.lo, r.hi)) << r.c;
    if (r.c == INT32_MIN || r.c == INT32_MAX) continue;  // beyond exact metres
    EXPECT_EQ(cellof(r.lo) == r.c, r.loin) << r.c;
    EXPECT_EQ(cellof(r.hi) == r.c, r.hiin) << r.c;
    EXPECT_EQ(cellof(r.lo + d), r.c);
    EXPECT_EQ(cellof(r.hi - d), r.c);
    EXPECT_NE(cellof(r.lo - d), r.c);
    EXPECT_NE(cellof(r.hi + d), r.c);
  }
}

TEST(GeoJson, ExactBytesWithoutProjectionAndValidUtf8Ids) {
  const std::vector<std::string_view> ids{"30", "a\"b\\c\x01\xc3\xa9\xff"};
  EXPECT_EQ(geojson({400, "EPSG:32632", {}},
                    [&](geojsonwriter& w) {
                      w.frequent(3, ids, 2, -1, 5, 7);
                      w.heat(0, 1, 9);
                    }),
            "{\"type\":\"FeatureCollection\",\"features\":[\n"
            "{\"type\":\"Feature\",\"geometry\":{\"type\":\"Polygon\",\"coordinates\":[[[400,-1200],[800,-1200],[800,-800],"
            "[400,-800],[400,-1200]]]},\"properties\":{\"user\":3,\"ids\":[\"30\",\"a\\\"b\\\\c\\u0001\xc3\xa9\\u00ff\"],"
            "\"x\":2,\"y\":-1,\"visits\":5,\"first_position\":7,\"grid_crs\":\"EPSG:32632\",\"cell_size\":400}},\n"
            "{\"type\":\"Feature\",\"geometry\":{\"type\":\"Polygon\",\"coordinates\":[[[-800,0],[0,0],[0,400],[-800,400],"
            "[-800,0]]]},\"properties\":{\"x\":0,\"y\":1,\"visits\":9,\"grid_crs\":\"EPSG:32632\",\"cell_size\":400}}\n"
            "]}\n");
  EXPECT_EQ(geojson({12.5, "", {}}, [](geojsonwriter&) {}), "{\"type\":\"FeatureCollection\",\"features\":[\n]}\n");
  // A corner that does not project leaves the feature without a geometry.
  const std::string nulled = geojson({400, "", [](double*, double* y, std::size_t) { y[0] = notanumber; }},
                                     [](geojsonwriter& w) { w.heat(1, 1, 1); });
  EXPECT_NE(nulled.find("{\"type\":\"Feature\",\"geometry\":null,\"properties\":{\"x\":1,"), std::string::npos) << nulled;
  // Ids stay valid UTF-8 JSON strings.
  const std::pair<std::string, std::string> rows[] = {
      {"\n\x1f\x7f", "\\u000a\\u001f\x7f"},                      // control bytes; DEL is allowed as is
      {"\xf0\x9f\x98\x80\xe2\x82\xac", "\xf0\x9f\x98\x80\xe2\x82\xac"},  // valid 4- and 3-byte forms
      {"\xe2\x82", "\\u00e2\\u0082"},                                // cut short
      {"\xc0\xaf", "\\u00c0\\u00af"},                                // overlong
      {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},                     // surrogate
      {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},          // beyond U+10FFFF
  };
  for (const auto& [id, json] : rows) {
    SCOPED_TRACE(json);
    const std::vector<std::string_view> one{id};
    const std::string s = geojson({}, [&](geojsonwriter& w) { w.frequent(0, one, 1, 1, 1, 0); });
    EXPECT_NE(s.find("\"ids\":[\"" + json + "\"]"), std::string::npos) << s;
  }
}

TEST(Crs, ChoosesTheUtmZoneOfAGeographicPosition) {
  const struct {
    double lon, lat;
    const char* grid;
  } rows[] = {{8.2, 53.1, "EPSG:32632"},   {-58.4, -34.6, "EPSG:32721"}, {5.3, 60.4, "EPSG:32632"},
              {2.9, 60.0, "EPSG:32631"},   {8.0, 78.0, "EPSG:32631"},    {10.0, 78.0, "EPSG:32633"},
              {40.0, 80.0, "EPSG:32637"},  {180.0, 0.0, "EPSG:32660"},   {-180.0, -0.5, "EPSG:32701"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "(" << r.lon << ", " << r.lat << ")");
    auto t = crs("EPSG:4326");
    ASSERT_TRUE(t->geographic());
    EXPECT_FALSE(t->hasgrid());
    const result<void> chosen = t->choosegrid(r.lon, r.lat);
    EXPECT_TRUE(chosen.ok()) << whynot(chosen);
    EXPECT_EQ(t->gridname(), r.grid) << r.lon << " " << r.lat;
  }
  // Beyond the zones' latitudes the grid must be given: a usage error.
  const struct {
    double lon, lat;
    const char* says;
    bool usage;
  } refused[] = {
      {200, 0, "(200, 0) is not a longitude/latitude in degrees", false},
      {0, 91, "(0, 91) is not a longitude/latitude in degrees", false},
      {notanumber, 0, "is not a longitude/latitude in degrees", false},
      {0, -infinity, "is not a longitude/latitude in degrees", false},
      {10, 85, "(10, 85) lies beyond the zones' latitudes -80 to 84; give the grid's CRS with --grid-crs", true},
      {10, 84.000001, "lies beyond the zones' latitudes", true},
      {-60, -80.5, "(-60, -80.5) lies beyond the zones' latitudes", true},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.says);
    const result<void> chosen = crs("EPSG:4326")->choosegrid(r.lon, r.lat);
    ASSERT_FALSE(chosen);
    EXPECT_NE(whynot(chosen).find(r.says), std::string::npos) << whynot(chosen);
    EXPECT_TRUE(chosen.error().whole);
    EXPECT_EQ(chosen.error().status, r.usage ? status_usage : status_failed);
  }
  for (const double lat : {84.0, -80.0}) {
    SCOPED_TRACE(testing::Message() << "latitude " << lat);
    const result<void> chosen = crs("EPSG:4326")->choosegrid(10, lat);
    EXPECT_TRUE(chosen.ok()) << whynot(chosen);
  }
}

TEST(Crs, RefusesWhatIsNoUsableCrsWithOneLine) {
  const struct {
    const char *input, *grid;
    std::string error;  // ending in ": " where PROJ's reason follows
  } rows[] = {{"EPSG:99999", "", "unknown CRS 'EPSG:99999' for --crs: "},
              {"EPSG:4326", "EPSG:99999", "unknown CRS 'EPSG:99999' for --grid-crs: "},
              {"foo", "", "unknown CRS 'foo' for --crs: "},
              {"EPSG:4326", "EPSG:4326", "--grid-crs 'EPSG:4326' is not a projected CRS in metres"},
              {"EPSG:4326", "EPSG:2263", "--grid-crs 'EPSG:2263' is not a projected CRS in metres"},
              {"EPSG:4978", "", "--crs 'EPSG:4978' is neither a geographic nor a projected CRS"},
              {"EPSG:2263", "", "--crs 'EPSG:2263' is not in metres; give a metric projected --grid-crs for the cells"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.input) + " to '" + r.grid + "'");
    const auto made = crstransform::create(r.input, r.grid);
    ASSERT_FALSE(made) << r.input;
    EXPECT_TRUE(made.error().whole);
    EXPECT_EQ(made.error().status, status_usage);
    const std::string error = whynot(made);
    EXPECT_TRUE(r.error.ends_with(": ") ? error.starts_with(r.error) && error.size() > r.error.size() + 3 &&
                                              error.find('\n') == std::string::npos
                                        : error == r.error)
        << error;
  }
}

// Longitude first whatever the axis order (EPSG:4326 declares latitude
// first, EPSG:3044 northing first), and NaN for what does not transform:
// a latitude beyond the pole, a NaN, and any position before a grid is
// chosen.
TEST(Crs, LongitudeFirstWhateverTheAxisOrderAndNaNForFailures) {
  auto t = crs("EPSG:4326", "EPSG:3044");
  double x[] = {8.2, 8.2, notanumber}, y[] = {53.1, 95, 53};
  t->forward(x, y, 3);
  EXPECT_NEAR(x[0], 446436.3, 1);
  EXPECT_NEAR(y[0], 5883693.8, 1);
  for (int i : {1, 2}) EXPECT_TRUE(std::isnan(x[i]) && std::isnan(y[i])) << i;
  t->togeographic(x, y, 1);
  EXPECT_NEAR(x[0], 8.2, 1e-9);
  EXPECT_NEAR(y[0], 53.1, 1e-9);
  auto utm = crs("+proj=utm +zone=32 +datum=WGS84");
  EXPECT_EQ(utm->gridname(), "+proj=utm +zone=32 +datum=WGS84");
  double a = 8.2, b = 53.1;
  crs("EPSG:4326")->forward(&a, &b, 1);
  EXPECT_TRUE(std::isnan(a) && std::isnan(b));
}

// A layer in degrees: cell (1117, 14710) of 400 m in UTM zone 32N, which
// begins at (446400, 5883600), frequent for two users and in the heat map.
std::string layerindegrees() {
  const auto t = crs("EPSG:4326");
  const result<void> chosen = t->choosegrid(8.2, 53.1);
  EXPECT_TRUE(chosen.ok()) << whynot(chosen);
  const std::vector<std::string_view> ids{"0", "1"};
  return geojson({400, t->gridname(), [&](double* x, double* y, std::size_t n) { t->togeographic(x, y, n); }},
                 [&](geojsonwriter& w) {
                   w.frequent(0, ids, 1117, 14710, 36, 66);
                   w.frequent(0, ids, 1118, 14710, 4, 2);
                   w.heat(1117, 14710, 40);
                 });
}

TEST(GeoTools, CornerAgreesWithCs2cs) {
  if (!have("cs2cs")) GTEST_SKIP() << "cs2cs not installed";
  double lat = 0, lon = 0;
  ASSERT_EQ(std::sscanf(shell("echo 446400 5883600 | cs2cs -f %.9f EPSG:32632 EPSG:4326").c_str(), "%lf %lf", &lat, &lon), 2);
  const std::string json = layerindegrees();
  const char* ring = json.c_str() + json.find("[[[") + 3;
  char* end = nullptr;
  EXPECT_NEAR(std::strtod(ring, &end), lon, 1e-7);
  EXPECT_NEAR(std::strtod(end + 1, nullptr), lat, 1e-7);
}

TEST(GeoTools, OgrinfoReadsTheLayer) {
  if (!have("ogrinfo")) GTEST_SKIP() << "ogrinfo not installed";
  testsupport::scratch dir;
  const auto file = dir.dir() / "cells.geojson";
  testsupport::writefile(file, layerindegrees());
  const std::string info = shell("ogrinfo -ro -al -so '" + file.string() + "' 2>&1");
  for (const char* line : {"\nGeometry: Polygon\n", "\nFeature Count: 3\n", "\nuser: Integer", "\nids: StringList",
                           "\nx: Integer", "\ny: Integer", "\nvisits: Integer", "\nfirst_position: Integer"})
    EXPECT_NE(info.find(line), std::string::npos) << line << " in\n" << info;
}
