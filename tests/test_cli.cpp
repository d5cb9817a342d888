// The configurable command: option parsing with its defaults and every bad
// value, the byte-for-byte equivalence with the fixed programs, standard
// input, the temporary cell file, the report formats and the failure paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "driver/options.h"
#include "support/runner.h"

using namespace testsupport;
namespace fs = std::filesystem;
using cellfreq::commandline;
using cellfreq::reportformat;

namespace {

// Parses `args`; the usage error, if any, lands in `error`.
commandline parse(std::vector<std::string_view> args, std::string* error = nullptr) {
  commandline cl;
  std::string e;
  const bool ok = cellfreq::parseoptions(args, cl, e);
  if (error != nullptr) *error = ok ? "" : e;
  else EXPECT_TRUE(ok) << e;
  return cl;
}

std::string usage_error(std::vector<std::string_view> args) {
  std::string e;
  parse(std::move(args), &e);
  return e;
}

std::string repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

// One trace line of object `id` at the centre of 400 m cell (cx, cy).
std::string at400(int id, int cx, int cy) {
  return "point\t" + std::to_string(id) + "\t1\t0\t5\t" + std::to_string((cx - 1) * 400 + 200) + "\t" +
         std::to_string((cy - 1) * 400 + 200) + "\t1.5\t0\t0\n";
}

// Object 10 visits cell (4, 3) at positions 2, 5, 6, 9 and (1, 1) twice.
std::string user_one_trace() {
  const int cells[][2] = {{1, 1}, {1, 2}, {4, 3}, {1, 3}, {1, 1}, {4, 3}, {4, 3}, {1, 5}, {1, 6}, {4, 3}, {1, 7}};
  std::string t;
  for (const auto& c : cells) t += at400(10, c[0], c[1]);
  return t;
}

// Joined by appending: chains of operator+ on strings trip a false
// -Wrestrict warning in some compilers.
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string s;
  for (const std::string_view p : parts) s.append(p);
  return s;
}

// Line i of a text (without its line end).
std::string line(const std::string& text, int i) {
  std::size_t pos = 0;
  for (int k = 0; k < i; ++k) pos = text.find('\n', pos) + 1;
  return text.substr(pos, text.find('\n', pos) - pos);
}

std::string quoted(const fs::path& p) { return cat({"'", p.string(), "'"}); }

const std::string fixedtrace = "'C:/oldenburg(1000).txt'";

}  // namespace

// ---- option parsing -------------------------------------------------------

TEST(Options, Defaults) {
  const commandline cl = parse({});
  EXPECT_EQ(cl.what, commandline::action::run);
  EXPECT_EQ(cl.cfg.tracepath, "-");
  EXPECT_EQ(cl.cfg.cellpath, "");
  EXPECT_EQ(cl.cfg.cellsize, 400.0f);
  EXPECT_EQ(cl.cfg.nobjects, 1000);
  EXPECT_EQ(cl.cfg.nusers, 100);
  EXPECT_EQ(cl.cfg.threshold, 3);
  EXPECT_EQ(cl.cfg.outputpath, "");
  EXPECT_EQ(cl.cfg.heatmappath, "");
  EXPECT_EQ(cl.cfg.style.format, reportformat::text);
  EXPECT_FALSE(cl.cfg.style.summary);
  EXPECT_FALSE(cl.progress.has_value());
  EXPECT_FALSE(cl.pause);
}

