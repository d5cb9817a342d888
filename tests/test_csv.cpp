// The CSV trace reader: dialect, column choice, rows rejected and the
// messages naming them, time forms, id numbering, and read errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "support/cases.h"
#include "trace/csvtrace.h"
#include "trace/isotime.h"
#include "io/textin.h"

using namespace cellfreq;

namespace {

// Everything a whole read gives: the good rows as text, the messages, the counts.
struct outcome {
  std::string error;  // from open(), if it failed
  std::string rows;   // "line:id x y[ time]" per good row
  std::string err;    // the error stream
  std::string ids;    // object 0, 1, ... in order
  std::int64_t seen = 0, bad = 0;
  bool failed = false;
};

// Reads `text` (reads from files in blocks are the fuzz target's), handing
// out batches of at most `max` rows, and rejects the row on line `rejected`
// as a caller whose transform fails there would, before numbering the ids.
outcome readcsv(const std::string& text, csvoptions opts = {}, std::size_t max = 1000, std::int64_t rejected = 0) {
  std::FILE* err = std::tmpfile();
  textin in(text, false);
  const bool hastime = !opts.timecolumn.empty();
  csvreader r(in, std::move(opts), "t.csv", err);
  outcome o;
  idtable ids;
  const result<void> opened = r.open();
  if (!opened) o.error = opened.error().what;
  if (opened) {
    csvbatch b;
    while (r.next(b, max)) {
      for (std::size_t i = 0; i < b.size(); ++i) {
        if (b.line[i] != rejected) continue;
        r.reject(rejected, "outside the area");
        b.x[i] = NAN;
      }
      b.number(ids);
      for (std::size_t i = 0; i < b.size(); ++i) {
        if (b.object[i] < 0) continue;
        char buf[128];
        std::snprintf(buf, sizeof buf, " %.17g %.17g", b.x[i], b.y[i]);
        o.rows += std::to_string(b.line[i]) + ":" + std::string(ids[static_cast<std::size_t>(b.object[i])]) + buf;
        if (hastime) std::snprintf(buf, sizeof buf, " %.17g", b.time[i]);
        o.rows.append(hastime ? buf : "").append("\n");
      }
      b.clear();
    }
    r.finish();
  }
  for (const std::string_view id : ids) o.ids.append(o.ids.empty() ? "" : " ").append(id);
  o.seen = r.rows();
  o.bad = r.badrows();
  o.failed = r.failed();
  std::rewind(err);
  for (int c = std::fgetc(err); c != EOF; c = std::fgetc(err)) o.err += static_cast<char>(c);
  std::fclose(err);
  return o;
}

}  // namespace

