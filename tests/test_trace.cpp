// The trace parser on the malformed lines whose outcomes stored data relies
// on: run-together lines, late fields, pending reads and the final record.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cells/celltable.h"
#include "support/reference.h"
#include "trace/recordlist.h"

using namespace cellfreq;

namespace {

struct parsed {
  std::vector<node> nodes;
  std::int64_t nrec;
};

parsed parse(const std::string& text, bool ctrlz = false, float cellsize = 400.0f) {
  textin in(text, ctrlz);
  recordlist list;
  const std::int64_t nrec = readtrace(in, cellsize, list);
  return {list.tovector(), nrec};
}

const node zero{0, 0, 0};
// A well-formed line: object 17 at (1234.5, 987.6), cells (4, 3) of 400 m.
const std::string good = "newpoint\t17\t3\t0\t42\t1234.5\t987.6\t12.5\n";
// A well-formed line with a letters-only label: object 800 at cells (3, 4).
const std::string next = "point\t800\t1200\t0\t42\t1000\t1400\t1.0\n";

}  // namespace

TEST(Readtrace, EmptyTraceHoldsOneZeroRecord) {
  const parsed p = parse("");
  EXPECT_EQ(p.nrec, 0);
  EXPECT_EQ(p.nodes, std::vector<node>{zero});
}

TEST(Readtrace, WellFormedLinesAndTheFinalRecord) {
  EXPECT_EQ(parse(good).nodes, (std::vector<node>{{17, 4, 3}, zero}));
  // Without a final newline the last line's record is the last record.
  const parsed open = parse(good.substr(0, good.size() - 1));
  EXPECT_EQ(open.nrec, 0);
  EXPECT_EQ(open.nodes, std::vector<node>{(node{17, 4, 3})});
  // CRLF line ends read as newlines; the records are the same.
  EXPECT_EQ(parse("newpoint\t17\t3\t0\t42\t1234.5\t987.6\t12.5\r\n").nodes, parse(good).nodes);
}

TEST(Readtrace, BlankAndTablessLinesGiveZeroRecords) {
  const parsed p = parse("\n" + good + "header without tabs\n" + next);
  EXPECT_EQ(p.nrec, 4);
  EXPECT_EQ(p.nodes, (std::vector<node>{zero, {17, 4, 3}, zero, {800, 3, 4}, zero}));
}

TEST(Readtrace, ShortLinesCloseWithoutCells) {
  EXPECT_EQ(parse("p\t5\n").nodes, (std::vector<node>{{5, 0, 0}, zero}));
  EXPECT_EQ(parse("p\t5\t6\n").nodes, (std::vector<node>{{5, 0, 0}, zero}));
  EXPECT_EQ(parse("p\t5\t6\t7\t8\n").nodes, (std::vector<node>{{5, 0, 0}, zero}));
}

TEST(Readtrace, ThreeFieldLineRunsIntoTheNext) {
  // The integer read after the third field skips the newline; the next
  // line's field 1 becomes x and its field 2 y.
  const parsed p = parse("p\t5\t6\t7\n" + next);
  EXPECT_EQ(p.nrec, 1);
  EXPECT_EQ(p.nodes, (std::vector<node>{{5, 3, 4}, zero}));
}

TEST(Readtrace, FiveFieldLineRunsIntoTheNext) {
  // The y read skips the newline; y becomes the next line's field 1.
  const parsed p = parse("p\t5\t6\t7\t8\t1234.5\n" + next);
  EXPECT_EQ(p.nrec, 1);
  EXPECT_EQ(p.nodes, (std::vector<node>{{5, 4, 3}, zero}));
}

TEST(Readtrace, TrailingTabRunsIntoTheNext) {
  const parsed p = parse("newpoint\t17\t3\t0\t42\t1234.5\t987.6\t12.5\t\n" + next);
  EXPECT_EQ(p.nrec, 1);
  EXPECT_EQ(p.nodes, (std::vector<node>{{17, 4, 3}, zero}));
}