TEST(Options, EveryOptionInBothSpellings) {
  for (const bool joined : {false, true}) {
    std::vector<std::string> storage;
    const auto add = [&](const std::string& name, const std::string& value) {
      if (joined) storage.push_back(name + "=" + value);
      else storage.insert(storage.end(), {name, value});
    };
    add("--cell-size", "12.5");
    add("--cell-file", "cells.txt");
    add("--objects", "50");
    add("--users", "5");
    add("--threshold", "0");
    add("--output", "out.txt");
    add("--format", "json");
    add("--heatmap", "map.svg");
    storage.insert(storage.end(), {"--summary", "--progress", "--pause", "trace.txt"});
    const commandline cl = parse(std::vector<std::string_view>(storage.begin(), storage.end()));
    EXPECT_EQ(cl.cfg.cellsize, 12.5f);
    EXPECT_EQ(cl.cfg.cellpath, "cells.txt");
    EXPECT_EQ(cl.cfg.nobjects, 50);
    EXPECT_EQ(cl.cfg.nusers, 5);
    EXPECT_EQ(cl.cfg.threshold, 0);
    EXPECT_EQ(cl.cfg.outputpath, "out.txt");
    EXPECT_EQ(cl.cfg.style.format, reportformat::json);
    EXPECT_EQ(cl.cfg.heatmappath, "map.svg");
    EXPECT_TRUE(cl.cfg.style.summary);
    EXPECT_EQ(cl.progress, true);
    EXPECT_TRUE(cl.pause);
    EXPECT_EQ(cl.cfg.tracepath, "trace.txt");
  }
}

TEST(Options, ShortOutputAndStandardStreams) {
  EXPECT_EQ(parse({"-o", "a.txt"}).cfg.outputpath, "a.txt");
  EXPECT_EQ(parse({"-ob.txt"}).cfg.outputpath, "b.txt");
  EXPECT_EQ(parse({"--output", "-"}).cfg.outputpath, "");
  EXPECT_EQ(parse({"-"}).cfg.tracepath, "-");
  EXPECT_EQ(parse({"--format", "csv"}).cfg.style.format, reportformat::csv);
  EXPECT_EQ(parse({"--format=text"}).cfg.style.format, reportformat::text);
  EXPECT_EQ(parse({"--progress", "--no-progress"}).progress, false);
  // The value of an option may start with a dash.
  EXPECT_EQ(parse({"--cell-file", "-x"}).cfg.cellpath, "-x");
}

TEST(Options, DoubleDashEndsTheOptions) {
  EXPECT_EQ(parse({"--", "--summary"}).cfg.tracepath, "--summary");
  EXPECT_FALSE(parse({"--", "--summary"}).cfg.style.summary);
  EXPECT_EQ(parse({"--summary", "--", "-"}).cfg.tracepath, "-");
  EXPECT_EQ(usage_error({"--", "a", "b"}), "more than one trace given: 'b' (a run reads one trace)");
}

TEST(Options, UsersFollowObjectsWhateverTheOrder) {
  EXPECT_EQ(parse({"--objects", "20000"}).cfg.nusers, 2000);
  EXPECT_EQ(parse({"--users", "1500", "--objects", "20000"}).cfg.nusers, 1500);
  EXPECT_EQ(parse({"--objects", "10000000", "--users", "1000000"}).cfg.nusers, 1000000);
  EXPECT_EQ(usage_error({"--users", "6", "--objects", "50"}),
            "invalid --users '6': expected an integer from 1 to 5, the number of users of 50 objects");
}

TEST(Options, HelpAndVersion) {
  EXPECT_EQ(parse({"-h"}).what, commandline::action::help);
  EXPECT_EQ(parse({"--help"}).what, commandline::action::help);
  EXPECT_EQ(parse({"--version"}).what, commandline::action::version);
}

