// Character reading, numeric scanning and output formatting: the exact
// rules that every stage's bytes depend on.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/cases.h"
#include "support/runner.h"
#include "io/chunkalloc.h"
#include "io/result.h"
#include "io/textin.h"
#include "io/textout.h"
#include "trace/fieldscan.h"
#include "trace/scan.h"

using namespace cellfreq;

namespace {

// Every character that `in` gives, until the end.
std::string drain(textin& in) {
  std::string s;
  for (int c = in.get(); c != textin::eof; c = in.get()) s += static_cast<char>(c);
  return s;
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }  // to compare -0 and NaN too

}  // namespace

// A CR directly before an LF reads as the LF, any other CR as itself, and a
// Ctrl-Z ends the input only where asked; from memory and from a file read
// in blocks of every small size, so that pairs straddle block boundaries.
TEST(Textin, TextModeRulesInMemoryAndAcrossBlocks) {
  std::string mixed;
  for (int i = 0; i < 40; ++i) mixed += i % 3 == 0 ? "x\r\n" : i % 3 == 1 ? "\r" : "yz\n";
  mixed += "\x1atail\r\n";
  const auto lf = [](std::string s) {  // CRLF to LF, done the obvious way
    for (std::size_t p; (p = s.find("\r\n")) != std::string::npos;) s.erase(p, 1);
    return s;
  };
  const struct {
    std::string text;
    bool ctrlz;
    std::string want;
  } cases[] = {
      {"a\r\nb\rc\r\r\nd\r", false, "a\nb\rc\r\nd\r"}, {"ab\x1a" "cd", true, "ab"},
      {"ab\x1a" "cd", false, "ab\x1a" "cd"}, {mixed, false, lf(mixed)},
      {mixed, true, lf(mixed.substr(0, mixed.find('\x1a')))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, c));
    textin mem(c.text, c.ctrlz);
    EXPECT_EQ(drain(mem), c.want);
    for (std::size_t block = 16; block < 40; ++block) {
      std::FILE* f = testsupport::tmpfilewith(c.text);
      textin in(f, c.ctrlz, block);
      EXPECT_EQ(drain(in), c.want) << "block " << block;
      EXPECT_EQ(in.error(), 0);
      std::fclose(f);
    }
  }
}

// What "%f" reads from each form, bit for bit, and the character it leaves:
// partial forms are consumed and convert nothing (the value stays -7),
// "inf", "nan" and hexadecimal are no numbers, extremes saturate.
TEST(Scanfloat, WhatEachFormReadsAndLeaves) {
  constexpr float inf = std::numeric_limits<float>::infinity(), none = -7.0f;
  constexpr int end = textin::eof;
  const std::string longtext = std::string(10000, '0') + "1." + std::string(10000, '7');
  const struct {
    std::string text;
    float value;
    int next;
  } cases[] = {
      {"1234.5", 1234.5f, end}, {"  \n\t\r\v\f-12.25x", -12.25f, 'x'}, {"+7", 7.0f, end}, {".5", 0.5f, end},
      {"5.", 5.0f, end}, {"1.2345E3", 1234.5f, end}, {"1.23456e+03", 1234.56f, end}, {"12e-1", 1.2f, end},
      {"399.99999", 400.0f, end}, {"00000000000000000000000012", 12.0f, end}, {"12.5\tz", 12.5f, '\t'},
      {"-x", none, 'x'}, {"+x", none, 'x'}, {".x", none, 'x'}, {"-.x", none, 'x'}, {"1ex", none, 'x'},
      {"1e+x", none, 'x'}, {"1E-x", none, 'x'}, {".e5", none, 'e'},
      {"inf", none, 'i'}, {"INF", none, 'I'}, {"nan", none, 'n'}, {"NAN(1)", none, 'N'}, {",5", none, ','},
      {"0x1p3", 0.0f, 'x'}, {"1,5", 1.0f, ','},
      {"1e999999", inf, end}, {"-1e99999999999999999999", -inf, end}, {"3.5e38", inf, end}, {"1e-999999", 0.0f, end},
      {"-1e-999999", -0.0f, end}, {std::string(10000, '9'), inf, end}, {"0." + std::string(10000, '0') + "1", 0.0f, end},
      {longtext, std::strtof(longtext.c_str(), nullptr), end},
  };
  for (const auto& c : cases) {
    textin in(c.text, false);
    float v = none;
    EXPECT_EQ(scanfloat(in, v), c.value != none) << c.text.substr(0, 20);
    EXPECT_EQ(bits(v), bits(c.value)) << c.text.substr(0, 20);
    EXPECT_EQ(in.peek(), c.next) << c.text.substr(0, 20);
  }
}