TEST(Readtrace, EmptyFieldShiftsTheFields) {
  // Field k + 1 is read as field k: here the y coordinate gives x.
  EXPECT_EQ(parse("p\t17\t\t0\t42\t1234.5\t987.6\t12.5\n").nodes, (std::vector<node>{{17, 3, 1}, zero}));
}

TEST(Readtrace, LineEndingAfterFieldSixReadsTheNextLabel) {
  const std::string six = "p\t17\t3\t0\t42\t1234.5\t987.6\n";
  // A letters-only label converts nothing: y is set again to the same cell.
  EXPECT_EQ(parse(six + next).nodes, (std::vector<node>{{17, 4, 3}, {800, 3, 4}, zero}));
  // A label that begins with a number gives y its cell.
  EXPECT_EQ(parse(six + "2400abc" + next.substr(5)).nodes,
            (std::vector<node>{{17, 4, 7}, {800, 3, 4}, zero}));
  // An empty label lets the read take field 1; the next line is read one
  // field late: its field 2 is the id, its field 4 (integer read) stays, and
  // its fields 6 and 7 give the cells.
  EXPECT_EQ(parse(six + "\t800\t1200\t0\t42\t1600.5\t2000\t4000\n").nodes,
            (std::vector<node>{{17, 4, 3}, {1200, 6, 11}, zero}));
}

TEST(Readtrace, SpaceAfterFieldSixReadsFieldSeven) {
  EXPECT_EQ(parse("p\t17\t3\t0\t42\t1234.5\t987.6 2000\t12.5\n").nodes, (std::vector<node>{{17, 4, 6}, zero}));
  // Field 7 ending the line: its newline reads once more, the letters-only
  // label converts nothing and y keeps field 7's cell.
  EXPECT_EQ(parse("p\t17\t3\t0\t42\t1234.5\t987.6 2000\n" + next).nodes,
            (std::vector<node>{{17, 4, 6}, {800, 3, 4}, zero}));
}

TEST(Readtrace, HeaderWithTabsSwallowsTheFirstDataLine) {
  // No read converts; after four TABs every character reads for y, which
  // skips the header's newline and takes the data line's field 1.
  const parsed p = parse("name\tid\tseq\tcls\tt\tx\ty\tspeed\n" + good + next);
  EXPECT_EQ(p.nrec, 2);
  EXPECT_EQ(p.nodes, (std::vector<node>{{0, 1, 1}, {800, 3, 4}, zero}));
}

TEST(Readtrace, IdsTruncateAndSaturate) {
  EXPECT_EQ(parse("p\t12.7\n").nodes.front().id, 12);
  EXPECT_EQ(parse("p\t-0.5\n").nodes.front().id, 0);
  EXPECT_EQ(parse("p\t1e20\n").nodes.front().id, 2147483647);
  EXPECT_EQ(parse("p\t-99999999999\n").nodes.front().id, -2147483647 - 1);
}

TEST(Readtrace, NegativeAndHugeCoordinates) {
  EXPECT_EQ(parse("p\t1\t0\t0\t0\t-900\t-100\t1\n").nodes.front(), (node{1, -1, 0}));
  EXPECT_EQ(parse("p\t1\t0\t0\t0\t1e999999\t-1e999999\t1\n").nodes.front(),
            (node{1, 2147483647, -2147483647 - 1}));
}

TEST(Readtrace, NonNumbersLeaveTheOldValues) {
  // "inf" is no number: x takes field 3's 0 still held, and y waits for
  // the next number that a character step finds, field 6.
  EXPECT_EQ(parse("p\t17\t3\t0\t42\tinf\t987.6\t1\n").nodes.front(), (node{17, 1, 3}));
  // A lone sign is consumed and converts nothing.
  EXPECT_EQ(parse("p\t17\t3\t0\t42\t-\t987.6\t1\n").nodes.front().x, 1);
}