TEST(Options, BadValuesNameTheAcceptedRange) {
  const std::string size = "expected a positive decimal number of metres, such as 400 or 12.5";
  for (const char* v : {"0", "-400", "abc", "", "1e39", "inf", "nan", "1,5", "400m", "0x10", "-0"})
    EXPECT_EQ(usage_error({"--cell-size", v}), "invalid --cell-size '" + std::string(v) + "': " + size) << v;
  for (const char* v : {"0", "15", "-10", "10000010", "1e3", "", "99999999999999999999"})
    EXPECT_EQ(usage_error({"--objects", v}),
              "invalid --objects '" + std::string(v) + "': expected a multiple of 10 from 10 to 10000000")
        << v;
  for (const char* v : {"0", "101", "-1", "x", ""})
    EXPECT_EQ(usage_error({"--users", v}), "invalid --users '" + std::string(v) +
                                               "': expected an integer from 1 to 100, the number of users of 1000 objects")
        << v;
  for (const char* v : {"-1", "2147483648", "1.5", "", "+3"})
    EXPECT_EQ(usage_error({"--threshold", v}),
              "invalid --threshold '" + std::string(v) + "': expected an integer from 0 to 2147483647")
        << v;
  EXPECT_EQ(parse({"--threshold", "2147483647"}).cfg.threshold, 2147483647);
  EXPECT_EQ(usage_error({"--format", "xml"}), "invalid --format 'xml': expected text, csv, json or geojson");
  EXPECT_EQ(usage_error({"--format", "TEXT"}), "invalid --format 'TEXT': expected text, csv, json or geojson");
  EXPECT_EQ(usage_error({"--cell-file="}), "invalid --cell-file '': expected a file name");
  EXPECT_EQ(usage_error({"--heatmap", ""}), "invalid --heatmap '': expected a file name");
}

TEST(Options, MalformedOptions) {
  EXPECT_EQ(usage_error({"--colour"}), "unknown option '--colour'; 'cellfreq --help' lists the options");
  EXPECT_EQ(usage_error({"-x"}), "unknown option '-x'; 'cellfreq --help' lists the options");
  EXPECT_EQ(usage_error({"-hv"}), "unknown option '-hv'; 'cellfreq --help' lists the options");
  EXPECT_EQ(usage_error({"--summ"}), "unknown option '--summ'; 'cellfreq --help' lists the options");
  EXPECT_EQ(usage_error({"--cell-size"}), "option '--cell-size' needs a value");
  EXPECT_EQ(usage_error({"trace", "-o"}), "option '-o' needs a value");
  EXPECT_EQ(usage_error({"--summary=yes"}), "option '--summary' takes no value");
  EXPECT_EQ(usage_error({"a.txt", "b.txt"}), "more than one trace given: 'b.txt' (a run reads one trace)");
}

// ---- whole runs -----------------------------------------------------------

struct fixedcase {
  const char* program;
  const char* cellfile;
  const char* options;
};
const fixedcase fixedcases[] = {
    {"cellfreq400", "C:/new400.txt", "--cell-size 400 --users 100 --threshold 3"},
    {"cellfreq100", "C:/new1.txt", "--cell-size 100 --users 100 --threshold 3"},
    {"cellfreq300", "C:/new300.txt", "--cell-size 300 --users 10 --threshold 4"},
};

// The fixed program's cell file and report, then cellfreq's with the same
// configuration, on the trace in `s`.
void expect_equivalent(const scratch& s, const std::string& what) {
  for (const fixedcase& c : fixedcases) {
    const outcome fixed = runin(s.dir(), program(c.program));
    ASSERT_EQ(fixed.status, 0) << c.program;
    const std::string fixedcells = readfile(s.dir() / c.cellfile);
    fs::remove(s.dir() / c.cellfile);
    const outcome mine = runin(s.dir(), program("cellfreq"),
                               std::string(c.options) + " --cell-file '" + c.cellfile + "' " + fixedtrace);
    EXPECT_EQ(mine.status, 0) << c.program << " " << what << ": " << mine.err;
    EXPECT_EQ(mine.err, "") << c.program << " " << what;
    EXPECT_EQ(mine.out, fixed.out) << c.program << " " << what;
    EXPECT_EQ(readfile(s.dir() / c.cellfile), fixedcells) << c.program << " " << what;
  }
}

TEST(Equivalence, TheEmbeddedSample) {
  scratch s;
  s.put_trace(readfile(fs::path(CELLFREQ_SOURCE_DIR) / "data" / "oldenburg-sample.txt"));
  expect_equivalent(s, "sample");
}

