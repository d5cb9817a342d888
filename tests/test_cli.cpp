// The configurable command: option parsing with its defaults and every bad
// value, standard input, the temporary cell file, the report formats, exact
// cells and the failure paths (its equivalence with the fixed programs is
// part of the reference comparisons).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "driver/options.h"
#include "support/runner.h"

using namespace testsupport;
namespace fs = std::filesystem;
using cellfreq::commandline;
using args = std::vector<std::string>;
using fields = std::map<std::string, std::string>;

namespace {

// Parses `a`; true with `cl` set, or false with the usage error in `error`.
bool parse(const args& a, commandline& cl, std::string& error) {
  const std::vector<std::string_view> views(a.begin(), a.end());
  cellfreq::result<commandline> parsed = cellfreq::parseoptions(views);
  if (!parsed) {
    EXPECT_EQ(parsed.error().status, cellfreq::status_usage);
    EXPECT_TRUE(parsed.error().whole);
    error = parsed.error().what;
    return false;
  }
  cl = std::move(parsed.value());
  return true;
}

// What a command line sets, field by field.
fields show(const commandline& cl) {
  const cellfreq::runconfig& c = cl.cfg;
  const char* const actions[] = {"run", "help", "version"};
  const char* const formats[] = {"text", "csv", "json", "geojson"};
  std::ostringstream size;
  size << c.cellsize;
  return {{"action", actions[static_cast<int>(cl.what)]}, {"trace", c.tracepath}, {"cells", c.cellpath},
          {"size", size.str()}, {"objects", std::to_string(c.nobjects)}, {"users", std::to_string(c.nusers)},
          {"threshold", std::to_string(c.threshold)}, {"out", c.outputpath}, {"heat", c.heatmappath},
          {"format", formats[static_cast<int>(c.style.format)]}, {"summary", c.style.summary ? "1" : "0"},
          {"progress", !cl.progress ? "-" : *cl.progress ? "1" : "0"}, {"pause", cl.pause ? "1" : "0"}};
}

const std::string fixedtrace = "'C:/oldenburg(1000).txt'";

}  // namespace

// Each accepted command line against the defaults: the fixed 400 m
// program's configuration, standard input, a temporary cell file.
TEST(Options, AcceptedCommandLines) {
  const fields defaults{{"action", "run"}, {"trace", "-"},  {"cells", ""},     {"size", "400"},  {"objects", "1000"},
                        {"users", "100"},  {"threshold", "3"}, {"out", ""},    {"heat", ""},     {"format", "text"},
                        {"summary", "0"},  {"progress", "-"}, {"pause", "0"}};
  const fields every{{"size", "12.5"},   {"cells", "cells.txt"}, {"objects", "50"},  {"users", "5"},
                     {"threshold", "0"}, {"out", "out.txt"},     {"format", "json"}, {"heat", "map.svg"},
                     {"summary", "1"},   {"progress", "1"},      {"pause", "1"},     {"trace", "trace.txt"}};
  const args valued = {"--cell-size", "12.5", "--cell-file", "cells.txt", "--objects", "50", "--users", "5",
                       "--threshold", "0", "--output", "out.txt", "--format", "json", "--heatmap", "map.svg"};
  args spaced = valued, joined;
  for (std::size_t i = 0; i < valued.size(); i += 2) joined.push_back(valued[i] + "=" + valued[i + 1]);
  for (args* a : {&spaced, &joined}) a->insert(a->end(), {"--summary", "--progress", "--pause", "trace.txt"});
  const std::vector<std::pair<args, fields>> cases = {
      {{}, {}}, {spaced, every}, {joined, every}, {{"-o", "a.txt"}, {{"out", "a.txt"}}},
      {{"-ob.txt"}, {{"out", "b.txt"}}}, {{"--output", "-"}, {}}, {{"-"}, {}},
      {{"--format", "csv"}, {{"format", "csv"}}}, {{"--format=text"}, {}},
      {{"--progress", "--no-progress"}, {{"progress", "0"}}},
      {{"--cell-file", "-x"}, {{"cells", "-x"}}},  // a value may start with a dash
      {{"--", "--summary"}, {{"trace", "--summary"}}}, {{"--summary", "--", "-"}, {{"summary", "1"}}},
      // The users follow the objects, whatever the order.
      {{"--objects", "20000"}, {{"objects", "20000"}, {"users", "2000"}}},
      {{"--users", "1500", "--objects", "20000"}, {{"objects", "20000"}, {"users", "1500"}}},
      {{"--objects", "10000000", "--users", "1000000"}, {{"objects", "10000000"}, {"users", "1000000"}}},
      {{"--threshold", "2147483647"}, {{"threshold", "2147483647"}}}, {{"-h"}, {{"action", "help"}}},
      {{"--help"}, {{"action", "help"}}}, {{"--version"}, {{"action", "version"}}},
  };
  for (const auto& [a, changed] : cases) {
    SCOPED_TRACE(testing::PrintToString(a));
    fields want = defaults;
    for (const auto& [k, v] : changed) want[k] = v;
    commandline cl;
    std::string error;
    EXPECT_TRUE(parse(a, cl, error)) << error;
    EXPECT_EQ(show(cl), want) << (a.empty() ? "" : a[0]);
  }
}

