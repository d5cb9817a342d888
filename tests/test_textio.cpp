// Character reading, numeric scanning and output formatting: the exact
// rules that every stage's bytes depend on.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "trace/fieldscan.h"
#include "trace/scan.h"
#include "trace/textin.h"
#include "trace/textout.h"

using namespace cellfreq;

namespace {

std::string drain(textin& in) {
  std::string s;
  for (int c = in.get(); c != textin::eof; c = in.get()) s += static_cast<char>(c);
  return s;
}

// A temporary file holding `bytes`, read through textin with tiny blocks.
struct tmpfile_reader {
  std::FILE* f;
  explicit tmpfile_reader(const std::string& bytes) : f(std::tmpfile()) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
  }
  ~tmpfile_reader() { std::fclose(f); }
};

// What a float read gives and the character it leaves unread.
struct scanned {
  bool ok;
  float value;
  int next;
};
scanned scanf_of(const std::string& text) {
  textin in(text, false);
  float v = -7.0f;
  const bool ok = scanfloat(in, v);
  return {ok, v, in.peek()};
}

}  // namespace

TEST(Textin, CarriageReturnRules) {
  textin a(std::string_view("a\r\nb\rc\r\r\nd\r"), false);
  EXPECT_EQ(drain(a), "a\nb\rc\r\nd\r");
}

TEST(Textin, CtrlZEndsOnlyWhenAsked) {
  textin on(std::string_view("ab\x1a" "cd"), true);
  EXPECT_EQ(drain(on), "ab");
  textin off(std::string_view("ab\x1a" "cd"), false);
  EXPECT_EQ(drain(off), std::string("ab\x1a" "cd"));
}

TEST(Textin, BlockBoundariesAreInvisible) {
  // CRLF pairs, lone CRs and a Ctrl-Z at every offset relative to the block.
  std::string text;
  for (int i = 0; i < 40; ++i) text += (i % 3 == 0) ? "x\r\n" : (i % 3 == 1 ? "\r" : "yz\n");
  for (bool ctrlz : {false, true}) {
    const std::string with = text + "\x1a" + "tail\r\n";
    textin mem(with, ctrlz);
    const std::string expect = drain(mem);
    for (std::size_t block = 16; block < 40; ++block) {
      tmpfile_reader t(with);
      textin in(t.f, ctrlz, block);
      EXPECT_EQ(drain(in), expect) << "block " << block;
      EXPECT_EQ(in.error(), 0);
    }
  }
}

TEST(Textin, ReadErrorIsReported) {
  std::FILE* dir = std::fopen("/", "rb");
  ASSERT_NE(dir, nullptr);
  textin in(dir, false);
  EXPECT_EQ(in.get(), textin::eof);
  EXPECT_NE(in.error(), 0);
  std::fclose(dir);
}

TEST(Scanfloat, DecimalForms) {
  EXPECT_EQ(scanf_of("1234.5").value, 1234.5f);
  EXPECT_EQ(scanf_of("  \n\t\r\v\f-12.25x").value, -12.25f);
  EXPECT_EQ(scanf_of("+7").value, 7.0f);
  EXPECT_EQ(scanf_of(".5").value, 0.5f);
  EXPECT_EQ(scanf_of("5.").value, 5.0f);
  EXPECT_EQ(scanf_of("1.2345E3").value, 1234.5f);
  EXPECT_EQ(scanf_of("1.23456e+03").value, 1234.56f);
  EXPECT_EQ(scanf_of("12e-1").value, 1.2f);
  EXPECT_EQ(scanf_of("399.99999").value, 400.0f);
  EXPECT_EQ(scanf_of("00000000000000000000000012").value, 12.0f);
  EXPECT_EQ(scanf_of("12.5\tz").next, '\t');
}

TEST(Scanfloat, PartialFormsConsumeAndConvertNothing) {
  for (const char* text : {"-x", "+x", ".x", "-.x", "1ex", "1e+x", "1E-x"}) {
    const scanned s = scanf_of(text);
    EXPECT_FALSE(s.ok) << text;
    EXPECT_EQ(s.value, -7.0f) << text;
    EXPECT_EQ(s.next, 'x') << text;
  }
  // The point is not the start of a number once the "." is taken alone.
  EXPECT_EQ(scanf_of(".e5").next, 'e');
}

TEST(Scanfloat, NonDecimalFormsAreNotNumbers) {
  for (const char* text : {"inf", "INF", "nan", "NAN(1)", "infinity", ",5"}) {
    const scanned s = scanf_of(text);
    EXPECT_FALSE(s.ok) << text;
    EXPECT_EQ(s.next, static_cast<unsigned char>(text[0])) << text;
  }
  EXPECT_EQ(scanf_of("0x1p3").value, 0.0f);
  EXPECT_EQ(scanf_of("0x1p3").next, 'x');
  EXPECT_EQ(scanf_of("1,5").value, 1.0f);
  EXPECT_EQ(scanf_of("1,5").next, ',');
}