// The dialect (delimiters, quotes, CRLF, a byte-order mark, blank lines,
// short and long rows) and the columns chosen by name, by number or by
// name folded to lower case and trimmed.
TEST(Csv, DialectAndColumns) {
  const std::string named = "Vehicle, LON ,lat,lon,t\nv1,1,2,3,4\n";
  const struct {
    std::string text;
    csvoptions opts;
    const char* rows;
  } cases[] = {
      {"id,x,y\na,1,2\nb,3.5,-4\n", {}, "2:a 1 2\n3:b 3.5 -4\n"},
      {"id,x,y\r\na,1,2\r\nb,3,4", {}, "2:a 1 2\n3:b 3 4\n"}, {"\xEF\xBB\xBFid,x,y\na,1,2", {}, "2:a 1 2\n"},
      {"id,x,y\n\"a,b\",1,2\n\"say \"\"hi\"\"\",3,4\n", {}, "2:a,b 1 2\n3:say \"hi\" 3 4\n"},
      {"id,x,y\n\"two\nlines\",\"1\",2\nc,5,6\n", {}, "2:two\nlines 1 2\n4:c 5 6\n"},
      {"id,x,y\n\"crlf\r\ninside\",1,2\r\n", {}, "2:crlf\r\ninside 1 2\n"},
      {"id,x,y\n\n\r\na,1,2\n\n", {}, "4:a 1 2\n"}, {"\"id\",\"x\",\"y\"\n\"\",1,2\na\"b,1,2\n", {}, "3:a\"b 1 2\n"},
      {"id;x;y\na;1.5;2\n", {.delimiter = ';'}, "2:a 1.5 2\n"},
      {"id\tx\ty\na b\t 1 \t2\t\n", {.delimiter = '\t'}, "2:a b 1 2\n"},
      {"id,x,y,extra\na,1,2\nb,1,2,3,4\n", {}, "2:a 1 2\n3:b 1 2\n"}, {"id,x,y", {}, ""}, {"id,x,y\n", {}, ""},
      {named, {.idcolumn = "Vehicle", .xcolumn = "lon", .ycolumn = "lat"}, "2:v1 3 2\n"},  // exact beats folded
      {named, {.idcolumn = "vehicle", .xcolumn = "Lon ", .ycolumn = "LAT"}, "2:v1 1 2\n"},  // folded: the first match
      {named, {.idcolumn = "1", .xcolumn = "5", .ycolumn = "003"}, "2:v1 4 2\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, c));
    const outcome o = readcsv(c.text, c.opts);
    EXPECT_EQ(o.error, "") << c.text;
    EXPECT_EQ(o.rows, c.rows) << c.text;
  }
}

TEST(Csv, OpenErrors) {
  std::string wide = "id,x,y";
  for (int i = 0; i < 30; ++i) wide += ",c" + std::to_string(i);
  const std::string cols = " in the header of 't.csv' (columns: id, t, x, y)";
  const struct {
    std::string text;
    csvoptions opts;
    std::string error;
  } cases[] = {
      {"id,t,x,y\n", {.xcolumn = "lon"}, "no column 'lon' for --x-column" + cols},
      {"id,t,x,y\n", {.xcolumn = "5"}, "no column '5' for --x-column" + cols},
      {"id,t,x,y\n", {.xcolumn = "0"}, "no column '0' for --x-column" + cols},
      {"id,\"a\tb\",x,y\n", {.timecolumn = "time"},
       "no column 'time' for --time-column in the header of 't.csv' (columns: id, a\\tb, x, y)"},
      {wide, {.xcolumn = "1", .timecolumn = "z"},
       "no column 'z' for --time-column in the header of 't.csv' (columns: id, x, y, c0, c1, c2, c3, c4, c5, c6, c7, "
       "c8, c9, c10, c11, c12, c13, c14, c15, c16, ... 33 columns in all)"},
      {"", {}, "no header row in 't.csv': the input is empty"},
      {"\n\r\n", {}, "no header row in 't.csv': the input is empty"},
      {"id,\"x\"y,y\n", {}, "t.csv:1: header field 2 has text after its closing quote"},
      {"id,\"x,y\n", {}, "t.csv:1: the header has an unterminated quote"},
      {"id\"x\"y\n", {.delimiter = '"'}, "the delimiter cannot be a quote or a line end"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, c));
    EXPECT_EQ(readcsv(c.text, c.opts).error, c.error);
  }
}

TEST(Csv, BadRowsAreNamed) {
  const struct {
    const char* row;
    const char* message;
  } cases[] = {
      {"a,1", "row has 2 fields, the y column is field 3"}, {"a", "row has 1 field, the x column is field 2"},
      {",1,2", "empty id"}, {"\"\",1,2", "empty id"}, {"a,abc,2", "x 'abc' is not a number"},
      {"a,1,", "y '' is not a number"}, {"a,1,inf", "y 'inf' is not a number"},
      {"a,nan,1", "x 'nan' is not a number"}, {"a,0x10,1", "x '0x10' is not a number"},
      {"a,1e,1", "x '1e' is not a number"}, {"a,.,1", "x '.' is not a number"},
      {"a,1.2.3,1", "x '1.2.3' is not a number"}, {"a,+-1,1", "x '+-1' is not a number"},
      {"a,1e400,1", "x '1e400' is out of range"}, {"a,\"1\"x,1", "field 2 has text after its closing quote"},
      {"a,1,\"\x01\r\x7f\"", "y '\\x01\\r\\x7f' is not a number"},
      {"a,1,1234567890123456789012345678901234567890x",
       "y '1234567890123456789012345678901234567890...' is not a number"},
      {"a,1,\"2", "unterminated quote at the end of the input"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.row)));
    const outcome o = readcsv(std::string("id,x,y\n\nb,1,1\n") + c.row, {});
    EXPECT_EQ(o.err, std::string("t.csv:4: ") + c.message + "\nt.csv: 1 bad row skipped\n") << c.row;
    EXPECT_EQ(o.rows, "3:b 1 1\n") << c.row;
    EXPECT_EQ(o.seen, 2);
    EXPECT_EQ(o.bad, 1);
  }
  // A cut does not split a UTF-8 character.
  std::string e9;
  for (int i = 0; i < 21; ++i) e9 += "\xC3\xA9";
  EXPECT_EQ(readcsv("id,x,y\na,1,x" + e9 + "\n").err,
            "t.csv:2: y 'x" + e9.substr(0, 38) + "...' is not a number\nt.csv: 1 bad row skipped\n");
}