// Every usage error is one line naming the option and, for a bad value,
// the accepted range.
TEST(Options, RejectedCommandLines) {
  std::vector<std::pair<args, std::string>> cases;
  const auto bad = [&](const char* option, std::vector<const char*> values, const std::string& expected) {
    for (const char* v : values)
      cases.push_back({{option, v}, cat({"invalid ", option, " '", v, "': expected ", expected})});
  };
  bad("--cell-size", {"0", "-400", "abc", "", "1e39", "inf", "nan", "1,5", "400m", "0x10", "-0"},
      "a positive decimal number of metres, such as 400 or 12.5");
  bad("--objects", {"0", "15", "-10", "10000010", "1e3", "", "99999999999999999999"},
      "a multiple of 10 from 10 to 10000000");
  bad("--users", {"0", "101", "-1", "x", ""}, "an integer from 1 to 100, the number of users of 1000 objects");
  bad("--threshold", {"-1", "2147483648", "1.5", "", "+3"}, "an integer from 0 to 2147483647");
  bad("--format", {"xml", "TEXT"}, "text, csv, json or geojson");
  const std::string unknown = "'; 'cellfreq --help' lists the options";
  for (const auto& [a, e] : std::vector<std::pair<args, std::string>>{
           {{"--cell-file="}, "invalid --cell-file '': expected a file name"},
           {{"--heatmap", ""}, "invalid --heatmap '': expected a file name"},
           {{"--users", "6", "--objects", "50"},
            "invalid --users '6': expected an integer from 1 to 5, the number of users of 50 objects"},
           {{"--colour"}, "unknown option '--colour" + unknown}, {{"-x"}, "unknown option '-x" + unknown},
           {{"-hv"}, "unknown option '-hv" + unknown}, {{"--summ"}, "unknown option '--summ" + unknown},
           {{"--cell-size"}, "option '--cell-size' needs a value"}, {{"trace", "-o"}, "option '-o' needs a value"},
           {{"--summary=yes"}, "option '--summary' takes no value"},
           {{"a.txt", "b.txt"}, "more than one trace given: 'b.txt' (a run reads one trace)"},
           {{"--", "a", "b"}, "more than one trace given: 'b' (a run reads one trace)"}})
    cases.push_back({a, e});
  for (const auto& [a, want] : cases) {
    commandline cl;
    std::string error;
    EXPECT_FALSE(parse(a, cl, error)) << want;
    EXPECT_EQ(error, want);
  }
}

// Standard input, piped or named "-", reads like the file; the temporary
// cell file is gone after success and after failure alike.
TEST(Command, StandardInputAndTheTemporaryCellFile) {
  scratch s;
  s.put_trace(user_one_trace());
  fs::create_directory(s.dir() / "tmp");
  const std::string tmp = cat({"TMPDIR='", (s.dir() / "tmp").string(), "' '", program("cellfreq"), "' "});
  const outcome file = runin(s.dir(), "/bin/sh", cat({"-c \"", tmp, fixedtrace, "\""}));
  EXPECT_EQ(file.status, 0) << file.err;
  EXPECT_EQ(file.out, runin(s.dir(), program("cellfreq400")).out);
  EXPECT_TRUE(fs::is_empty(s.dir() / "tmp"));
  for (const char* arg : {"-", ""}) {
    SCOPED_TRACE(std::string("trace '") + arg + "'");
    const outcome piped = runin(s.dir(), "/bin/sh", cat({"-c \"cat ", fixedtrace, " | ", tmp, arg, "\""}));
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, file.out);
  }
  const outcome full = runin(s.dir(), "/bin/sh", cat({"-c \"", tmp, fixedtrace, " >/dev/full\""}));
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "cellfreq: cannot write report: No space left on device\n");
  EXPECT_TRUE(fs::is_empty(s.dir() / "tmp"));
}