TEST(Scanfloat, ExtremesSaturateToInfinityOrZero) {
  EXPECT_EQ(scanf_of("1e999999").value, std::numeric_limits<float>::infinity());
  EXPECT_EQ(scanf_of("-1e99999999999999999999").value, -std::numeric_limits<float>::infinity());
  EXPECT_EQ(scanf_of("3.5e38").value, std::numeric_limits<float>::infinity());
  EXPECT_EQ(scanf_of("1e-999999").value, 0.0f);
  EXPECT_TRUE(std::signbit(scanf_of("-1e-999999").value));
  EXPECT_EQ(scanf_of(std::string(10000, '9')).value, std::numeric_limits<float>::infinity());
  EXPECT_EQ(scanf_of("0." + std::string(10000, '0') + "1").value, 0.0f);
  const std::string longtext = std::string(10000, '0') + "1." + std::string(10000, '7');
  EXPECT_EQ(scanf_of(longtext).value, std::strtof(longtext.c_str(), nullptr));
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
  for (const char* t : {"16777217", "16777217.000000000000000000000000001", "16777216.999999999999999999",
                        "33554435", "1.00000005960464477539062500000000000000000000000000001",
                        "1.0000000596046447753906249999999999999999999999", "1.401298464324817e-45",
                        "7.006492321624085e-46", "7.006492321624086e-46", "3.4028235677973366e38"}) {
    float got = 0.0f;
    ASSERT_TRUE(parsefloat(t, got)) << t;
    EXPECT_EQ(got, std::strtof(t, nullptr)) << t;
  }
}

TEST(Scanfloat, DirectConversionStopsWhereTheGrammarDoes) {
  const auto end_of = [](const std::string& t) {
    float v = -7.0f;
    const char* q = scanfloat_span(t.data(), t.data() + t.size(), v);
    return q == nullptr ? -1 : static_cast<int>(q - t.data());
  };
  EXPECT_EQ(end_of("12.5\t3"), 4);
  EXPECT_EQ(end_of("1e5x"), 3);
  EXPECT_EQ(end_of("1e12345"), 7);
  EXPECT_EQ(end_of("1ex"), -1);
  EXPECT_EQ(end_of("+.5"), 3);
  EXPECT_EQ(end_of("-"), -1);
  EXPECT_EQ(end_of(" 1"), -1);
  EXPECT_EQ(end_of("12345678901234567890123.5"), 25);
}

// The one-load field scanner either declines or gives exactly the span
// scanner's answer for a field that is one whole number; anything else (a
// number followed by more, an incomplete number) it declines.
TEST(Scanfloat, FieldScannerAgreesWithTheSpanScanner) {
  const auto check = [](const std::string& field, const char* stop) {
    const std::string text = field + stop + std::string(field_readahead, '7');
    const char* fieldend = text.data() + field.size();
    // A TAB ends the field itself; a line end is where the line's span ends.
    const char* lineend = *stop == '\t' ? text.data() + text.size() - field_readahead : fieldend;
    float fast = -7.0f, general = -7.0f;
    const char* q = scanfloat_field(text.data(), lineend, fast);
    if (q == nullptr) return 0;
    const char* r = scanfloat_span(text.data(), fieldend, general);
    EXPECT_EQ(q, fieldend) << field;
    EXPECT_EQ(r, fieldend) << field;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(fast), std::bit_cast<std::uint32_t>(general)) << field;
    return 1;
  };
  int taken = 0;
  for (const char* stop : {"\t", "\r\n", "\n"}) {
    for (const char* f : {"0", "7", "702", "-0", "+5", "-.5", "5.", ".5", "8993.44", "8.77171e+03", "2.00361E-04",
                          "1e10", "1e-10", "12345678.1234567", "16777215", "16777216", "16777217", "0.00000001",
                          "99999999.9", "1e999", "-1e-999", "123e1", "1.5e", "1e+", "1e-", "e5", "-", "+", ".", "1.2.3",
                          "1e5e5", "--1", "1-", "1+2", "1 ", " 1", "1\v", "0x10", "inf", "1,5", "123456789012345"})
      taken += check(f, stop);
  }
  EXPECT_GT(taken, 40);  // the common forms do take the one-load path
  std::mt19937_64 rng(7);
  for (int i = 0; i < 100000; ++i) {
    std::string t = rng() % 3 == 0 ? "-" : "";
    const std::string alphabet = "0123456789012345678901234567890123456789..eE+-";
    for (int k = 1 + static_cast<int>(rng() % 14); k > 0; --k) t += alphabet[rng() % alphabet.size()];
    check(t, "\t");
  }
}