TEST(Readtrace, BlankFieldFourIsSkippedByTheIntegerRead) {
  // The integer read after field 3 skips any whitespace, a lone carriage
  // return included, so it takes field 5 and x and y come one field late.
  for (const char* blank : {" ", "\r", "\v", "\f"}) {
    const std::string line = std::string("p\t17\t3\t0\t") + blank + "\t42\t1234.5\t987.6\n";
    EXPECT_EQ(parse(line + next).nodes, (std::vector<node>{{17, 4, 3}, {800, 3, 4}, zero})) << int{blank[0]};
  }
}

TEST(Readtrace, CtrlZEndsTheTraceOnlyWhereAsked) {
  const std::string text = good + "\x1a" + next;
  EXPECT_EQ(parse(text, true).nodes, (std::vector<node>{{17, 4, 3}, zero}));
  // Elsewhere it is a label character.
  EXPECT_EQ(parse(text, false).nodes, (std::vector<node>{{17, 4, 3}, {800, 3, 4}, zero}));
}

TEST(Readtrace, LoneCarriageReturnIsOrdinary) {
  // Inside a label it is skipped like any character; before the next line
  // it is no line end, so a five-field line still runs on.
  EXPECT_EQ(parse("p\rq\t17\t3\t0\t42\t1234.5\t987.6\t12.5\n").nodes, (std::vector<node>{{17, 4, 3}, zero}));
  EXPECT_EQ(parse("p\t5\t6\t7\t8\t1234.5\r" + next).nodes, (std::vector<node>{{5, 4, 3}, zero}));
}

TEST(Readtrace, SmallBlocksGiveTheSameRecords) {
  // A trace read from a file in blocks of every small size, so that numbers,
  // CRLF pairs and pending reads all straddle block boundaries.
  // Lines whose unused fields are not numbers, or not only: wherever a block
  // boundary falls, the fast paths and the character steps that take over
  // at the boundary must agree with the text read from memory.
  std::string text;
  const char* unused[] = {"3", "abc", "1e", "-", "1x2", "7\r5", "+", "1e+", ".", "inf"};
  for (int i = 0; i < 30; ++i)
    text += (i % 4 == 0 ? "p\t5\t6\t7\n" : "") + std::string("lbl\t") + std::to_string(i) + "\t" + unused[i % 10] +
            "\t0\t" + unused[(i + 3) % 10] + "\t1234.56789\t9.87654e2\t" + unused[(i + 7) % 10] + "\t12.5\r\n";
  const parsed whole = parse(text);
  for (std::size_t block = 16; block < 80; ++block) {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    textin in(f, false, block);
    recordlist list;
    EXPECT_EQ(readtrace(in, 400.0f, list), whole.nrec);
    EXPECT_EQ(list.tovector(), whole.nodes) << "block " << block;
    std::fclose(f);
  }
}

