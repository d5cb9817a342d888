// The public C++ API from the outside: built on include/cellfreq/ alone.
// A sink receives exactly what the columns hold, in the documented order;
// a stream reads as its file; failures and cancellation come back as
// cellfreq::error of their kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cellfreq/cellfreq.h"
#include "support/cases.h"

namespace {

const std::string sample = CELLFREQ_SOURCE_DIR "/data/oldenburg-sample.txt";

// Every call as one line of text, in the order made.
class recorder final : public cellfreq::sink {
public:
  std::vector<std::string> calls;
  void frequent(std::int32_t u, std::int32_t x, std::int32_t y, std::int64_t p) override { add("f", u, x, y, p); }
  void summary(std::int32_t u, std::int32_t x, std::int32_t y, std::int64_t v) override { add("s", u, x, y, v); }
  void visit(std::int32_t x, std::int32_t y, std::int64_t v) override { add("v", 0, x, y, v); }
  void id(std::int64_t o, std::string_view id) override { calls.push_back("i " + std::to_string(o) + " " + std::string(id)); }
  void map(std::string&& page) override { calls.push_back("m " + std::to_string(page.size())); }
  void finish(const cellfreq::runinfo& info) override { calls.push_back("end " + std::to_string(info.users)); }

private:
  void add(const char* what, std::int64_t a, std::int64_t b, std::int64_t c, std::int64_t d) {
    calls.push_back(std::string(what) + " " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) +
                    " " + std::to_string(d));
  }
};

// The calls that a sink would get for the columns of `r`.
std::vector<std::string> expected(const cellfreq::results& r) {
  recorder rec;
  // User by user: its frequent visits, then its summary rows.
  std::size_t f = 0, s = 0;
  for (std::int32_t u = 0; u < r.info.users; ++u) {
    for (; f < r.frequent.user.size() && r.frequent.user[f] == u; ++f)
      rec.frequent(u, r.frequent.x[f], r.frequent.y[f], r.frequent.position[f]);
    for (; s < r.summary.user.size() && r.summary.user[s] == u; ++s)
      rec.summary(u, r.summary.x[s], r.summary.y[s], r.summary.visits[s]);
  }
  for (std::size_t i = 0; i < r.visits.x.size(); ++i) rec.visit(r.visits.x[i], r.visits.y[i], r.visits.visits[i]);
  if (!r.map.empty()) rec.map(std::string(r.map));
  for (std::size_t i = 0; i < r.ids.size(); ++i) rec.id(static_cast<std::int64_t>(i), r.ids[i]);
  rec.finish(r.info);
  return rec.calls;
}

TEST(Api, SinkGetsWhatTheColumnsHoldInOrder) {
  const cellfreq::wanted cases[] = {{}, {false, true}, {true, true, true, true, true}, {false, false, true}};
  for (const cellfreq::wanted& want : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, want));
    const cellfreq::settings s;
    const cellfreq::results r = cellfreq::run(cellfreq::trace_file{sample}, s, want);
    recorder rec;
    cellfreq::run(cellfreq::trace_file{sample}, s, want, rec);
    const std::vector<std::string> want_calls = expected(r);
    const auto differ = std::mismatch(rec.calls.begin(), rec.calls.end(), want_calls.begin(), want_calls.end());
    EXPECT_TRUE(differ.first == rec.calls.end() && differ.second == want_calls.end())
        << "call " << differ.first - rec.calls.begin() << ": "
        << (differ.first != rec.calls.end() ? *differ.first : "none") << " instead of "
        << (differ.second != want_calls.end() ? *differ.second : "none");
    EXPECT_EQ(r.frequent.user.empty(), !want.frequent);
    EXPECT_EQ(r.visits.x.empty(), !want.visits);
    // Visits come ascending by x, then y, each cell once.
    for (std::size_t i = 1; i < r.visits.x.size(); ++i)
      EXPECT_LT(std::pair(r.visits.x[i - 1], r.visits.y[i - 1]), std::pair(r.visits.x[i], r.visits.y[i]));
  }
}