TEST(Scanfloat, RoundsExactlyLikeTheCLibrary) {
  // Random decimal texts of every length, including long mantissas whose
  // tails decide the rounding; the C library's strtof rounds correctly.
  std::mt19937_64 rng(42);
  for (int i = 0; i < 200000; ++i) {
    std::string t;
    const int intdigits = static_cast<int>(rng() % 12);
    const int fracdigits = static_cast<int>(rng() % (i % 100 == 0 ? 150 : 12));
    for (int k = 0; k < intdigits; ++k) t += static_cast<char>('0' + rng() % 10);
    if (fracdigits > 0 || intdigits == 0) {
      t += '.';
      for (int k = 0; k < std::max(fracdigits, 1); ++k) t += static_cast<char>('0' + rng() % 10);
    }
    if (rng() % 4 == 0) t.append("e").append(std::to_string(static_cast<int>(rng() % 90) - 45));
    float got = 0.0f;
    ASSERT_TRUE(parsefloat(t, got)) << t;
    ASSERT_EQ(got, std::strtof(t.c_str(), nullptr)) << t;
    // The direct conversion of well-formed fields agrees, to the last byte.
    const std::string field = (i % 3 == 0 ? "-" : "") + t;
    float direct = 0.0f;
    ASSERT_EQ(scanfloat_span(field.data(), field.data() + field.size(), direct), field.data() + field.size()) << field;
    ASSERT_EQ(direct, std::strtof(field.c_str(), nullptr)) << field;
  }
  // Halfway cases between neighbouring floats, exactly and just off.
  for (const char* t : {"16777217", "16777217.000000000000000000000000001", "16777216.999999999999999999", "33554435",
                        "1.00000005960464477539062500000000000000000000000000001", "1.401298464324817e-45",
                        "1.0000000596046447753906249999999999999999999999", "7.006492321624085e-46",
                        "7.006492321624086e-46", "3.4028235677973366e38"}) {
    float got = 0.0f;
    ASSERT_TRUE(parsefloat(t, got)) << t;
    EXPECT_EQ(got, std::strtof(t, nullptr)) << t;
  }
}

