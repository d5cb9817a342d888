// The command's own traces, end to end: CSV in metres and in degrees give
// the TAB dialect's cells, gzip gives the plain trace's outputs, text ids,
// time order, bad rows and the coordinate-system errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "support/runner.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

std::string cellfreq(const scratch& s, const std::string& args, int status = 0) {
  const outcome o = runin(s.dir(), program("cellfreq"), args);
  EXPECT_EQ(o.status, status) << args << "\n" << o.err;
  return o.out;
}

void tracegen(const scratch& s, const std::string& args, int steps = 40) {
  EXPECT_EQ(runin(s.dir(), program("tracegen"), "--seed 5 --objects 30 --steps " + std::to_string(steps) + " " + args).status, 0)
      << args;
}

const std::string degrees = "--input-format csv --crs EPSG:4326 --x-column lon --y-column lat --group-size 1 ";
const std::string metres = "--input-format csv --group-size 1 ";

}  // namespace

// One fleet as a TAB trace in metres, as CSV in UTM metres and as CSV in
// degrees, each also gzipped: the same cells, the TAB ones offset by the
// city's UTM origin; a cut gzip trace fails and leaves no report.
TEST(Ingest, TheSamePositionsGiveTheSameCellsInEveryForm) {
  scratch s;
  tracegen(s, "-o fleet.txt");
  tracegen(s, "--format csv-metres -o metres.csv");
  tracegen(s, "--format csv -o degrees.csv");
  const std::string m = cellfreq(s, metres + "--summary --cell-file m.cells --id-map ids.csv metres.csv");
  EXPECT_EQ(cellfreq(s, degrees + "--summary --cell-file d.cells degrees.csv"), m);
  EXPECT_EQ(readfile(s.dir() / "d.cells"), readfile(s.dir() / "m.cells"));
  EXPECT_EQ(cellfreq(s, metres + "--crs EPSG:32632 --summary metres.csv"), m);

  // Object i of the CSV is the TAB trace's object with the number in its id.
  cellfreq(s, "--objects 30 --cell-file t.cells fleet.txt");
  const std::string tab = readfile(s.dir() / "t.cells"), csv = readfile(s.dir() / "m.cells");
  const std::string ids = readfile(s.dir() / "ids.csv");
  ASSERT_EQ(std::count(ids.begin(), ids.end(), '\n'), 31);
  for (int i = 1; i <= 30; ++i) {
    const int object = std::stoi(line(ids, i).substr(line(ids, i).find("veh-") + 4));
    std::istringstream tokens(line(tab, object));
    std::string shifted;
    for (std::string t; tokens >> t;) {
      const int code = std::stoi(t);
      shifted += std::to_string(code / 1000 + 1100) + ":" + std::to_string(code % 1000 + 14700) + " ";
    }
    if (object == 0) shifted.resize(shifted.size() - std::string("1100:14700 ").size());  // the TAB trace's open record
    EXPECT_EQ(line(csv, i - 1), shifted) << line(ids, i);
  }

  // Gzip traces, named, redirected and piped, give the plain outputs.
  tracegen(s, "--gzip -o fleet.txt.gz");
  tracegen(s, "--format csv --gzip -o degrees.csv.gz");
  const std::string plain = cellfreq(s, "--objects 30 --summary fleet.txt");
  EXPECT_EQ(cellfreq(s, "--objects 30 --summary fleet.txt.gz"), plain);
  for (const char* feed : {"< fleet.txt.gz '", "cat fleet.txt.gz | '"})
    EXPECT_EQ(runin(s.dir(), "/bin/sh", cat({"-c \"", feed, program("cellfreq"), "' --objects 30 --summary\""})).out, plain)
        << feed;
  EXPECT_EQ(cellfreq(s, degrees + "--summary degrees.csv.gz"), cellfreq(s, degrees + "--summary degrees.csv"));

  // A fleet of 300 000 visits, many batches of rows and blocks of text, so
  // that every reader hands on more than it holds at once: --strict, which
  // changes nothing where no row is bad, reads the CSV one batch at a time.
  tracegen(s, "--format csv --gzip -o big.csv.gz", 10000);
  EXPECT_EQ(cellfreq(s, degrees + "--cell-file b1.cells big.csv.gz"),
            cellfreq(s, degrees + "--strict --cell-file b2.cells big.csv.gz"));
  EXPECT_EQ(readfile(s.dir() / "b1.cells"), readfile(s.dir() / "b2.cells"));
  tracegen(s, "-o big.txt", 10000);
  EXPECT_EQ(runin(s.dir(), "/bin/sh", cat({"-c \"gzip -c big.txt | '", program("cellfreq"), "' --objects 30\""})).out,
            cellfreq(s, "--objects 30 big.txt"));
  writefile(s.dir() / "cut.txt.gz", readfile(s.dir() / "fleet.txt.gz").substr(0, 500));
  const outcome cut = runin(s.dir(), program("cellfreq"), "-o report.txt cut.txt.gz");
  EXPECT_EQ(cut.status, 1);
  EXPECT_EQ(cut.err, "cellfreq: cannot read trace 'cut.txt.gz': truncated gzip data\n");
  EXPECT_FALSE(fs::exists(s.dir() / "report.txt"));
}

