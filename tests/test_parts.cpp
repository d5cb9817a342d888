// A run in pieces: at every size of range, on traces full of the parsers'
// quirks, the join gives the whole run's outputs byte for byte (and a
// failing run's message); pieces that are missing or misused are named.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "pieces/fingerprint.h"
#include "pieces/partfiles.h"
#include "pieces/piecefile.h"
#include "support/cases.h"
#include "support/inprocess.h"
#include "support/runner.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// Runs the pieces of the run `opts TRACE` in `work`: the ranges of `chunk`
// bytes, the plan for `merges` ranges of users, the merges and the join.
// Returns the join's result, or that of the first piece that failed.
ran inpieces(const std::string& opts, const fs::path& trace, std::int64_t chunk, int merges, const fs::path& work) {
  fs::remove_all(work);
  fs::create_directory(work);
  const std::string w = "--work " + work.string() + " ";
  const auto size = static_cast<std::int64_t>(fs::file_size(trace));
  for (std::int64_t s = 0; s < std::max<std::int64_t>(size, 1); s += chunk) {
    const ran r = cellfreqhere(w + "--parse-range " + std::to_string(s) + ":" + std::to_string(s + chunk) + " " +
                                   opts + " " + trace.string(), work);
    if (r.status != 0) return r;
  }
  const ran plan = cellfreqhere(w + "--plan " + std::to_string(merges) + " " + opts + " " + trace.string(), work);
  if (plan.status != 0) return plan;
  std::istringstream ranges(plan.out);
  for (std::string range; std::getline(ranges, range);) {
    const ran r = cellfreqhere(w + "--merge-users " + range + " " + opts + " " + trace.string(), work);
    if (r.status != 0) return r;
  }
  return cellfreqhere(w + "--join " + opts + " " + trace.string(), work);
}

// What a failed result says ("" for success), for the checks' messages.
std::string whatof(const cellfreq::result<void>& r) { return r ? std::string() : r.error().what; }

std::string corpus(const char* name) { return readfile(fs::path(CELLFREQ_SOURCE_DIR) / "tests/fuzz/corpus" / name); }

// A CSV trace with CRLF rows, line breaks and quotes inside fields, rows
// too short and coordinates that are not numbers, and times out of order.
std::string quirkycsv() {
  std::string t = "id,t,x,y\r\n";
  for (int i = 1; i <= 60; ++i) {
    t += "veh-" + std::to_string(i % 7) + "," + std::to_string(i * 7 % 50) + "," + std::to_string(i % 9 * 400) +
         ".5," + std::to_string(i % 4 * 400) + "\r\n";
    if (i % 13 == 0) t += "\"multi\nline\",3,1,2\n";
    if (i % 11 == 0) t += "bad,row\n";
    if (i % 17 == 0) t += "x,1,notanumber,2\n\"q\"\"uoted\",5,\"1,5\",7\n";
  }
  return t;
}

// A CSV trace in UTM metres in which some rows, some of them the first of
// their id, cannot be put on the grid of another CRS: they number no id.
std::string rejectedcsv() {
  std::string t = "id,x,y\n";
  for (int i = 1; i <= 60; ++i) {
    t.append("v").append(std::to_string(i % 5)).append(",").append(std::to_string(440000 + i % 9 * 400));
    t.append(",5880000\n");
    if (i % 7 == 0) t.append("far").append(std::to_string(i % 3)).append(",-9e15,1e15\n");
  }
  return t;
}

// A CSV trace of 12000 ids in one order and then in the reverse one: its
// parts number them as they first come in each, in blocks whose run's
// numbers fall into every merge's range, in a later part backwards.
std::string manyidscsv() {
  std::string t = "id,x,y\n";
  for (int r = 0; r < 2; ++r)
    for (int i = 0; i < 12000; ++i) {
      const int id = r == 0 ? i : 11999 - i;
      t.append("o").append(std::to_string(id)).append(",").append(std::to_string(id % 97 * 300)).append(",");
      t.append(std::to_string(id % 89 * 300)).append("\n");
    }
  return t;
}

}  // namespace