TEST(Csv, TenNamedThenTotalAndStrictStops) {
  std::string text = "id,x,y\n";
  std::string expect;
  for (int i = 0; i < 12; ++i) {
    text += "v,x" + std::to_string(i) + ",1\nv,1,1\n";
    if (i < 10) expect += "t.csv:" + std::to_string(2 + 2 * i) + ": x 'x" + std::to_string(i) + "' is not a number\n";
  }
  const outcome o = readcsv(text);
  EXPECT_EQ(o.err, expect + "t.csv: 12 bad rows skipped\n");
  EXPECT_EQ(o.seen, 24);
  EXPECT_EQ(o.bad, 12);

  const outcome s = readcsv("id,x,y\nv,1,1\nv,?,1\nv,2,2\n", {.strict = true}, 1);
  EXPECT_EQ(s.err, "t.csv:3: x '?' is not a number\n");
  EXPECT_EQ(s.rows, "2:v 1 1\n");
  EXPECT_EQ(s.seen, 2);
  EXPECT_TRUE(s.failed);

  // A row rejected by the caller counts like one of the reader's own, and
  // numbers no id.
  const outcome lax = readcsv("id,x,y\nr,1,1\nv,2,2\n", {}, 1, 2);
  EXPECT_EQ(lax.err, "t.csv:2: outside the area\nt.csv: 1 bad row skipped\n");
  EXPECT_EQ(lax.rows, "3:v 2 2\n");
  EXPECT_EQ(lax.ids, "v");
  const outcome stops = readcsv("id,x,y\nv,1,1\nv,2,2\n", {.strict = true}, 1, 2);
  EXPECT_EQ(stops.err, "t.csv:2: outside the area\n");
  EXPECT_EQ(stops.rows, "");
  EXPECT_TRUE(stops.failed);
}