TEST(Equivalence, HandMadeTraces) {
  const std::string traces[] = {
      "",
      "newpoint\t17\t3\t0\t42\t1234.5\t987.6\t12.5\n",
      user_one_trace(),
      cat({"\n", at400(0, 2, 2), "\n\n"}),
      "label\tid\tseq\tclass\ttime\tx\ty\tspeed\r\n" + at400(3, 1, 1) + "\t\t\n" + at400(5, 2, 2) + "x\t1\t2\n",
      repeat(at400(999, 7, 7), 300) + at400(1000, 1, 1) + at400(-4, 1, 1),
  };
  for (std::size_t i = 0; i < std::size(traces); ++i) {
    scratch s;
    s.put_trace(traces[i]);
    expect_equivalent(s, "trace " + std::to_string(i));
  }
}

TEST(Command, StandardInputReadsLikeAFile) {
  scratch s;
  s.put_trace(user_one_trace());
  const outcome file = runin(s.dir(), program("cellfreq"), fixedtrace);
  for (const char* arg : {"-", ""}) {
    const outcome piped = runin(s.dir(), "/bin/sh",
                                "-c \"cat " + fixedtrace + " | '" + program("cellfreq") + "' " + arg + "\"");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, file.out);
  }
  EXPECT_EQ(file.out, " \n"
                      "User 1 frequent cell is: C[4][3]  1,2\n"
                      "User 1 frequent cell is: C[4][3]  1,5\n"
                      "User 1 frequent cell is: C[4][3]  1,6\n"
                      "User 1 frequent cell is: C[4][3]  1,9\n" +
                          repeat(" \n", 99));
}

TEST(Command, TheTemporaryCellFileIsRemovedAfterSuccessAndFailure) {
  scratch s;
  s.put_trace(user_one_trace());
  fs::create_directory(s.dir() / "tmp");
  const std::string env = cat({"TMPDIR=", quoted(s.dir() / "tmp"), " '", program("cellfreq"), "' "});
  const outcome ok = runin(s.dir(), "/bin/sh", "-c \"" + env + fixedtrace + "\"");
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_TRUE(fs::is_empty(s.dir() / "tmp"));
  if (fs::exists("/dev/full")) {
    const outcome full = runin(s.dir(), "/bin/sh", "-c \"" + env + fixedtrace + " >/dev/full\"");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "cellfreq: cannot write report: No space left on device\n");
    EXPECT_TRUE(fs::is_empty(s.dir() / "tmp"));
  }
  EXPECT_FALSE(fs::exists(s.drive() / "new400.txt"));
}

TEST(Command, ReportFormats) {
  scratch s;
  s.put_trace(user_one_trace());
  const std::string base = "--users 2 " + fixedtrace + " ";
  EXPECT_EQ(runin(s.dir(), program("cellfreq"), base + "--format csv").out,
            "user,x,y,position\n1,4,3,2\n1,4,3,5\n1,4,3,6\n1,4,3,9\n");
  EXPECT_EQ(runin(s.dir(), program("cellfreq"), base + "--format csv --threshold 1").out,
            "user,x,y,position\n1,1,1,0\n1,4,3,2\n1,1,1,4\n1,4,3,5\n1,4,3,6\n1,4,3,9\n");
  EXPECT_EQ(runin(s.dir(), program("cellfreq"), base + "--format csv --threshold 1 --summary").out,
            "user,x,y,visits\n1,4,3,4\n1,1,1,2\n");
  EXPECT_EQ(runin(s.dir(), program("cellfreq"), base + "--format json --threshold 1").out,
            "{\"user\":0,\"cells\":[]}\n"
            "{\"user\":1,\"cells\":[{\"x\":1,\"y\":1,\"visits\":2,\"positions\":[0,4]},"
            "{\"x\":4,\"y\":3,\"visits\":4,\"positions\":[2,5,6,9]}]}\n");
  EXPECT_EQ(runin(s.dir(), program("cellfreq"), base + "--format json --threshold 1 --summary").out,
            "{\"user\":0,\"cells\":[]}\n"
            "{\"user\":1,\"cells\":[{\"x\":4,\"y\":3,\"visits\":4},{\"x\":1,\"y\":1,\"visits\":2}]}\n");
  EXPECT_EQ(runin(s.dir(), program("cellfreq"), base + "--summary --threshold 1").out,
            "User 1 frequent cell is: C[4][3]  4 visits\n"
            "User 1 frequent cell is: C[1][1]  2 visits\n");
}