TEST(Readtrace, LinesAroundTheWindowSizeGiveTheSameRecords) {
  // Lines of 56 to 72 bytes, so that the newline falls on both sides of the
  // 64-byte window, in shapes that the mask tests must tell apart: CRLF, a
  // lone CR in the label or a field, blank or empty fields, six fields, and
  // an exponent in a coordinate. The parser takes its fast paths wherever
  // it can; the literal reference implementation steps through every
  // character, and the cell files of the two must agree.
  const char* tails[] = {"\t7\t3\t0\t42\t1234.5\t987.6\t12.5", "\t7\t3\t0\t42\t1.2345e3\t987.6\t1",
                         "\t7\t3\t0\t42\t1234.5\t987.6",        "\t7\t3\t \t42\t1234.5\t987.6\t1",
                         "\t7\t\t0\t42\t1234.5\t987.6\t1",      "\t7\t3\t0\t4\r2\t1234.5\t987.6\t1",
                         "\t7\t3\t0\t42\t1234.5\t987.6\t1\t",   "\t7\t3\t0\t42\t1234.5\t987.6\t1\r",
                         // Fields whose values go unused, but not their extent.
                         "\t7\tab\t3\t42\t1234.5\t987.6\t1",    "\t7\t3\tab\t42\t1234.5\t987.6\t1",
                         "\t7\t3\t1e\t42\t1234.5\t987.6\t1",    "\t7\t3\t3x\t42\t1234.5\t987.6\t1",
                         "\t7\t3\t0\tx4\t1234.5\t987.6\t1",     "\t7\t3\t0\t42\t1234.5\t987.6\tz\t1"};
  std::string text;
  for (int len = 56; len <= 72; ++len) {
    for (const char* tail : tails) {
      for (const char* eol : {"\n", "\r\n"}) {
        std::string line = std::string(tail) + eol;
        const std::size_t labellen = static_cast<std::size_t>(len) > line.size() ? len - line.size() : 1;
        std::string label(labellen, 'q');
        if (len % 5 == 0) label[labellen / 2] = '\r';
        text += label + line;
      }
    }
  }
  for (const float cellsize : {400.0f, 100.0f}) {
    textin in(text, false);
    recordlist list;
    readtrace(in, cellsize, list);
    std::string cells;
    {
      textout out(cells, "\n");
      std::vector<std::int64_t> codecount;
      writecells(list, 1000, out, codecount);
      out.flush();
    }
    reference::config cfg;
    cfg.cellsize = cellsize;
    EXPECT_EQ(cells, reference::run(text, cfg).cellfile) << cellsize;
  }
}

TEST(Recordlist, SpliceKeepsOrderAcrossChunks) {
  recordlist a, b;
  const auto n = static_cast<std::int32_t>(recordlist::chunk_nodes);
  for (std::int32_t i = 0; i < n + 5; ++i) a.push({i, 0, 0});
  for (std::int32_t i = 0; i < 7; ++i) b.push({n + 5 + i, 1, 1});
  a.splice(std::move(b));
  EXPECT_EQ(a.size(), static_cast<std::size_t>(n + 12));
  EXPECT_EQ(b.size(), 0u);
  std::int32_t expect = 0;
  bool inorder = true;
  a.foreach([&](const node& x) { inorder = inorder && x.id == expect++; });
  EXPECT_TRUE(inorder);
}

TEST(Readtracefile, EverySplitPointGivesTheSameRecords) {
  // Lines whose reads run over a split point placed anywhere: pending
  // integer and y reads, a trailing TAB, a header whose reads start from
  // unknown values, an empty label after a line ending at field 6, CRLF.
  const std::string text = good + "p\t5\t6\t7\n" + next + "p\t5\t6\t7\t8\t1234.5\r\n" + next +
                           "name\tid\tseq\tcls\tt\tx\ty\tspeed\n" + good + "p\t17\t3\t0\t42\t1234.5\t987.6\n" +
                           "\t800\t1200\t0\t42\t1600.5\t2000\t4000\n" + "h\tinf\tx\n" + next +
                           "newpoint\t17\t3\t0\t42\t1234.5\t987.6\t12.5\t\n" + good + "\n" + next;
  const parsed whole = parse(text);
  const std::string path = testing::TempDir() + "split-trace.txt";
  {
    std::FILE* w = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), w);
    std::fclose(w);
  }
  for (std::int64_t middle = 0; middle <= static_cast<std::int64_t>(text.size()); ++middle) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    recordlist list;
    const traceread r = readtracefile_split(f, path.c_str(), middle, 400.0f, list);
    std::fclose(f);
    EXPECT_EQ(r.error, 0);
    ASSERT_EQ(r.nrec, whole.nrec) << "split after byte " << middle;
    ASSERT_EQ(list.tovector(), whole.nodes) << "split after byte " << middle;
  }
  std::remove(path.c_str());
}