// Quoted text ids numbered by first appearance, visits ordered by time with
// equal times in row order, bad rows skipped and named, or fatal with
// --strict; the ids reach the csv and json reports and the id map.
TEST(Ingest, TextIdsTimesAndBadRows) {
  scratch s;
  writefile(s.dir() / "h.csv", "name,t,x,y\r\n\"a,1\",10,100,100\r\nb,5,500,500\r\n\"a,1\",5,900,100\r\n"
                               "\"a,1\",10,1300,100\r\nb,x,1,1\r\nc,1,abc,1\r\n");
  const std::string base = "--input-format csv --id-column name --time-column t --threshold 0 ";
  const outcome o = runin(s.dir(), program("cellfreq"), base + "--group-size 1 --format csv --cell-file h.cells --id-map m.csv h.csv");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "user,x,y,position,ids\n0,3,1,0,\"a,1\"\n0,1,1,1,\"a,1\"\n0,4,1,2,\"a,1\"\n1,2,2,0,b\n");
  EXPECT_EQ(o.err, "h.csv:6: time 'x' is not a date-time\nh.csv:7: x 'abc' is not a number\nh.csv: 2 bad rows skipped\n");
  EXPECT_EQ(readfile(s.dir() / "h.cells"), "003001 001001 004001 \n002002 \n");
  EXPECT_EQ(readfile(s.dir() / "m.csv"), "object,id\n0,\"a,1\"\n1,b\n");
  EXPECT_EQ(cellfreq(s, base + "--summary --format json h.csv"),
            "{\"user\":0,\"ids\":[\"a,1\",\"b\"],\"cells\":[{\"x\":1,\"y\":1,\"visits\":1},{\"x\":2,\"y\":2,\"visits\":1},"
            "{\"x\":3,\"y\":1,\"visits\":1},{\"x\":4,\"y\":1,\"visits\":1}]}\n");

  const outcome strict = runin(s.dir(), program("cellfreq"), base + "--strict -o r.txt h.csv");
  EXPECT_EQ(strict.status, 1);
  EXPECT_EQ(strict.err, "h.csv:6: time 'x' is not a date-time\ncellfreq: stopped at the first bad row of h.csv (--strict)\n");
  EXPECT_FALSE(fs::exists(s.dir() / "r.txt"));
}