// Cells beyond the fixed programs' code range keep their true numbers in
// every format and come back exactly through the cell file.
TEST(Command, ExactCellsBeyondTheCodeRange) {
  scratch s;
  const std::string utm = "p\t10\t1\t0\t5\t5001234.5\t5800100.25\t1\n", neg = "p\t10\t1\t0\t5\t-900\t100\t1\n";
  s.put_trace(repeat(utm + neg, 4) + at400(11, 2, 5));
  const std::string base = "--users 2 --cell-file cells.txt " + fixedtrace + " ";
  const outcome text = runin(s.dir(), program("cellfreq"), base);
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out, " \nUser 1 frequent cell is: C[12504][14501]  1,0\nUser 1 frequent cell is: C[-1][1]  1,1\n"
                      "User 1 frequent cell is: C[12504][14501]  1,2\nUser 1 frequent cell is: C[-1][1]  1,3\n"
                      "User 1 frequent cell is: C[12504][14501]  1,4\nUser 1 frequent cell is: C[-1][1]  1,5\n"
                      "User 1 frequent cell is: C[12504][14501]  1,6\nUser 1 frequent cell is: C[-1][1]  1,7\n \n");
  EXPECT_EQ(line(readfile(s.dir() / "cells.txt"), 10), repeat("12504:14501 -001:001 ", 4));
  EXPECT_EQ(line(readfile(s.dir() / "cells.txt"), 11), "002005 ");
  EXPECT_EQ(runin(s.dir(), program("cellfreq"), base + "--summary --format csv").out,
            "user,x,y,visits\n1,-1,1,4\n1,12504,14501,4\n");
  EXPECT_EQ(runin(s.dir(), program("cellfreq"), base + "--summary --format json").out,
            "{\"user\":0,\"cells\":[]}\n"
            "{\"user\":1,\"cells\":[{\"x\":-1,\"y\":1,\"visits\":4},{\"x\":12504,\"y\":14501,\"visits\":4}]}\n");
}

TEST(Command, ObjectsBeyondOneThousandAreAnalysed) {
  scratch s;
  s.put_trace(repeat(at400(1234, 2, 5), 4));
  const outcome o = runin(s.dir(), program("cellfreq"),
                          "--objects 2000 --cell-file cells.txt --format csv " + fixedtrace);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "user,x,y,position\n123,2,5,0\n123,2,5,1\n123,2,5,2\n123,2,5,3\n");
  const std::string cells = readfile(s.dir() / "cells.txt");
  EXPECT_EQ(std::count(cells.begin(), cells.end(), '\n'), 2000);
  // With the default 1000 objects, object 1234 is not written at all.
  EXPECT_EQ(runin(s.dir(), program("cellfreq"), "--format csv " + fixedtrace).out, "user,x,y,position\n");
}

TEST(Command, OutputFileAndHeatMap) {
  scratch s;
  s.put_trace(user_one_trace());
  const outcome o = runin(s.dir(), program("cellfreq"), "-o report.txt --heatmap map.svg " + fixedtrace);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(readfile(s.dir() / "report.txt"), runin(s.dir(), program("cellfreq"), fixedtrace).out);
  const std::string svg = readfile(s.dir() / "map.svg");
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  // Cells (1,1) (1,2) (1,3) (1,5) (1,6) (1,7) (4,3), and the final record's (0,0).
  const std::size_t d = svg.find("class=\"level\""), last = svg.find("class=\"frequent\"");
  EXPECT_EQ(std::count(svg.begin() + static_cast<long>(d), svg.begin() + static_cast<long>(last), 'M'), 8);
}

