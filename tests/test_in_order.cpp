// The passes on several threads: the in-order formatter itself, and the
// cell file and every report format written on many threads in tiny pieces
// against one thread writing them whole.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "analysis/formats.h"
#include "cells/celltable.h"
#include "io/in_order.h"

using namespace cellfreq;

namespace {

// The plans every check runs under: one thread, and several threads in
// pieces small enough that pieces outgrow their share and wait.
struct plancase {
  const char* name;
  share_plan plan;
};
const plancase plans[] = {
    {"one thread", {1, std::size_t{4} << 20, 1 << 16}},
    {"two threads, one-byte shares", {2, 1, 1}},
    {"three threads, small pieces", {3, 64, 5}},
    {"eight threads, large shares", {8, std::size_t{1} << 20, 40}},
};

// Piece i's text: its number and a run of letters of a length of its own,
// across the 64 KiB buffer of a piece for some.
std::string piecetext(std::size_t i) {
  return std::to_string(i) + ":" + std::string(i * 7919 % (i % 13 == 0 ? 150000 : 700), static_cast<char>('a' + i % 26)) + "\n";
}

}  // namespace

TEST(FormatInOrder, PiecesReachTheOutputInOrderWhateverTheThreads) {
  for (const std::size_t n : {0u, 1u, 7u, 300u}) {
    std::string whole;
    for (std::size_t i = 0; i < n; ++i) whole += piecetext(i);
    for (const plancase& c : plans) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(n) + " pieces");
      std::string s;
      textout out(s, "\n");
      format_in_order(out, n, [](std::size_t i, unsigned, textout& piece) { piece.put(piecetext(i)); }, c.plan);
      ASSERT_TRUE(out.flush());
      EXPECT_EQ(s, whole);
    }
  }
}

TEST(FormatInOrder, AFailureEndsThePiecesAndAThrowIsRethrown) {
  for (const plancase& c : plans) {
    SCOPED_TRACE(c.name);
    // An output that fails: no further piece is begun once it has.
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    {
      textout out(full, "\n", 4096);
      std::atomic<std::size_t> begun{0};
      format_in_order(out, 100000, [&](std::size_t, unsigned, textout& piece) {
        ++begun;
        piece.put(std::string(10000, 'x'));
      }, c.plan);
      EXPECT_FALSE(out.flush());
      EXPECT_LT(begun.load(), 100000u);
    }
    std::fclose(full);
    // A piece that throws: the exception reaches the caller, the output is
    // abandoned, and every thread has stopped.
    std::string s;
    textout out(s, "\n");
    EXPECT_THROW(format_in_order(out, 50, [](std::size_t i, unsigned, textout& piece) {
      if (i == 17) throw std::runtime_error("piece 17");
      piece.put(piecetext(i));
    }, c.plan), std::runtime_error);
    EXPECT_TRUE(out.failed());
  }
}

namespace {

// A fleet of records: most cells narrow, some wide (negative, projected,
// beyond the exact range), some ids outside the range written.
recordlist fleet(std::size_t n, std::int32_t objects, unsigned seed) {
  std::mt19937 rng(seed);
  recordlist list;
  for (std::size_t k = 0; k < n; ++k) {
    node r{static_cast<std::int32_t>(rng() % static_cast<unsigned>(objects + 3)) - 1,
           static_cast<std::int32_t>(rng() % 40), static_cast<std::int32_t>(rng() % 40)};
    switch (rng() % 16) {
      case 0: r.x = -r.x - 1; break;
      case 1: r.x += 500000; break;
      case 2: r.y = 1000 + r.y; break;
      default: break;
    }
    list.push(r);
  }
  return list;
}

struct cellrun {
  std::string text;
  std::vector<std::int64_t> counts;
  cellbox box;
};

cellrun cells(const recordlist& list, std::int32_t from, std::int32_t to, bool exact, const share_plan& plan) {
  cellrun r;
  textout out(r.text, "\n");
  r.counts.assign(static_cast<std::size_t>((to + 9) / 10), 0);
  EXPECT_TRUE(writecellrange(list, from, to, out, r.counts, {10, exact}, r.box, plan));
  EXPECT_TRUE(out.flush());
  return r;
}

}  // namespace

TEST(Writecellrange, EveryPlanWritesTheSameFileCountsAndBox) {
  struct fleetcase {
    std::size_t records;
    std::int32_t objects, from, to;
    bool exact;
  };
  for (const fleetcase& f : {fleetcase{0, 5, 0, 5, false}, fleetcase{3000, 7, 0, 7, false},
                             fleetcase{20000, 40, 0, 40, true}, fleetcase{20000, 40, 10, 30, true},
                             fleetcase{50000, 2000, 0, 2000, false}}) {
    const recordlist list = fleet(f.records, f.objects, static_cast<unsigned>(f.records + f.objects));
    const cellrun want = cells(list, f.from, f.to, f.exact, {1});
    for (const plancase& c : plans) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(f.records) + " records of " +
                   std::to_string(f.objects) + " objects, " + std::to_string(f.from) + "-" + std::to_string(f.to) +
                   (f.exact ? ", exact" : ""));
      const cellrun got = cells(list, f.from, f.to, f.exact, c.plan);
      EXPECT_EQ(got.text, want.text);
      EXPECT_EQ(got.counts, want.counts);
      EXPECT_EQ(got.box.colons, want.box.colons);
      EXPECT_EQ(got.box.lo, want.box.lo);
      EXPECT_EQ(got.box.hi, want.box.hi);
    }
  }
}

TEST(Reportwriter, EveryFormatIsTheSameOnEveryPlan) {
  const recordlist list = fleet(30000, 300, 5);
  const cellrun file = cells(list, 0, 300, true, {1});
  textin in(file.text, false);
  celltable table;
  ASSERT_TRUE(loadcells(in, file.counts, cellfreq::max(file.counts, 30), table, &file.box));
  for (const reportformat format : {reportformat::text, reportformat::csv, reportformat::json, reportformat::geojson}) {
    for (const bool summary : {false, true}) {
      const auto write = [&](const share_plan& plan) {
        std::string s;
        textout out(s, "\n");
        reportwriter writer({format, summary}, 2, out);
        writer.share(plan);
        writer.users(table, file.counts, 0, 17);
        writer.users(table, file.counts, 17, 30);
        writer.finish();
        EXPECT_TRUE(out.flush());
        return s;
      };
      const std::string want = write({1});
      for (const plancase& c : plans) {
        SCOPED_TRACE(std::string(c.name) + ", format " + std::to_string(static_cast<int>(format)) +
                     (summary ? ", summary" : ""));
        EXPECT_EQ(write(c.plan), want);
      }
    }
  }
}