TEST(Scanint, DecimalIntegersSaturate) {
  const auto scan = [](const std::string& text, std::int32_t& v) {
    textin in(text, false);
    const bool ok = scanint(in, v);
    return std::make_pair(ok, in.peek());
  };
  std::int32_t v = 5;
  EXPECT_EQ(scan(" 012009 ", v), std::make_pair(true, static_cast<int>(' ')));
  EXPECT_EQ(v, 12009);
  scan("004-001", v);
  EXPECT_EQ(v, 4);
  scan("-001005", v);
  EXPECT_EQ(v, -1005);
  scan("99999999999999999999999", v);
  EXPECT_EQ(v, std::numeric_limits<std::int32_t>::max());
  scan("-2147483649", v);
  EXPECT_EQ(v, std::numeric_limits<std::int32_t>::min());
  v = 5;
  EXPECT_EQ(scan("-x", v), std::make_pair(false, static_cast<int>('x')));
  EXPECT_EQ(scan("12.5", v).second, '.');
  EXPECT_EQ(v, 12);
  EXPECT_FALSE(scan("", v).first);
}

TEST(Conversions, CellNumbersAtTheirBoundaries) {
  const auto cell = [](const char* coord) {
    float f = 0.0f;
    EXPECT_TRUE(parsefloat(coord, f)) << coord;
    return cellnumber(f, 400.0f);
  };
  EXPECT_EQ(cell("0"), 1);
  EXPECT_EQ(cell("399.9"), 1);
  EXPECT_EQ(cell("400"), 2);
  EXPECT_EQ(cell("1234.5"), 4);
  EXPECT_EQ(cell("399.99999"), 2);
  EXPECT_EQ(cell("-100"), 0);
  EXPECT_EQ(cell("-800"), -1);
  EXPECT_EQ(cell("-900"), -1);
  EXPECT_EQ(cell("1e30"), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(cell("-1e30"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(cellnumber(std::numeric_limits<float>::infinity(), 400.0f), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(trunc_sat(12.7), 12);
  EXPECT_EQ(trunc_sat(-0.5), 0);
  EXPECT_EQ(trunc_sat(-2147483648.9), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(trunc_sat(2147483647.9), std::numeric_limits<std::int32_t>::max());
}

TEST(Textout, PaddedAndPlainIntegers) {
  std::string s;
  {
    textout out(s, "\n");
    for (std::int32_t v : {0, 9, 12, 999, 1000, 1234, -1, -12, -999, -1000,
                           std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()}) {
      out.putpad3(v);
      out.put(' ');
    }
    out.newline();
    out.putint(std::numeric_limits<std::int64_t>::min());
    out.put(' ');
    out.putint(0);
    out.flush();
  }
  EXPECT_EQ(s, "000 009 012 999 1000 1234 -001 -012 -999 -1000 -2147483648 2147483647 \n"
               "-9223372036854775808 0");
}

TEST(Textout, FormattedIntegersAtEveryLengthBoundary) {
  // The length is computed before the digits are placed, so each side of
  // every power of ten is checked, and the extremes.
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

TEST(Textout, LineEndIsExplicit) {
  std::string s;
  {
    textout out(s, "\r\n");
    out.put("a");
    out.newline();
    out.flush();
  }
  EXPECT_EQ(s, "a\r\n");
}

TEST(Textout, LargeOutputSurvivesManyBlocks) {
  std::string s;
  std::string expect;
  {
    textout out(s, "\n");
    for (int i = 0; i < 100000; ++i) {
      out.putint(i);
      out.newline();
      expect += std::to_string(i) + "\n";
    }
    out.flush();
  }
  EXPECT_EQ(s, expect);
}

TEST(Textout, BackgroundWritesKeepTheBlocksInOrder) {
  // Blocks of 256 bytes, so that thousands pass through the writer thread,
  // with lines formatted in place and through put() mixed.
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  std::string expect;
  {
    textout out(f, "\r\n", 256);
    for (int i = 0; i < 20000; ++i) {
      char* p = out.claim(40);
      *p++ = '#';
      out.advance(formatint(p, -i * 7919));
      out.put(" x");
      out.newline();
      expect.append("#").append(std::to_string(-i * 7919)).append(" x\r\n");
    }
    EXPECT_TRUE(out.flush());
  }
  std::rewind(f);
  std::string got(expect.size() + 1, '\0');
  got.resize(std::fread(got.data(), 1, got.size(), f));
  std::fclose(f);
  EXPECT_EQ(got, expect);
}

TEST(Textout, FullDeviceIsReported) {
  std::FILE* f = std::fopen("/dev/full", "wb");
  if (f == nullptr) GTEST_SKIP() << "no /dev/full on this system";
  textout out(f, "\n", 64);
  for (int i = 0; i < 100; ++i) out.put("0123456789");
  EXPECT_FALSE(out.flush());
  EXPECT_NE(out.error(), 0);
  std::fclose(f);
}