TEST(Pieces, EveryRangeSizeGivesTheWholeRunsOutputs) {
  scratch s;
  const fs::path tab = s.dir() / "t.txt", csv = s.dir() / "t.csv", work = s.dir() / "work";
  writefile(tab, corpus("malformed-lines.txt") + corpus("partial-numbers.txt") + corpus("whitespace-in-fields.txt") +
                     corpus("empty-fields.txt") + corpus("carried-values.txt") + corpus("ctrlz.txt"));
  writefile(csv, quirkycsv());
  writefile(s.dir() / "far.csv", rejectedcsv());
  writefile(s.dir() / "many.csv", manyidscsv());
  const std::string d = s.dir().string() + "/";
  const std::string outputs = " --cell-file " + d + "c.cells --heatmap " + d + "h.svg";
  // Ranges of one byte put a boundary at every split point at once.
  const std::vector<std::int64_t> every{1, 3, 8, 100, 100000}, some{7, 100000}, large{100000};
  const struct {
    fs::path trace;
    std::string opts;
    const std::vector<std::int64_t>& chunks;
  } runs[] = {
      {tab, "--summary" + outputs, every},
      {tab, "--format geojson --group-size 1 --users 700" + outputs, some},
      {csv, "--input-format csv --time-column t --format json --id-map " + d + "ids.csv" + outputs, every},
      {csv, "--input-format csv --group-size 1 --summary --format csv" + outputs, some},
      {csv, "--input-format csv --strict", some},
      {s.dir() / "far.csv", "--input-format csv --crs EPSG:32632 --grid-crs EPSG:3035 --group-size 1 --threshold 0 "
                            "--format csv --id-map " + d + "ids.csv" + outputs, some},
      {s.dir() / "many.csv", "--input-format csv --group-size 1 --summary --format csv" + outputs, large},
  };
  for (const auto& run : runs) {
    const ran whole = cellfreqhere(run.opts + " " + run.trace.string(), s.dir());
    std::vector<std::string> expected{whole.out, whole.err};
    for (const char* f : {"c.cells", "h.svg", "ids.csv"})
      if (fs::exists(d + f)) expected.push_back(readfile(d + f));
    for (const std::int64_t chunk : run.chunks) {
      for (const char* f : {"c.cells", "h.svg", "ids.csv"}) fs::remove(d + f);
      const ran parts = inpieces(run.opts, run.trace, chunk, chunk % 2 == 0 ? 3 : 1, work);
      std::vector<std::string> got{parts.out, parts.err};
      for (const char* f : {"c.cells", "h.svg", "ids.csv"})
        if (fs::exists(d + f)) got.push_back(readfile(d + f));
      EXPECT_EQ(parts.status, whole.status) << run.opts << " in ranges of " << chunk;
      EXPECT_EQ(got, expected) << run.opts << " in ranges of " << chunk;
    }
    for (const char* f : {"c.cells", "h.svg", "ids.csv"}) fs::remove(d + f);
  }
}

TEST(Pieces, MissingAndMisusedPiecesAreNamed) {
  scratch s;
  const fs::path trace = s.dir() / "t.txt", work = s.dir() / "work";
  writefile(trace, corpus("sample-head.txt"));
  fs::create_directory(work);
  std::string w = "--work ", t = " ", folder = "'";
  w.append(work.string()).append(" ");
  t.append(trace.string());
  folder.append(work.string()).append("'");
  std::string uncovered = "cellfreq: the parts in ", nomerge = "cellfreq: no merge of the users from 0 in ";
  uncovered.append(folder).append(" do not cover the trace from its start to its end\n");
  nomerge.append(folder).append("\n");
  const struct {
    std::string args;
    int status;
    std::string err;
  } cases[] = {
      {w + "--plan 2 --objects 20" + t, 1, uncovered},
      {w + "--parse-range 100:1000000 --objects 20" + t, 0, ""},
      {w + "--plan 2 --objects 20" + t, 1, uncovered},
      {w + "--parse-range 0:100 --objects 20" + t, 0, ""},
      {w + "--plan 2 --objects 20" + t, 0, ""},
      {w + "--join --objects 20" + t, 1, nomerge},
      {w + "--merge-users 5:9 --objects 20" + t, 2, "cellfreq: no users 5:9 in the plan's 2\n"},
      {"--plan 2" + t, 2, "cellfreq: a piece of a run needs --work, the folder of its part files\n"},
      {w + t, 2, "cellfreq: --work needs a piece to run: --parse-range, --plan, --merge-users, --join, --join-placed or --place\n"},
      {w + "--plan 2 --join" + t, 2, "cellfreq: --parse-range, --plan, --merge-users, --join, --join-placed and --place each run a piece of their own: give one\n"},
      {w + "--parse-range 9:3" + t, 2, "cellfreq: invalid --parse-range '9:3': expected FIRST:LAST, byte offsets with FIRST below LAST\n"},
      {w + "--plan 1 -" , 2, "cellfreq: a run in pieces needs the trace as a file\n"},
  };
  for (const auto& c : cases) {
    const ran r = cellfreqhere(c.args, s.dir());
    EXPECT_EQ(r.status, c.status) << c.args;
    if (c.status != 0) {
      EXPECT_EQ(r.err, c.err) << c.args;
    }
  }
}