TEST(Ingest, CoordinateSystemAndColumnErrors) {
  scratch s;
  writefile(s.dir() / "p.csv", "id,x,y\nv,8.2,53.1\n");
  const std::map<std::string, std::pair<int, std::string>> cases{
      {"--input-format csv --crs EPSG:99999 p.csv", {2, "cellfreq: unknown CRS 'EPSG:99999' for --crs: crs not found\n"}},
      {"--crs EPSG:4326 p.csv", {2, "cellfreq: --crs needs --input-format csv: the TAB dialect's coordinates are metres of the grid\n"}},
      {"--input-format csv --crs EPSG:4326 --grid-crs EPSG:4326 p.csv",
       {2, "cellfreq: --grid-crs 'EPSG:4326' is not a projected CRS in metres\n"}},
      {"--input-format csv --x-column lon p.csv",
       {1, "cellfreq: no column 'lon' for --x-column in the header of 'p.csv' (columns: id, x, y)\n"}},
      {"--input-format csv --users 2 p.csv",
       {2, "cellfreq: invalid --users '2': expected an integer from 1 to 1, the number of users of the trace's 1 ids\n"}},
  };
  for (const auto& [args, expected] : cases) {
    const outcome o = runin(s.dir(), program("cellfreq"), "-o r.txt " + args);
    EXPECT_EQ(o.status, expected.first) << args;
    EXPECT_EQ(o.err, expected.second) << args;
    EXPECT_FALSE(fs::exists(s.dir() / "r.txt")) << args;
  }
  const outcome geo = runin(s.dir(), program("cellfreq"), "--input-format csv --crs EPSG:4326 --threshold 0 --format geojson p.csv");
  EXPECT_EQ(geo.err, "cellfreq: grid CRS EPSG:32632, the UTM zone of the first position (--grid-crs chooses another)\n");
  EXPECT_NE(geo.out.find("\"ids\":[\"v\"],\"x\":1117,\"y\":14710,\"visits\":1,\"first_position\":0,\"grid_crs\":\"EPSG:32632\""),
            std::string::npos) << geo.out;
}

// A row skipped for any reason numbers no id: it is absent from the id map
// and from the report's ids, whether the reader refused it (a longitude or
// latitude off the globe) or the transform did (the far side of an
// orthographic grid). A first position beyond the UTM zones' latitudes is a
// usage error that asks for --grid-crs, and leaves no output.
TEST(Ingest, SkippedRowsLeaveNoTrace) {
  scratch s;
  const std::string run = "--input-format csv --crs EPSG:4326 --x-column lon --y-column lat --group-size 1 "
                          "--threshold 0 --format csv -o r.csv --id-map m.csv ";
  const std::string ortho = "--grid-crs '+proj=ortho +lat_0=53 +lon_0=8 +type=crs' ";
  const struct {
    const char* name;
    std::string args, trace;
    int status;
    std::string err, idmap, report;
  } cases[] = {
      {"rejected by the transform", ortho, "id,lon,lat\nr0,8.2,53.1\nfar,8.2,-89.99\nv,8.3,53.2\n", 0,
       "t.csv:3: position outside the area of the coordinate reference system\nt.csv: 1 bad row skipped\n",
       "object,id\n0,r0\n1,v\n", "user,x,y,position,ids\n0,34,28,0,r0\n1,51,56,0,v\n"},
      {"off the globe", ortho, "id,lon,lat\nlon,200,5\nlat,5,95\nv,8.3,53.2\nsouth,8.3,-90.5\n", 0,
       "t.csv:2: longitude '200' is outside -180 to 180\nt.csv:3: latitude '95' is outside -90 to 90\n"
       "t.csv:5: latitude '-90.5' is outside -90 to 90\nt.csv: 3 bad rows skipped\n",
       "object,id\n0,v\n", "user,x,y,position,ids\n0,51,56,0,v\n"},
      {"north of the zones", "", "id,lon,lat\nn,10,85\nv,8.3,53.2\n", 2,
       "cellfreq: cannot choose a UTM zone for the grid: (10, 85) lies beyond the zones' latitudes -80 to 84; "
       "give the grid's CRS with --grid-crs\n", "", ""},
      {"south of the zones", "", "id,lon,lat\nbad,400,0\ns,-60,-80.5\n", 2,
       "t.csv:2: longitude '400' is outside -180 to 180\n"
       "cellfreq: cannot choose a UTM zone for the grid: (-60, -80.5) lies beyond the zones' latitudes -80 to 84; "
       "give the grid's CRS with --grid-crs\n", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writefile(s.dir() / "t.csv", c.trace);
    const outcome o = runin(s.dir(), program("cellfreq"), run + c.args + "t.csv");
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(fs::exists(s.dir() / "m.csv") ? readfile(s.dir() / "m.csv") : "", c.idmap);
    EXPECT_EQ(fs::exists(s.dir() / "r.csv") ? readfile(s.dir() / "r.csv") : "", c.report);
    fs::remove(s.dir() / "m.csv");
    fs::remove(s.dir() / "r.csv");
  }
}