TEST(Api, StreamReadsAsItsFile) {
  std::FILE* f = std::fopen(sample.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  const cellfreq::wanted want{true, true};
  const cellfreq::results fromstream = cellfreq::run(cellfreq::trace_stream{f}, {}, want);
  std::fclose(f);
  const cellfreq::results fromfile = cellfreq::run(cellfreq::trace_file{sample}, {}, want);
  EXPECT_EQ(fromstream.frequent.position, fromfile.frequent.position);
  EXPECT_EQ(fromstream.summary.visits, fromfile.summary.visits);
  EXPECT_FALSE(fromfile.frequent.position.empty());
}

TEST(Api, FailuresComeBackAsErrorsOfTheirKind) {
  struct failing {
    cellfreq::input in;
    cellfreq::settings s;
    cellfreq::error_kind kind;
    int errnum;
    std::string message;
  };
  cellfreq::settings threshold;
  threshold.threshold = -1;
  cellfreq::settings crs;
  crs.crs = "EPSG:4326";
  const std::vector<std::int64_t> ids(3);
  const std::vector<double> xy(2);
  const cellfreq::columns uneven{std::span<const std::int64_t>(ids), std::span<const double>(xy),
                                 std::span<const double>(xy), {}};
  const failing cases[] = {
      {cellfreq::trace_file{"missing.txt"}, {}, cellfreq::error_kind::input_output, ENOENT,
       "cannot open trace 'missing.txt': No such file or directory"},
      {cellfreq::trace_file{sample}, crs, cellfreq::error_kind::usage, 0,
       "--crs needs --input-format csv: the TAB dialect's coordinates are metres of the grid"},
      {uneven, {}, cellfreq::error_kind::usage, 0, "the columns differ in length: ids 3, x 2, y 2"},
      {cellfreq::trace_file{sample}, threshold, cellfreq::error_kind::usage, 0, ""},
  };
  for (const failing& c : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, c));
    try {
      cellfreq::run(c.in, c.s);
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const cellfreq::error& e) {
      EXPECT_EQ(e.kind(), c.kind) << e.what();
      EXPECT_EQ(e.errnum(), c.errnum) << e.what();
      if (!c.message.empty()) EXPECT_EQ(e.what(), c.message);
      else EXPECT_EQ(std::string(e.what()).rfind("invalid --threshold '-1'", 0), 0u) << e.what();
    }
  }
}

TEST(Api, CancelledRunIsInterruptedAndWritesNoCellFile) {
  const cellfreq::cancel_token token;
  token.cancel();
  cellfreq::settings s;
  const std::string cells = CELLFREQ_BINARY_DIR "/api-cancelled-cells.txt";
  std::remove(cells.c_str());
  s.cell_file = cells;
  try {
    cellfreq::run(cellfreq::trace_file{sample}, s, {}, &token);
    ADD_FAILURE() << "a cancelled run succeeded";
  } catch (const cellfreq::error& e) {
    EXPECT_EQ(e.kind(), cellfreq::error_kind::interrupted);
    EXPECT_STREQ(e.what(), "interrupted");
  }
  EXPECT_EQ(std::fopen(cells.c_str(), "rb"), nullptr);
}

}  // namespace

namespace {

// Text ids with times and a bad row, as columns and as the CSV trace of the
// same rows: the same visits, ids and warnings but for how rows are named.
TEST(Api, TextColumnsReadAsTheirCsvTrace) {
  std::vector<std::string> names;
  std::vector<double> x, y, t;
  for (int i = 0; i < 400; ++i) {
    names.push_back("car-" + std::to_string(i * 7 % 13));
    x.push_back(i % 5 == 4 ? 3000.0 + i : 100.0 + i % 3);
    y.push_back(i == 17 ? std::nan("") : 200.0);
    t.push_back((i * 37) % 101);
  }
  const std::string path = CELLFREQ_BINARY_DIR "/api-columns.csv";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fprintf(f, "id,x,y,time\n");
  for (std::size_t i = 0; i < names.size(); ++i)
    std::fprintf(f, "%s,%.17g,%s,%.17g\n", names[i].c_str(), x[i], std::isnan(y[i]) ? "" : "200", t[i]);
  std::fclose(f);
  const std::vector<std::string_view> ids(names.begin(), names.end());
  cellfreq::settings s;
  s.time_column = "time";
  const cellfreq::wanted want{true, true, true, true};
  const cellfreq::results fromfile = cellfreq::run(cellfreq::trace_file{path, cellfreq::trace_format::csv}, s, want);
  const cellfreq::results fromcolumns = cellfreq::run(
      cellfreq::columns{std::span<const std::string_view>(ids), std::span<const double>(x),
                        std::span<const double>(y), std::span<const double>(t)},
      s, want);
  EXPECT_EQ(fromcolumns.frequent.position, fromfile.frequent.position);
  EXPECT_EQ(fromcolumns.frequent.user, fromfile.frequent.user);
  EXPECT_EQ(fromcolumns.summary.visits, fromfile.summary.visits);
  EXPECT_EQ(fromcolumns.visits.visits, fromfile.visits.visits);
  EXPECT_EQ(fromcolumns.ids, fromfile.ids);
  EXPECT_EQ(fromcolumns.info.objects, 20);
  EXPECT_FALSE(fromfile.frequent.position.empty());
  const std::vector<std::string> bad{"columns:18: y 'nan' is not a number", "columns: 1 bad row skipped"};
  EXPECT_EQ(fromcolumns.messages, bad);
  ASSERT_EQ(fromfile.messages.size(), 2u);
  EXPECT_EQ(fromfile.messages[0], path + ":19: y '' is not a number");
}

}  // namespace
