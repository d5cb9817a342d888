// The trace parser on the malformed lines whose outcomes stored data relies
// on: run-together lines, late fields, pending reads and the final record;
// and the same records wherever the trace is split for a parallel read.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/cases.h"
#include "support/runner.h"
#include "trace/recordlist.h"

using namespace cellfreq;

namespace {

// The records of `text` in 400 m cells: one per newline, and the open one.
std::vector<node> parse(const std::string& text, bool ctrlz = false) {
  textin in(text, ctrlz);
  recordlist list;
  const std::int64_t nrec = readtrace(in, 400.0f, list);
  EXPECT_EQ(list.size(), static_cast<std::size_t>(nrec) + 1) << text;  // one record per newline, and the open one
  return list.tovector();
}

const node zero{0, 0, 0};
// A well-formed line: object 17 at (1234.5, 987.6), cells (4, 3) of 400 m.
const std::string good = "newpoint\t17\t3\t0\t42\t1234.5\t987.6\t12.5\n";
// A well-formed line with a letters-only label: object 800 at cells (3, 4).
const std::string next = "point\t800\t1200\t0\t42\t1000\t1400\t1.0\n";
// A line that ends right after field 6.
const std::string six = "p\t17\t3\t0\t42\t1234.5\t987.6\n";

}  // namespace

TEST(Readtrace, RecordsOfEveryLineShape) {
  struct shape {
    std::string text;
    std::vector<node> nodes;
    bool ctrlz = false;
  };
  std::vector<shape> cases = {
      {"", {zero}}, {good, {{17, 4, 3}, zero}},
      // Without a final newline the last line's record is the last record.
      {good.substr(0, good.size() - 1), {{17, 4, 3}}},
      {"newpoint\t17\t3\t0\t42\t1234.5\t987.6\t12.5\r\n", {{17, 4, 3}, zero}},
      {"\n" + good + "header without tabs\n" + next, {zero, {17, 4, 3}, zero, {800, 3, 4}, zero}},
      // Short lines close without cells.
      {"p\t5\n", {{5, 0, 0}, zero}}, {"p\t5\t6\n", {{5, 0, 0}, zero}}, {"p\t5\t6\t7\t8\n", {{5, 0, 0}, zero}},
      // The integer read after field 3 skips the newline: the next line's
      // field 1 becomes x and its field 2 y.
      {"p\t5\t6\t7\n" + next, {{5, 3, 4}, zero}},
      // The y read skips the newline; y becomes the next line's field 1.
      {"p\t5\t6\t7\t8\t1234.5\n" + next, {{5, 4, 3}, zero}},
      {"newpoint\t17\t3\t0\t42\t1234.5\t987.6\t12.5\t\n" + next, {{17, 4, 3}, zero}},
      // Field k + 1 is read as field k: here the y coordinate gives x.
      {"p\t17\t\t0\t42\t1234.5\t987.6\t12.5\n", {{17, 3, 1}, zero}},
      // After field 6 the newline reads the next label for y: letters
      // convert nothing, a leading number gives y its cell, and an empty
      // label lets the read take field 1, so that the next line is read one
      // field late (its field 2 is the id, fields 6 and 7 give the cells).
      {six + next, {{17, 4, 3}, {800, 3, 4}, zero}},
      {six + "2400abc" + next.substr(5), {{17, 4, 7}, {800, 3, 4}, zero}},
      {six + "\t800\t1200\t0\t42\t1600.5\t2000\t4000\n", {{17, 4, 3}, {1200, 6, 11}, zero}},
      // A space after field 6 reads field 7 for y, also when it ends the line.
      {"p\t17\t3\t0\t42\t1234.5\t987.6 2000\t12.5\n", {{17, 4, 6}, zero}},
      {"p\t17\t3\t0\t42\t1234.5\t987.6 2000\n" + next, {{17, 4, 6}, {800, 3, 4}, zero}},
      // A header with TABs converts nothing; after four TABs every character
      // reads for y, which skips its newline and takes the data line's field 1.
      {"name\tid\tseq\tcls\tt\tx\ty\tspeed\n" + good + next, {{0, 1, 1}, {800, 3, 4}, zero}},
      // Ids truncate and saturate, 2^31 included.
      {"p\t12.7\n", {{12, 0, 0}, zero}}, {"p\t-0.5\n", {{0, 0, 0}, zero}}, {"p\t1e20\n", {{INT32_MAX, 0, 0}, zero}},
      {"p\t2147483648\n", {{INT32_MAX, 0, 0}, zero}}, {"p\t-99999999999\n", {{INT32_MIN, 0, 0}, zero}},
      // Cells truncate toward zero and saturate. The quotient is taken in
      // double precision: the float just below a cell's edge (419431584,
      // below 400 × 1048579) stays in the cell before it, where a float
      // quotient would round up to the edge.
      {"p\t1\t0\t0\t0\t0\t399.9\t1\n", {{1, 1, 1}, zero}}, {"p\t1\t0\t0\t0\t400\t399.99999\t1\n", {{1, 2, 2}, zero}},
      {"p\t1\t0\t0\t0\t-900\t-100\t1\n", {{1, -1, 0}, zero}}, {"p\t1\t0\t0\t0\t-800\t1e30\t1\n", {{1, -1, INT32_MAX}, zero}},
      {"p\t1\t0\t0\t0\t419431584\t-1e30\t1\n", {{1, 1048579, INT32_MIN}, zero}},
      {"p\t1\t0\t0\t0\t1e999999\t-1e999999\t1\n", {{1, INT32_MAX, INT32_MIN}, zero}},
      // "inf" is no number: x takes field 3's 0 still held, and y waits for
      // the next number that a character step finds, field 6; a lone sign
      // is consumed and converts nothing.
      {"p\t17\t3\t0\t42\tinf\t987.6\t1\n", {{17, 1, 3}, zero}},
      {"p\t17\t3\t0\t42\t-\t987.6\t1\n", {{17, 1, 3}, zero}},
      // Ctrl-Z ends the trace where asked; elsewhere it is a label character.
      {good + "\x1a" + next, {{17, 4, 3}, zero}, true}, {good + "\x1a" + next, {{17, 4, 3}, {800, 3, 4}, zero}},
      // A lone CR is skipped in a label like any character, and is no line
      // end, so a five-field line still runs on.
      {"p\rq\t17\t3\t0\t42\t1234.5\t987.6\t12.5\n", {{17, 4, 3}, zero}},
      {"p\t5\t6\t7\t8\t1234.5\r" + next, {{5, 4, 3}, zero}},
  };
  // The integer read after field 3 skips any whitespace, a lone CR included,
  // so it takes field 5 and x and y come one field late.
  for (const char* blank : {" ", "\r", "\v", "\f"})
    cases.push_back({std::string("p\t17\t3\t0\t") + blank + "\t42\t1234.5\t987.6\n" + next,
                     {{17, 4, 3}, {800, 3, 4}, zero}});
  for (const shape& c : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, c));
    EXPECT_EQ(parse(c.text, c.ctrlz), c.nodes) << c.text;
  }
}