// A row is held up to the longest row only: a longer one, an unterminated
// quote among them, is a bad row, and reading goes on after the line feed
// that follows the cut, whatever quotes lie between; so does a header.
TEST(Csv, RowsPastTheLongestAreCutAtTheNextLineEnd) {
  const std::string x20(20, 'x');
  const struct {
    const char* name;
    std::string text;
    std::size_t longest;
    std::string rows, err, error;
  } cases[] = {
      {"an unterminated quote", "a,\"" + x20 + "\nc,2,2\n", 16, "3:c 2 2\n",
       "t.csv:2: row longer than 16 bytes (a quote is still open there)\n", ""},
      {"line feeds in the quote before the cut", "a,\"x\ny" + x20 + "\nc,2,2\n", 16, "4:c 2 2\n",
       "t.csv:2: row longer than 16 bytes (a quote is still open there)\n", ""},
      {"no quote", "a,1," + x20 + "\"\"\nc,2,2", 16, "3:c 2 2\n", "t.csv:2: row longer than 16 bytes\n", ""},
      {"one byte too long, CRLF", "a,1,1234567890123\r\nc,2,2\n", 16, "3:c 2 2\n",
       "t.csv:2: row longer than 16 bytes\n", ""},
      {"one byte too long, LF", "a,1,1234567890123\nc,2,2\n", 16, "3:c 2 2\n", "t.csv:2: row longer than 16 bytes\n", ""},
      {"as long as it may be, CRLF", "a,1,123456789012\r\nc,2,2\n", 16, "2:a 1 123456789012\n3:c 2 2\n", "", ""},
      {"the last row, unterminated", "c,2,2\na,\"" + x20, 16, "2:c 2 2\n",
       "t.csv:3: row longer than 16 bytes (a quote is still open there)\n", ""},
      {"past 64 MiB", "a,\"" + std::string(std::size_t{65} << 20, 'x') + "\nc,2,2\n", longest_line, "3:c 2 2\n",
       "t.csv:2: row longer than 64 MiB (a quote is still open there)\n", ""},
      {"the header", "", 4, "", "", "t.csv:1: the header is longer than 4 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const outcome o = readcsv("id,x,y\n" + c.text, {.longest = c.longest}, 1);
    EXPECT_EQ(o.error, c.error);
    EXPECT_EQ(o.rows, c.rows);
    EXPECT_EQ(o.err, c.err.empty() ? "" : c.err + "t.csv: 1 bad row skipped\n");
  }
}

TEST(Csv, TimeForms) {
  const struct {
    const char* text;
    double seconds;
  } good[] = {
      {"1224730384", 1224730384.0},           {" -12.5e1 ", -125.0},
      {"1970-01-01", 0.0},                    {"2008-10-23T02:53:04Z", 1224730384.0},
      {"2008-10-23 02:53:04", 1224730384.0},  {"2008-10-23T02:53", 1224730380.0},
      {"2008-10-23T02:53:04.25Z", 1224730384.25}, {"2008-10-23T02:53:04.123456", 1224730384.123456},
      {"2008-10-23T04:53:04+02:00", 1224730384.0}, {"2008-10-23T00:23:04-0230", 1224730384.0},
      {"2008-10-23T05:53:04+03", 1224730384.0}, {"2000-02-29", 951782400.0},
      {"1969-12-31T23:59:59.5Z", -0.5},       {"1900-03-01", -2203891200.0},
      {"2016-12-31T23:59:60Z", 1483228800.0}, {"0000-01-01", -62167219200.0},
  };
  // One reader for all, so that dates repeat and differ from row to row.
  std::string text = "id,x,y,t\n", expect;
  int line = 2;
  for (const auto& g : good) {
    text.append("a,1,2,\"").append(g.text).append("\"\n");
    char row[64];
    std::snprintf(row, sizeof row, "%d:a 1 2 %.17g\n", line++, g.seconds);
    expect += row;
  }
  EXPECT_EQ(readcsv(text, {.timecolumn = "t"}).rows, expect);
  for (const char* bad : {"2008-13-01", "2008-00-10", "2007-02-29", "1900-02-29", "2008-04-31", "2008-10-23T24:00",
                          "2008-10-23T12:60", "2008-10-23T12:00:61", "2008-10-23T12", "2008-10-23T12:00:00.",
                          "2008-10-23T12:00Zx", "2008-10-23T12:00+2", "2008-10-23T12:00+24", "2008-10-23T12:00+01:60",
                          "2008-10-23Z", "2008-1-23", "20x8-10-23", "2008-10-23T1x:00", "08-10-23", "2008/10/23",
                          "2008-10-23t12:00", ""}) {
    const outcome r = readcsv(std::string("id,x,y,t\na,1,2,") + bad + "\n", {.timecolumn = "4"});
    EXPECT_EQ(r.err, std::string("t.csv:2: time '") + bad + "' is not a date-time\nt.csv: 1 bad row skipped\n");
  }
  EXPECT_EQ(daysfromcivil(-1, 12, 31), -719529);
}

// Ids are numbered by their first good row; thousands of them, short and
// long ones sharing their first eight bytes, seen again in reverse order
// after the table has grown, keep their numbers.
TEST(Csv, IdsNumberedInFirstAppearanceOfGoodRows) {
  const outcome o = readcsv("id,x,y\nb,1,1\nz,bad,1\na,1,1\nb,2,2\n\"a\",3,3\nz,4,4\n", {}, 2);
  EXPECT_EQ(o.ids, "b a z");
  EXPECT_EQ(o.rows, "2:b 1 1\n4:a 1 1\n5:b 2 2\n6:a 3 3\n7:z 4 4\n");
  std::string text = "id,x,y\n", expect;
  for (int i = 0; i < 6000; ++i) {
    const int k = i < 3000 ? i : 5999 - i;
    const std::string id = std::string(k % 2 ? "v" : "sameprefix-").append(std::to_string(k));
    text.append(id).append(",1,1\n");
    expect.append(std::to_string(i + 2)).append(":").append(id).append(" 1 1\n");
  }
  const outcome many = readcsv(text);
  EXPECT_EQ(many.rows, expect);
  EXPECT_EQ(std::count(many.ids.begin(), many.ids.end(), ' '), 2999);
}

TEST(Csv, NumbersRoundExactlyLikeStrtod) {
  std::mt19937_64 rng(11);
  std::string text = "id,x,y\n";
  std::string expect;
  for (int i = 0; i < 20000; ++i) {
    std::string t = rng() % 2 ? "-" : "";
    for (int k = static_cast<int>(rng() % (i % 50 == 0 ? 40 : 10)); k >= 0; --k)
      t += static_cast<char>('0' + rng() % 10);
    t.append(".").append(std::to_string(rng() % 1000000));
    if (rng() % 3 == 0) t.append("e").append(std::to_string(static_cast<int>(rng() % 600) - 340));
    text.append("v,").append(t).append(",0\n");
    char buf[64];
    std::snprintf(buf, sizeof buf, ":v %.17g 0\n", std::strtod(t.c_str(), nullptr));
    expect += std::to_string(i + 2) + buf;
  }
  EXPECT_EQ(readcsv(text).rows, expect);
}

#ifdef __GLIBC__
// A read that fails ends the rows there: a row cut short is dropped, not
// read as a shorter one, and the error stays for the caller to report; one
// that fails at once leaves no header.
TEST(Csv, ReadErrors) {
  static constexpr std::string_view bytes = "id,x,y\na,1,2\nb,3,45";
  struct stream {
    std::size_t pos, failat;
  };
  cookie_io_functions_t io{};
  io.read = [](void* cookie, char* buf, std::size_t n) -> ssize_t {
    auto& s = *static_cast<stream*>(cookie);
    n = std::min(n, s.failat - s.pos);
    errno = EIO;
    if (n == 0) return -1;
    std::memcpy(buf, bytes.data() + s.pos, n);
    s.pos += n;
    return static_cast<ssize_t>(n);
  };
  for (const std::size_t failat : {std::size_t{0}, bytes.size() - 1}) {
    SCOPED_TRACE("failing at byte " + std::to_string(failat));
    stream s{0, failat};
    std::FILE* f = fopencookie(&s, "rb", io);
    ASSERT_NE(f, nullptr);
    textin in(f, false, 16);
    csvreader r(in, {}, "t.csv", stderr);
    const result<void> opened = r.open();
    const std::string e = opened ? std::string() : opened.error().what;
    csvbatch b;
    EXPECT_EQ(opened.ok(), failat != 0);
    while (r.next(b, 10)) {
    }
    EXPECT_EQ(e, failat == 0 ? "cannot read 't.csv': Input/output error" : "");
    EXPECT_EQ(b.line, failat == 0 ? std::vector<std::int64_t>{} : std::vector<std::int64_t>{2});
    EXPECT_EQ(in.error(), EIO);
    EXPECT_EQ(r.badrows(), 0);
    std::fclose(f);
  }
}
#endif

// The id table keeps every id and its number, short and long ones (past a
// block of the arena too), and holds what it says: the ids' bytes (twice for
// one longer than a block, which may leave the rest of a block unused) and
// about 30 bytes an id while numbering, the bytes and 8 an id once sealed,
// plus a block of each of its arrays.
TEST(Csv, IdTableHoldsItsIdsCompactly) {
  idtable t;
  const std::size_t n = 400000;
  std::uint64_t bytes = 0;
  const auto idof = [](std::size_t i) {
    return i % 200000 == 7 ? std::string((std::size_t{3} << 19) + i, 'L') : "id-" + std::to_string(i);
  };
  for (std::size_t i = 0; i < n; ++i) {
    const std::string id = idof(i);
    bytes += id.size() > (1 << 20) ? 2 * id.size() : id.size();
    ASSERT_EQ(t.number(id), static_cast<std::int32_t>(i));
  }
  const auto within = [&](double perid) {
    return static_cast<double>(t.bytes()) <= static_cast<double>(bytes) + perid * n + 3 * (1 << 20);
  };
  EXPECT_TRUE(within(32)) << t.bytes();
  EXPECT_FALSE(within(8)) << t.bytes();
  t.seal();
  EXPECT_TRUE(within(8)) << t.bytes();
  ASSERT_EQ(t.size(), n);
  std::size_t i = 0;
  for (const std::string_view id : t) {
    ASSERT_EQ(id, idof(i));
    ASSERT_EQ(t[i], idof(i));
    ++i;
  }
  for (std::size_t k = n; k-- > 0;) ASSERT_EQ(t.number(idof(k)), static_cast<std::int32_t>(k)) << k;
  t.push_back("new");
  EXPECT_EQ(t.number("new"), static_cast<std::int32_t>(n));
  EXPECT_EQ(t.number("newer"), static_cast<std::int32_t>(n + 1));
}