// The files a piece leaves are bound to their run and checked before use:
// pieces run with other options or on another trace of the same size, and
// every damaged byte of a part, plan or merge file, end the next piece with
// status 1 and one line naming the file, never with a report.
TEST(Pieces, FilesOfAnotherRunOrDamagedAreRefused) {
  scratch s;
  const fs::path trace = s.dir() / "t.txt", other = s.dir() / "u.txt", work = s.dir() / "work";
  const std::string bytes = corpus("sample-head.txt");
  writefile(trace, bytes);
  std::string changed = bytes;
  std::replace(changed.begin(), changed.end(), '7', '3');  // same size, other positions
  writefile(other, changed);
  const std::string w = "--work " + work.string() + " ";
  // Objects far beyond the trace's, so that an index that names another
  // object is in range and only its checksum tells.
  ASSERT_EQ(inpieces("--objects 1000", trace, 4000, 2, work).status, 0);
  const struct {
    std::string args;
    std::string says;  // part of the one line
  } foreign[] = {
      {w + "--plan 2 --objects 1000 --cell-size 300 " + trace.string(), "--cell-size 400; this run has 300"},
      {w + "--plan 2 --objects 1000 --group-size 5 " + trace.string(), "--group-size"},
      {w + "--join --objects 1000 --format csv " + trace.string(), "--format"},
      {w + "--join --objects 1000 --heatmap " + (s.dir() / "h.svg").string() + " " + trace.string(), "--heatmap"},
      {w + "--join --objects 1000 " + other.string(), "trace"},
  };
  for (const auto& c : foreign) {
    SCOPED_TRACE(c.args);
    const ran r = cellfreqhere(c.args, s.dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
  // Each file damaged in one byte at a time, then the pieces that read it:
  // the plan reads a part's directory, a merge of all users its records.
  const std::string tail = " --objects 1000 " + trace.string();
  std::vector<std::pair<fs::path, std::vector<std::string>>> files;
  for (const auto& e : fs::directory_iterator(work)) {
    const std::string name = e.path().filename().string();
    const bool part = name.starts_with("part-"), plan = name == "plan.bin";
    files.push_back({e.path(), part   ? std::vector<std::string>{w + "--plan 2" + tail, w + "--merge-users 0:100" + tail}
                               : plan ? std::vector<std::string>{w + "--merge-users 0:1" + tail}
                                      : std::vector<std::string>{w + "--join" + tail}});
  }
  ASSERT_GE(files.size(), 4u);
  for (const auto& [path, pieces] : files) {
    SCOPED_TRACE(path.filename().string());
    const std::string good = readfile(path);
    // Every byte of a part (whose index a merge trusts for the objects of
    // its records), about a hundred over the others and their final byte.
    std::vector<std::size_t> bytes{good.size() - 1};
    const std::size_t step = path.filename().string().starts_with("part-") ? 1 : 1 + good.size() / 97;
    for (std::size_t i = 0; i < good.size(); i += step) bytes.push_back(i);
    for (const std::size_t i : bytes) {
      std::string bad = good;
      bad[i] = static_cast<char>(bad[i] ^ 0x21);
      writefile(path, bad);
      ran r;
      for (const std::string& args : pieces)
        if ((r = cellfreqhere(args, s.dir())).status != 0) break;
      EXPECT_EQ(r.status, 1) << "byte " << i;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "byte " << i << ": " << r.err;
    }
    writefile(path, good);
  }
}

// A piece file that is whole and sealed, yet lies in what it counts: each
// count, flag and string length is checked against the bytes that remain
// and the format's limit before anything is sized from it.
TEST(Pieces, CountsAreCheckedAgainstTheFileBeforeUse) {
  using cellfreq::piecein, cellfreq::pieceout, cellfreq::piecekind;
  scratch s;
  const std::string path = (s.dir() / "merge-0.heat").string();
  const struct {
    std::int64_t count;       // as the file says
    std::int64_t items;       // of 16 bytes, that follow it
    const char* says;         // empty: read as counted
  } cases[] = {
      {3, 3, ""},
      {0, 0, ""},
      {4, 3, "its number of cells 4 is more than it can hold"},
      {-1, 0, "its number of cells -1 is more than it can hold"},
      {std::int64_t{1} << 40, 1, "its number of cells 1099511627776 is more than it can hold"},
      {1001, 1001, "its number of cells 1001 is more than it can hold"},  // past the limit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    pieceout out(piecekind::heat);
    out.put(c.count);
    for (std::int64_t i = 0; i < c.items * 2; ++i) out.put(i);
    const cellfreq::result<void> saved = out.save(path);
    ASSERT_TRUE(saved.ok()) << whatof(saved);
    piecein in;
    const cellfreq::result<void> opened = in.open(path, piecekind::heat, true);
    ASSERT_TRUE(opened.ok()) << whatof(opened);
    std::int64_t n = 0;
    const bool ok = in.getcount(n, 1000, 16, "number of cells");
    EXPECT_EQ(ok, *c.says == 0) << whatof(in.outcome());
    if (ok) EXPECT_EQ(n, c.count);
    else EXPECT_EQ(whatof(in.outcome()), "merge file '" + path + "' is damaged: " + c.says);
  }
  // A flag is a byte of 0 or 1, and a string no longer than its limit.
  pieceout out(piecekind::heat);
  out.put(std::uint8_t{2});
  out.putstring("abcdef");
  ASSERT_TRUE(out.save(path).ok());
  piecein in;
  ASSERT_TRUE(in.open(path, piecekind::heat, true).ok());
  bool flag = false;
  EXPECT_FALSE(in.getflag(flag, "flag"));
  EXPECT_NE(whatof(in.outcome()).find("is damaged"), std::string::npos) << whatof(in.outcome());
  piecein again;
  ASSERT_TRUE(again.open(path, piecekind::heat, true).ok());
  std::uint8_t skip = 0;
  std::string text;
  EXPECT_TRUE(again.get(skip, "flag"));
  EXPECT_FALSE(again.getstring(text, 5, "grid CRS"));
  EXPECT_TRUE(text.empty());
}

// The join whose merges' text is put in place by --place pieces: the same
// outputs byte for byte, and none at all (the old files as they were, no
// temporaries beside them) unless every merge was placed and "commit" came.
TEST(Pieces, PlacedOutputsAreTheWholeRunsOnlyOnceAllArePlacedAndCommitted) {
  scratch s;
  const fs::path tab = s.dir() / "t.txt", csv = s.dir() / "t.csv", work = s.dir() / "work", out = s.dir() / "out";
  writefile(tab, corpus("malformed-lines.txt") + corpus("partial-numbers.txt") + corpus("carried-values.txt"));
  writefile(csv, quirkycsv());
  fs::create_directory(out);
  const std::string o = out.string() + "/", cellfreq = program("cellfreq");
  const std::string files = " -o " + o + "r --cell-file " + o + "c --heatmap " + o + "h.svg";
  const struct {
    fs::path trace;
    std::string opts;
    std::string feed;  // after the places
    bool placeall;
    int status;
    std::string err;  // of a failure; a success prints what the whole run does
  } cases[] = {
      {tab, "--summary", "commit", true, 0, ""},
      {tab, "--format geojson --group-size 1 --users 700", "commit", true, 0, ""},
      {csv, "--input-format csv --time-column t --format json --id-map " + o + "ids.csv", "commit", true, 0, ""},
      {tab, "--summary", "abandon", true, 1, ""},
      {tab, "--summary", "", true, 1, "cellfreq: no 'commit' on standard input: no outputs were written\n"},
      {tab, "--summary", "commit", false, 1, "cellfreq: the merge of the users from 0 was not placed: no outputs were written\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.opts + " / " + c.feed + (c.placeall ? "" : " / one merge not placed"));
    for (const auto& e : fs::directory_iterator(out)) fs::remove(e.path());
    const ran whole = cellfreqhere(c.opts + files + " " + c.trace.string(), s.dir());
    std::map<std::string, std::string> expected;
    for (const auto& e : fs::directory_iterator(out)) expected[e.path().filename().string()] = readfile(e.path());
    ASSERT_EQ(inpieces(c.opts + files, c.trace, 7, 3, work).status, whole.status);
    if (c.status != 0)
      for (auto& [name, text] : expected) writefile(out / name, text = "old " + name);
    const std::string args = " --work " + work.string() + " " + c.opts + files + " ";
    const ran plan = cellfreqhere("--plan 3" + args + c.trace.string(), s.dir());
    std::string places;
    std::istringstream ranges(plan.out);
    for (std::string r; std::getline(ranges, r);)
      if (c.placeall || r.rfind("0:", 0) != 0) places += cellfreq + " --place " + r + args + c.trace.string() + " && ";
    const std::string run = "{ for i in $(seq 1000); do [ -e " + (work / "places.bin").string() +
                            " ] && break; sleep 0.01; done; " + places +
                            "printf '" + (c.feed.empty() ? "" : c.feed + "\\n") + "'; } | " + cellfreq +
                            " --join-placed" + args + c.trace.string() + " 2>&1 >/dev/null; echo $?";
    const std::string got = shell(run);
    EXPECT_EQ(got, (c.status == 0 ? whole.err : c.err) + std::to_string(c.status) + "\n");
    std::map<std::string, std::string> after;
    for (const auto& e : fs::directory_iterator(out)) after[e.path().filename().string()] = readfile(e.path());
    EXPECT_EQ(after, expected);
  }
}

// The placement file that --place pieces read is checked as every piece
// file is: each damaged byte, and each place outside its fragment, ends
// the read with one line naming the file.
TEST(Pieces, DamagedPlacementFilesAreRefused) {
  using namespace cellfreq;
  scratch s;
  const std::string path = (s.dir() / "places.bin").string();
  fingerprint fp;
  fp.options = {{"--cell-size", true, "400"}};
  const textplace good{5, true, "merge-5.cells", "out/.c", "out/c", {120, 7}, 60, 1000};
  const struct {
    textplace place;
    const char* says;  // empty: read back as written
  } cases[] = {
      {good, ""},
      {{5, true, "merge-5.cells", "out/.c", "out/c", {63, 7}, 60, 1000}, "a place lies outside its fragment or output"},
      {{5, false, "merge-5.report", "out/.r", "out/r", {120, 7}, 7, 0}, "a place lies outside its fragment or output"},
      {{-1, false, "merge-5.report", "out/.r", "out/r", {120, 7}, 60, 0}, "a place lies outside its fragment or output"},
      {{5, false, "merge-5.report", "out/.r", "out/r", {120, 7}, 60, -2}, "a place lies outside its fragment or output"},
      {{5, false, "", "out/.r", "out/r", {120, 7}, 60, 0}, "a place lies outside its fragment or output"},
      {{5, false, "merge-5.report", "out/.r", "", {120, 7}, 60, 0}, "a place lies outside its fragment or output"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, c));
    const result<void> saved = saveplaces(path, fp, {c.place});
    ASSERT_TRUE(saved.ok()) << whatof(saved);
    piecein in;
    std::vector<textplace> back;
    const result<void> loaded = loadplaces(in, path, fp, back);
    EXPECT_EQ(loaded.ok(), *c.says == 0) << whatof(loaded);
    if (loaded) EXPECT_EQ(back.size(), 1u);
    else EXPECT_EQ(whatof(loaded), "placement file '" + path + "' is damaged: " + c.says);
  }
  ASSERT_TRUE(saveplaces(path, fp, {good, good}).ok());
  const std::string bytes = readfile(path);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::string bad = bytes;
    bad[i] = static_cast<char>(bad[i] ^ 0x21);
    writefile(path, bad);
    piecein in;
    std::vector<textplace> back;
    const result<void> loaded = loadplaces(in, path, fp, back);
    EXPECT_FALSE(loaded.ok()) << "byte " << i;
    EXPECT_EQ(whatof(loaded).find('\n'), std::string::npos) << whatof(loaded);
    EXPECT_NE(whatof(loaded).find(path), std::string::npos) << whatof(loaded);
  }
}

// A GeoJSON report put together from merges of one user each, where the
// users marked '-' have no frequent cell, so that their fragments hold no
// feature: at the start, in the middle, at the end, several in a row.
// The join puts a comma between two fragments only when both hold
// features, so the report is the whole run's byte for byte.
TEST(Pieces, GeoJsonFragmentsWithoutFeaturesGetNoComma) {
  scratch s;
  const fs::path trace = s.dir() / "t.csv", work = s.dir() / "work";
  const std::string opts = "--input-format csv --group-size 1 --format geojson";
  for (const std::string users : {"-+-+-", "--++--", "+--+", "+-", "-+", "---", "++"}) {
    SCOPED_TRACE(users);
    // A user of '+' visits its cell five times (frequent over the
    // threshold of 3), one of '-' twice.
    std::string t = "id,x,y\n";
    for (std::size_t u = 0; u < users.size(); ++u)
      for (int k = 0; k < (users[u] == '+' ? 5 : 2); ++k)
        t.append("u").append(std::to_string(u)).append(",").append(std::to_string(400 * u + 100)).append(",100\n");
    writefile(trace, t);
    const ran whole = cellfreqhere(opts + " " + trace.string(), s.dir());
    ASSERT_EQ(whole.status, 0) << whole.err;
    std::size_t features = 0;
    for (std::size_t at = 0; (at = whole.out.find("\"Feature\"", at)) != std::string::npos; ++at) ++features;
    ASSERT_EQ(features, static_cast<std::size_t>(std::count(users.begin(), users.end(), '+')));
    const ran parts = inpieces(opts, trace, 1 << 20, static_cast<int>(users.size()), work);
    EXPECT_EQ(parts.status, 0) << parts.err;
    EXPECT_EQ(parts.out, whole.out);
    EXPECT_EQ(parts.err, whole.err);
  }
}

// A merge's .heat says how many features its report fragment holds, no
// more than the fragment's bytes; a count out of that range is refused.
TEST(Pieces, AMergesFeaturesAreCheckedAgainstItsReport) {
  using namespace cellfreq;
  scratch s;
  const std::string path = (s.dir() / "merge-0.heat").string();
  fingerprint fp;
  fp.options = {{"--cell-size", true, "400"}};
  plan p;
  p.users = 10;
  p.blockcount.assign(10, 5);
  const struct {
    std::int64_t features;
    bool ok;
  } cases[] = {{0, true}, {3, true}, {200, true}, {201, false}, {-1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.features);
    heatinfo h;
    h.last = 10;
    h.cells = {100, 1};
    h.report = {200, 2};
    h.features = c.features;
    const result<void> saved = saveheat(path, fp, h);
    ASSERT_TRUE(saved.ok()) << whatof(saved);
    piecein in;
    heatinfo back;
    const result<void> loaded = loadheat(in, path, fp, 0, p, back);
    EXPECT_EQ(loaded.ok(), c.ok) << whatof(loaded);
    if (c.ok) EXPECT_EQ(back.features, c.features);
    else EXPECT_EQ(whatof(loaded), "merge file '" + path + "' is damaged: its features are more than its report "
                                      "fragment can hold");
  }
}

// A piece file of the format before this one is refused by name: its
// version and the one this cellfreq reads.
TEST(Pieces, AFileOfAnotherFormatVersionIsRefused) {
  scratch s;
  const fs::path trace = s.dir() / "t.txt", work = s.dir() / "work";
  writefile(trace, corpus("sample-head.txt"));
  ASSERT_EQ(inpieces("--objects 20", trace, 4000, 1, work).status, 0);
  const fs::path heat = work / "merge-0.heat";
  std::string bytes = readfile(heat);
  ASSERT_EQ(bytes.substr(0, 8), "cfheat4\n");
  bytes[6] = '3';
  writefile(heat, bytes);
  const ran r = cellfreqhere("--work " + work.string() + " --join --objects 20 " + trace.string(), s.dir());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cellfreq: merge file '" + heat.string() + "' is of format version 3; this cellfreq reads version 4\n");
}

// A --place piece whose output is no longer being prepared (its join was
// abandoned) names the output by the path the user gave, not by its
// hidden temporary.
TEST(Pieces, AFailedPlaceNamesTheUsersOutput) {
  scratch s;
  const fs::path trace = s.dir() / "t.txt", work = s.dir() / "work", out = s.dir() / "out";
  writefile(trace, corpus("sample-head.txt"));
  fs::create_directory(out);
  const std::string report = (out / "r").string();
  const std::string args = " --work " + work.string() + " --objects 20 -o " + report + " " + trace.string();
  ASSERT_EQ(inpieces("--objects 20 -o " + report, trace, 4000, 1, work).status, 0);
  const std::string cellfreq = program("cellfreq");
  const std::string join = "{ for i in $(seq 1000); do [ -e " + (work / "places.bin").string() +
                           " ] && break; sleep 0.01; done; printf 'abandon\\n'; } | " + cellfreq + " --join-placed" +
                           args + "; echo $?";
  ASSERT_EQ(shell(join), "1\n");
  const ran r = cellfreqhere("--place 0:2" + args, s.dir());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cellfreq: report '" + report + "' is not being prepared by --join-placed\n");
}