// Every report format, per visit and as a summary; a report file and the
// heat map of the visits, with the frequent cells outlined.
TEST(Command, ReportFormatsFilesAndHeatMap) {
  scratch s;
  s.put_trace(user_one_trace());
  for (const auto& [options, want] : std::vector<std::pair<std::string, std::string>>{
           {"--format csv", "user,x,y,position\n1,4,3,2\n1,4,3,5\n1,4,3,6\n1,4,3,9\n"},
           {"--format csv --threshold 1", "user,x,y,position\n1,1,1,0\n1,4,3,2\n1,1,1,4\n1,4,3,5\n1,4,3,6\n1,4,3,9\n"},
           {"--format csv --threshold 1 --summary", "user,x,y,visits\n1,4,3,4\n1,1,1,2\n"},
           {"--format json --threshold 1",
            "{\"user\":0,\"cells\":[]}\n{\"user\":1,\"cells\":[{\"x\":1,\"y\":1,\"visits\":2,\"positions\":[0,4]},"
            "{\"x\":4,\"y\":3,\"visits\":4,\"positions\":[2,5,6,9]}]}\n"},
           {"--format json --threshold 1 --summary",
            "{\"user\":0,\"cells\":[]}\n{\"user\":1,\"cells\":[{\"x\":4,\"y\":3,\"visits\":4},{\"x\":1,\"y\":1,\"visits\":2}]}\n"},
           {"--summary --threshold 1",
            "User 1 frequent cell is: C[4][3]  4 visits\nUser 1 frequent cell is: C[1][1]  2 visits\n"}})
    EXPECT_EQ(runin(s.dir(), program("cellfreq"), "--users 2 " + fixedtrace + " " + options).out, want) << options;
  const outcome o = runin(s.dir(), program("cellfreq"), "-o report.txt --heatmap map.svg " + fixedtrace);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(readfile(s.dir() / "report.txt"), runin(s.dir(), program("cellfreq"), fixedtrace).out);
  const std::string svg = readfile(s.dir() / "map.svg");
  EXPECT_TRUE(svg.starts_with("<?xml"));
  // Cells (1,1) (1,2) (1,3) (1,5) (1,6) (1,7) (4,3), and the final record's (0,0).
  const std::size_t d = svg.find("class=\"level\""), last = svg.find("class=\"frequent\"");
  EXPECT_EQ(std::count(svg.begin() + static_cast<long>(d), svg.begin() + static_cast<long>(last), 'M'), 8);
}

// Cells beyond the fixed programs' code range keep their true numbers in
// every format and come back exactly through the cell file; objects beyond
// the first thousand are analysed when asked for.
TEST(Command, ExactCellsAndLargerFleets) {
  scratch s;
  const std::string utm = "p\t10\t1\t0\t5\t5001234.5\t5800100.25\t1\n", neg = "p\t10\t1\t0\t5\t-900\t100\t1\n";
  s.put_trace(repeat(utm + neg, 4) + at400(11, 2, 5));
  const std::string base = "--users 2 --cell-file cells.txt " + fixedtrace + " ";
  const outcome text = runin(s.dir(), program("cellfreq"), base);
  EXPECT_EQ(text.status, 0) << text.err;
  std::string want = " \n";
  for (int p = 0; p < 8; ++p)
    want += cat({"User 1 frequent cell is: ", p % 2 ? "C[-1][1]" : "C[12504][14501]", "  1,", std::to_string(p), "\n"});
  EXPECT_EQ(text.out, want + " \n");
  EXPECT_EQ(line(readfile(s.dir() / "cells.txt"), 10), repeat("12504:14501 -001:001 ", 4));
  EXPECT_EQ(line(readfile(s.dir() / "cells.txt"), 11), "002005 ");
  EXPECT_EQ(runin(s.dir(), program("cellfreq"), base + "--summary --format json").out,
            "{\"user\":0,\"cells\":[]}\n"
            "{\"user\":1,\"cells\":[{\"x\":-1,\"y\":1,\"visits\":4},{\"x\":12504,\"y\":14501,\"visits\":4}]}\n");

  s.put_trace(repeat(at400(1234, 2, 5), 4));
  EXPECT_EQ(runin(s.dir(), program("cellfreq"), "--objects 2000 --format csv " + fixedtrace).out,
            "user,x,y,position\n123,2,5,0\n123,2,5,1\n123,2,5,2\n123,2,5,3\n");
  // With the default 1000 objects, object 1234 is not written at all.
  EXPECT_EQ(runin(s.dir(), program("cellfreq"), "--format csv " + fixedtrace).out, "user,x,y,position\n");
}