// The span scanner ends where the grammar does (-1: converts nothing); the
// one-load field scanner either declines or gives exactly the span
// scanner's answer for a field that is one whole number, and its check of
// the form alone agrees with both; a field taken as a run of digits holds
// the value that the number read from it truncates to.
TEST(Scanfloat, SpanAndFieldScannersAgree) {
  for (const auto& [t, want] : std::vector<std::pair<std::string, int>>{
           {"12.5\t3", 4}, {"1e5x", 3}, {"1e12345", 7}, {"1ex", -1}, {"+.5", 3}, {"-", -1}, {" 1", -1},
           {"12345678901234567890123.5", 25}}) {
    float v = -7.0f;
    const char* q = scanfloat_span(t.data(), t.data() + t.size(), v);
    EXPECT_EQ(q == nullptr ? -1 : static_cast<int>(q - t.data()), want) << t;
  }
  int digitruns = 0;
  const auto check = [&digitruns](const std::string& field, const char* stop) {
    const std::string text = field + stop + std::string(field_readahead, '7');
    const char* fieldend = text.data() + field.size();
    // A TAB ends the field itself; a line end is where the line's span ends.
    const char* lineend = *stop == '\t' ? text.data() + text.size() - field_readahead : fieldend;
    float fast = -7.0f, general = -7.0f;
    std::int32_t whole = -1;
    if (const char* d = digitsfield(text.data(), lineend, whole)) {
      EXPECT_EQ(d, fieldend) << field;
      EXPECT_EQ(scanfloat_span(text.data(), d, general), d) << field;
      EXPECT_EQ(whole, trunc_sat(general)) << field;
      ++digitruns;
    }
    // The form alone is decided wherever the value is, and means the same.
    const char* form = numberfield(text.data(), lineend);
    if (form != nullptr) {
      EXPECT_EQ(scanfloat_span(text.data(), form, general), form) << field;
    }
    const char* q = scanfloat_field(text.data(), lineend, fast);
    if (q == nullptr) return 0;
    EXPECT_EQ(form, q) << field;
    EXPECT_EQ(q, fieldend) << field;
    EXPECT_EQ(scanfloat_span(text.data(), fieldend, general), fieldend) << field;
    EXPECT_EQ(bits(fast), bits(general)) << field;
    return 1;
  };
  int taken = 0;
  for (const char* stop : {"\t", "\r\n", "\n"}) {
    SCOPED_TRACE("ended by " + testing::PrintToString(std::string(stop)));
    for (const char* f : {"0", "7", "702", "-0", "+5", "-.5", "5.", ".5", "8993.44", "8.77171e+03", "2.00361E-04",
                          "1e10", "1e-10", "12345678.1234567", "16777215", "16777216", "16777217", "0.00000001",
                          "99999999.9", "1e999", "-1e-999", "123e1", "1.5e", "1e+", "1e-", "e5", "-", "+", ".", "1.2.3",
                          "1e5e5", "--1", "1-", "1+2", "1 ", " 1", "1\v", "0x10", "inf", "1,5", "123456789012345",
                          "0000007", "1234567", "12345678", "12a"})
      taken += check(f, stop);
  }
  // Where the one-load path is built the common forms take it; in the
  // portable build (and without SSE2) it declines every field, so that
  // the span scanner alone decides them.
#if defined(CELLFREQ_PORTABLE)
  EXPECT_FALSE(simd_fastpaths) << "the portable build has the fast paths";
#endif
  if (simd_fastpaths) {
    EXPECT_GT(taken, 40);
    EXPECT_EQ(digitruns, 3 * 5);  // "0", "7", "702", "0000007", "1234567"
  } else {
    EXPECT_EQ(taken, 0);
    EXPECT_EQ(digitruns, 0);
  }
}