TEST(Command, FailuresLeaveNoHalfMadeOutputs) {
  scratch s;
  const outcome missing = runin(s.dir(), program("cellfreq"), "-o report.txt --heatmap map.svg nothere.txt");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "cellfreq: cannot open trace 'nothere.txt': No such file or directory\n");
  EXPECT_FALSE(fs::exists(s.dir() / "report.txt"));
  EXPECT_FALSE(fs::exists(s.dir() / "map.svg"));

  s.put_trace(user_one_trace());
  const outcome nofolder = runin(s.dir(), program("cellfreq"), "--heatmap no/map.svg " + fixedtrace);
  EXPECT_EQ(nofolder.status, 1);
  EXPECT_EQ(nofolder.err, "cellfreq: cannot create heat map 'no/map.svg': No such file or directory\n");
  const outcome badreport = runin(s.dir(), program("cellfreq"), "-o no/report.txt " + fixedtrace);
  EXPECT_EQ(badreport.status, 1);
  EXPECT_EQ(badreport.err, "cellfreq: cannot create report 'no/report.txt': No such file or directory\n");
  const outcome dir = runin(s.dir(), program("cellfreq"), "C:");
  EXPECT_EQ(dir.status, 1);
  EXPECT_EQ(dir.err, "cellfreq: cannot read trace 'C:': Is a directory\n");
}

TEST(Command, UsageErrorsAreOneLineAndStatusTwo) {
  scratch s;
  for (const char* args : {"--cell-size 0", "--users 101", "--objects 15", "--format xml", "--bogus", "--threshold"}) {
    const outcome o = runin(s.dir(), program("cellfreq"), args);
    EXPECT_EQ(o.status, 2) << args;
    EXPECT_EQ(o.out, "") << args;
    EXPECT_EQ(o.err.rfind("cellfreq: ", 0), 0u) << args;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << args;
  }
}

TEST(Command, HelpVersionProgressAndPause) {
  scratch s;
  s.put_trace(user_one_trace());
  const outcome version = runin(s.dir(), program("cellfreq"), "--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "cellfreq 1.0.0\n");
  const outcome help = runin(s.dir(), program("cellfreq"), "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: cellfreq [OPTION]... [TRACE]\n", 0), 0u);
  EXPECT_NE(help.out.find("--heatmap"), std::string::npos);

  // Standard error is a file here, so there is no progress line by default.
  const outcome quiet = runin(s.dir(), program("cellfreq"), fixedtrace);
  EXPECT_EQ(quiet.err, "");
  const outcome progress = runin(s.dir(), program("cellfreq"), "--progress " + fixedtrace);
  EXPECT_EQ(progress.out, quiet.out);
  EXPECT_EQ(progress.err.rfind("\rcellfreq: read 0.0 MB of 0.0 MB (100%), 11 lines, ", 0), 0u) << progress.err;
  EXPECT_EQ(progress.err.back(), '\n');
  const outcome piped = runin(s.dir(), "/bin/sh",
                              "-c \"cat " + fixedtrace + " | '" + program("cellfreq") + "' --progress\"");
  EXPECT_EQ(piped.err.rfind("\rcellfreq: read 0.0 MB, 11 lines, ", 0), 0u) << piped.err;

  // The pause is handed to the interpreter only when asked for; here the
  // interpreter answers that it has no such command.
  const outcome paused = runin(s.dir(), program("cellfreq"), "--pause " + fixedtrace);
  EXPECT_EQ(paused.status, 0);
  EXPECT_EQ(paused.out, quiet.out);
  EXPECT_NE(paused.err.find("PAUSE"), std::string::npos);
}