// Every failure has its status and one message, and leaves no half-made
// output files.
TEST(Command, FailuresLeaveNoHalfMadeOutputs) {
  scratch s;
  s.put_trace(user_one_trace());
  for (const auto& [options, status, err] : std::vector<std::tuple<std::string, int, std::string>>{
           {"-o report.txt --heatmap map.svg nothere.txt", 1, "cannot open trace 'nothere.txt': No such file or directory"},
           {"--heatmap no/map.svg " + fixedtrace, 1, "cannot create heat map 'no/map.svg': No such file or directory"},
           {"-o no/report.txt " + fixedtrace, 1, "cannot create report 'no/report.txt': No such file or directory"},
           {"-o report.txt C:", 1, "cannot read trace 'C:': Is a directory"},
           {"-o report.txt --users 101", 2,
            "invalid --users '101': expected an integer from 1 to 100, the number of users of 1000 objects"},
           {"--heatmap map.svg --bogus", 2, "unknown option '--bogus'; 'cellfreq --help' lists the options"}}) {
    const outcome o = runin(s.dir(), program("cellfreq"), options);
    EXPECT_EQ(o.status, status) << options;
    EXPECT_EQ(o.err, "cellfreq: " + err + "\n") << options;
    EXPECT_FALSE(fs::exists(s.dir() / "report.txt")) << options;
    EXPECT_FALSE(fs::exists(s.dir() / "map.svg")) << options;
  }
}

// Help and version on standard output; a progress line only when asked for
// (standard error is a file here), with the size where it is known; and the
// pause handed to the interpreter only when asked for (here it answers that
// it has no such command).
TEST(Command, HelpVersionProgressAndPause) {
  scratch s;
  s.put_trace(user_one_trace());
  EXPECT_EQ(runin(s.dir(), program("cellfreq"), "--version").out, "cellfreq 1.0.0\n");
  EXPECT_TRUE(runin(s.dir(), program("cellfreq"), "--help").out.starts_with("Usage: cellfreq [OPTION]... [TRACE]\n"));
  const outcome quiet = runin(s.dir(), program("cellfreq"), fixedtrace);
  EXPECT_EQ(quiet.err, "");
  const outcome progress = runin(s.dir(), program("cellfreq"), "--progress " + fixedtrace);
  EXPECT_EQ(progress.out, quiet.out);
  EXPECT_TRUE(progress.err.starts_with("\rcellfreq: read 0.0 MB of 0.0 MB (100%), 11 lines, ")) << progress.err;
  EXPECT_TRUE(progress.err.ends_with("\n"));
  const outcome piped = runin(s.dir(), "/bin/sh", cat({"-c \"cat ", fixedtrace, " | '", program("cellfreq"), "' --progress\""}));
  EXPECT_TRUE(piped.err.starts_with("\rcellfreq: read 0.0 MB, 11 lines, ")) << piped.err;
  const outcome paused = runin(s.dir(), program("cellfreq"), "--pause " + fixedtrace);
  EXPECT_EQ(paused.status, 0);
  EXPECT_EQ(paused.out, quiet.out);
  EXPECT_NE(paused.err.find("PAUSE"), std::string::npos);
}