TEST(Recordlist, AppendKeepsOrderAcrossChunks) {
  recordlist a, b;
  const auto n = static_cast<std::int32_t>(recordlist::chunk_nodes);
  for (std::int32_t i = 0; i < n + 12; ++i) (i < n + 5 ? a : b).push({i, 0, 0});
  a.append(b);
  std::int32_t expect = 0;
  a.foreach([&](const node& x) { EXPECT_EQ(x.id, expect++); });
  EXPECT_EQ(expect, n + 12);
}

TEST(Readtracefile, EveryBlockSizeGivesTheSameRecords) {
  // Lines whose reads run over a split point placed anywhere: pending
  // integer and y reads, a trailing TAB, a header whose reads start from
  // unknown values, an empty label after a line ending at field 6, CRLF,
  // and an id that is never read, after blank lines, so it carries over.
  const std::string text = good + "p\t5\t6\t7\n" + next + "p\t5\t6\t7\t8\t1234.5\r\n" + next +
                           "name\tid\tseq\tcls\tt\tx\ty\tspeed\n" + good + six +
                           "\t800\t1200\t0\t42\t1600.5\t2000\t4000\n" + "h\tinf\tx\n" + next +
                           "newpoint\t17\t3\t0\t42\t1234.5\t987.6\t12.5\t\n" + good + "\n" + next + "\n\n" +
                           "p\tz\t3\t0\t42\t900\t900\t1\n" + next;
  const std::vector<node> whole = parse(text);
  const std::string path = testing::TempDir() + "split-trace.txt";
  testsupport::writefile(path, text);
  // Blocks of one byte end at every line end at once; larger ones put the
  // boundaries everywhere else, on one thread and on several; lines longer
  // than 30 bytes end the blocks wherever one is met.
  for (const std::size_t longest : {std::size_t{30}, blockplan{}.longest})
    for (const unsigned workers : {1u, 3u})
      for (std::size_t block = 1; block <= text.size() + 1; ++block) {
        SCOPED_TRACE(testing::Message() << "blocks of " << block << ", " << workers << " workers, longest " << longest);
        std::FILE* f = std::fopen(path.c_str(), "rb");
        filesource fs(f);
        recordlist list;
        const result<std::int64_t> r = readtraceblocks(fs, 400.0f, list, {block, workers, longest});
        std::fclose(f);
        ASSERT_TRUE(r.ok()) << r.error().errnum;
        ASSERT_EQ(r.value() + 1, static_cast<std::int64_t>(whole.size())) << "blocks of " << block;
        ASSERT_EQ(list.tovector(), whole) << "blocks of " << block << ", " << workers << " workers, " << longest;
      }
  std::remove(path.c_str());
}