// "%d" of any 64-bit value: the length is computed before the digits are
// placed, so each side of every power of ten is checked, and the extremes.
// ("%.3d" is checked against printf through the cell file's tokens.)
TEST(Textout, FormattedIntegersAtEveryLengthBoundary) {
  std::vector<std::int64_t> values = {0, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()};
  for (std::int64_t p = 1; p <= std::numeric_limits<std::int64_t>::max() / 10; p *= 10)
    for (const std::int64_t v : {p - 1, p, p + 1, 10 * p - 1}) values.insert(values.end(), {v, -v});
  for (const std::int64_t v : values) {
    char buf[24];
    EXPECT_EQ(std::string(buf, formatint(buf, v)), std::to_string(v));
  }
  char buf[24];
  EXPECT_EQ(std::string(buf, formatuint(buf, std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
}

// Exactly the width asked for, odd and even, zero-padded, up to 10 digits.
TEST(Textout, PaddedDigitsHaveExactlyTheirWidth) {
  const struct {
    std::uint32_t v;
    int width;
    const char* text;
  } cases[] = {{0, 1, "0"}, {7, 1, "7"}, {0, 2, "00"}, {7, 2, "07"}, {59, 2, "59"}, {7, 3, "007"},
               {123, 3, "123"}, {42, 6, "000042"}, {1234567, 7, "1234567"}, {4294967295u, 10, "4294967295"},
               {0, 0, ""}};
  for (const auto& c : cases) {
    char buf[16];
    EXPECT_EQ(std::string(buf, formatpadded(buf, c.v, c.width)), c.text) << c.v << " in " << c.width;
  }
}

TEST(Textout, BackgroundWritesKeepTheBlocksInOrder) {
  // Blocks of 256 bytes, so that thousands pass through the writer thread;
  // then blocks of the default size around the page cache, from the start
  // and after a part written through it, handed over in whole pages; with
  // lines formatted in place and through put() mixed, once with a flush in
  // their midst, and more written to the stream after them.
  const struct {
    std::size_t block;
    std::uint64_t bypassafter;
    int lines;
    int flushat;  // a line after which everything is flushed, mid-output
  } cases[] = {{256, UINT64_MAX, 20000, -1},
               {textout::default_block, 0, 400000, -1},
               {textout::default_block, 3000000, 400000, -1},
               {textout::default_block, 0, 400000, 200001}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testsupport::caseof(cases, c));
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::string expect;
    {
      textout out(f, "\r\n", c.block);
      if (c.bypassafter != UINT64_MAX) out.bypasscache(c.bypassafter);
      for (int i = 0; i < c.lines; ++i) {
        char* p = out.claim(40);
        *p++ = '#';
        out.advance(formatint(p, -std::int64_t{i} * 7919));
        out.put(" x");
        out.newline();
        expect.append("#").append(std::to_string(-std::int64_t{i} * 7919)).append(" x\r\n");
        if (i == c.flushat) {
          EXPECT_TRUE(out.flush());
        }
      }
      EXPECT_TRUE(out.flush());
    }
    // The stream goes on where the output ended, however it was written.
    std::fputs("tail\n", f);
    expect += "tail\n";
    std::rewind(f);
    std::string got(expect.size() + 1, '\0');
    got.resize(std::fread(got.data(), 1, got.size(), f));
    std::fclose(f);
    EXPECT_TRUE(got == expect) << c.block << " " << c.bypassafter;
  }
}

// The last large block freed serves the next large request it fits, and
// only one it fits: never a larger one, nor a small one (those come from
// the heap), nor one so much smaller that most of it would go unused.
TEST(Chunkalloc, AKeptBlockServesOnlyARequestItFits) {
  constexpr std::size_t mib = std::size_t{1} << 20;
  struct reuse {
    std::size_t freed, asked;
    bool same;
  };
  for (const reuse& r : {reuse{40 * mib, 40 * mib, true}, reuse{40 * mib, 36 * mib, true}, reuse{40 * mib, 30 * mib, false},
                         reuse{40 * mib, 50 * mib, false}, reuse{80 * mib, 33 * mib, false}}) {
    SCOPED_TRACE(std::to_string(r.freed / mib) + " MiB freed, " + std::to_string(r.asked / mib) + " MiB asked");
    chunk_trim();
    void* kept = chunkalloc(r.freed);
    chunkfree(kept, r.freed);
    void* got = chunkalloc(r.asked);
    EXPECT_EQ(got == kept, r.same);
    static_cast<char*>(got)[r.asked - 1] = 1;  // all of it is there to use
    chunkfree(got, r.asked);
  }
  chunk_trim();
}

// A result holds its value or its failure, never both, and a failure never
// reads as success: an error number of 0 becomes EIO.
TEST(Result, HoldsTheValueOrTheFailure) {
  EXPECT_TRUE(result<int>{7}.ok());
  EXPECT_EQ(result<int>{7}.value(), 7);
  const result<std::string> refused = failure{"cannot open trace 'x'", ENOENT};
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().what, "cannot open trace 'x'");
  EXPECT_EQ(refused.error().errnum, ENOENT);
  EXPECT_EQ(refused.error().status, 1);
  EXPECT_FALSE(refused.error().whole);
  const struct {
    int errnum;
    bool ok;
    int told;  // the error number of the failure, when it fails
  } cases[] = {{0, true, 0}, {ENOSPC, false, ENOSPC}, {EINTR, false, EINTR}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.errnum);
    const result<void> r = fromerrno(c.errnum);
    ASSERT_EQ(r.ok(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(r.error().errnum, c.told);
    }
  }
  EXPECT_EQ(syserror(0).errnum, EIO);
  errno = 0;
  EXPECT_EQ(lasterror().errnum, EIO);
}

// Of two steps, the first failure is the one told.
TEST(Result, FirstFailureWins) {
  const auto of = [](int e) { return e == 0 ? result<void>{} : result<void>{failure{"step", e}}; };
  const struct {
    int kept, next, told;  // error numbers; 0: success
  } cases[] = {{0, 0, 0}, {0, EPIPE, EPIPE}, {ENOSPC, 0, ENOSPC}, {ENOSPC, EPIPE, ENOSPC}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.kept) + " then " + std::to_string(c.next));
    const result<void> r = first(of(c.kept), of(c.next));
    EXPECT_EQ(r.ok() ? 0 : r.error().errnum, c.told);
  }
}
