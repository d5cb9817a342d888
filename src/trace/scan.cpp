// Decimal scanning and exact decimal-to-float rounding.
//
// Each scanner is written once, over a cursor with peek() and skip(). It
// runs first on the buffered bytes directly (the common case, with no
// per-character refill checks); if it reaches the end of the buffer before
// the number is decided, that attempt is dropped and the scan is redone on
// the reader itself, which refills as it goes. Both give the same result by
// construction, since they are the same code.
#include "trace/scan.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

namespace cellfreq {
namespace {

bool isdigit_c(int c) { return c >= '0' && c <= '9'; }

// A cursor over the buffered bytes of a reader, with the same translation
// of CRLF. It notes when a decision needed a byte beyond the buffer.
struct spancursor {
  const char* p;
  const char* end;
  bool complete;
  bool overrun = false;
  bool atend = false;

  int peek() {
    if (p == end) {
      atend = true;
      overrun = !complete;
      return textin::eof;
    }
    const auto c = static_cast<unsigned char>(*p);
    if (c == '\r') {
      if (p + 1 == end) {
        overrun = !complete;  // a line feed may follow in the next block
        return c;
      }
      if (p[1] == '\n') return '\n';
    }
    return c;
  }
  void skip() { p += (*p == '\r' && p + 1 < end && p[1] == '\n') ? 2 : 1; }
};

// Enough for any number that is not absurdly long, so that the direct scan
// almost never has to be redone.
constexpr std::size_t lookahead = 128;

// Runs `scan` on the buffered bytes, or on the reader when that is not
// enough to decide. `scan(cursor, value)` returns whether it converted.
template <class T, class Scan>
bool scanwith(textin& in, T& out, Scan scan) {
  in.want(lookahead);
  spancursor c{in.data(), in.limit(), in.complete()};
  T v{};
  const bool ok = scan(c, v);
  if (c.overrun) {
    if (!scan(in, v)) return false;
  } else {
    in.consume_to(c.p);
    if (c.atend) in.note_end();
    if (!ok) return false;
  }
  out = v;
  return true;
}

// The significant digits of a decimal number, held in a fixed buffer.
// Correct rounding to float needs at most about 115 significant digits (the
// longest exact halfway point between two floats); digits past `keep` are
// folded into one sticky nonzero digit, which keeps the value strictly inside
// the same rounding interval, so numbers of any length round exactly without
// allocating.
struct decimal {
  static constexpr int keep = 200;
  char digits[keep + 2];
  int ndigits = 0;            // significant digits stored
  bool sticky = false;        // a nonzero digit was dropped past `keep`
  std::int64_t exp10 = 0;     // value = digits * 10^exp10
  std::uint64_t mant = 0;     // the first (up to 19) stored digits

  void integer_digit(int d) {
    if (ndigits == 0 && d == 0) return;
    if (ndigits < keep) {
      store(d);
    } else {
      sticky |= d != 0;
      ++exp10;
    }
  }
  void fraction_digit(int d) {
    if (ndigits == 0 && d == 0) {
      --exp10;
    } else if (ndigits < keep) {
      store(d);
      --exp10;
    } else {
      sticky |= d != 0;
    }
  }
  // The first 19 digits live only in `mant`, so the common short number
  // never touches the buffer; a longer one spells them out once.
  void store(int d) {
    if (ndigits < 19) {
      mant = mant * 10 + static_cast<unsigned>(d);
      ++ndigits;
      return;
    }
    if (ndigits == 19) spell();
    digits[ndigits++] = static_cast<char>('0' + d);
  }
  [[gnu::noinline]] void spell() {
    std::uint64_t m = mant;
    for (int i = 18; i >= 0; --i, m /= 10) digits[i] = static_cast<char>('0' + m % 10);
  }
};

constexpr float pow10f[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

// Rounds digits * 10^e to the nearest float when the short way cannot.
[[gnu::noinline]] float tofloat_slow(const decimal& d, std::int64_t e) {
  // The value lies in [10^(mag-1), 10^mag).
  const std::int64_t mag = d.ndigits + e;
  if (mag > 40) return std::numeric_limits<float>::infinity();
  if (mag < -47) return 0.0f;
  char text[decimal::keep + 32];
  int len = d.ndigits;
  if (len <= 19) {
    std::uint64_t m = d.mant;
    for (int i = len - 1; i >= 0; --i, m /= 10) text[i] = static_cast<char>('0' + m % 10);
  } else {
    std::memcpy(text, d.digits, static_cast<std::size_t>(len));
  }
  std::int64_t te = e;
  if (d.sticky) {
    text[len++] = '1';
    --te;
  }
  text[len++] = 'e';
  const auto r = std::to_chars(text + len, text + sizeof text, te);
  float f = 0.0f;
  const auto [ptr, ec] = std::from_chars(text, r.ptr, f);
  (void)ptr;
  if (ec == std::errc::result_out_of_range)
    return mag > 0 ? std::numeric_limits<float>::infinity() : 0.0f;
  return f;
}

// Rounds digits * 10^exp10 (plus the exponent read) to the nearest float.
inline float tofloat(const decimal& d, std::int64_t exponent) {
  if (d.ndigits == 0) return 0.0f;
  const std::int64_t e = d.exp10 + exponent;
  // Both operands exact in float and one IEEE operation: correctly rounded.
  if (!d.sticky && d.ndigits <= 19 && d.mant < (1u << 24) && e >= -10 && e <= 10) {
    const auto m = static_cast<float>(d.mant);
    return e < 0 ? m / pow10f[-e] : m * pow10f[e];
  }
  return tofloat_slow(d, e);
}

template <class Cursor>
void skipspace(Cursor& in) {
  while (isspace_c(in.peek())) in.skip();
}

// The "%f" grammar: [sign] digits [. digits] [e [sign] digits], at least one
// mantissa digit, exponent digits required once the 'e' is taken. Digits go
// to `d`; the result is whether the text is a complete number, and its sign
// and decimal exponent.
template <class Cursor, class Sink>
bool grammar(Cursor& in, Sink& d, bool& neg, std::int64_t& exponent) {
  int c = in.peek();
  if (c == '+' || c == '-') {
    neg = c == '-';
    in.skip();
    c = in.peek();
  }
  bool anydigit = false;
  for (; isdigit_c(c); c = in.peek()) {
    d.integer_digit(c - '0');
    anydigit = true;
    in.skip();
  }
  if (c == '.') {
    in.skip();
    for (c = in.peek(); isdigit_c(c); c = in.peek()) {
      d.fraction_digit(c - '0');
      anydigit = true;
      in.skip();
    }
  }
  if (!anydigit) return false;
  if (c == 'e' || c == 'E') {
    in.skip();
    c = in.peek();
    bool eneg = false;
    if (c == '+' || c == '-') {
      eneg = c == '-';
      in.skip();
      c = in.peek();
    }
    if (!isdigit_c(c)) return false;
    // Saturates far beyond any float exponent.
    for (; isdigit_c(c); c = in.peek()) {
      if (exponent < 1000000000) exponent = exponent * 10 + (c - '0');
      in.skip();
    }
    if (eneg) exponent = -exponent;
  }
  return true;
}

template <class Cursor>
bool scanfloat_on(Cursor& in, float& out) {
  skipspace(in);
  decimal d;
  bool neg = false;
  std::int64_t exponent = 0;
  if (!grammar(in, d, neg, exponent)) return false;
  const float f = tofloat(d, exponent);
  out = neg ? -f : f;
  return true;
}

// The "%d" grammar: [sign] digits, saturated to 32 bits.
template <class Cursor>
bool scanint_on(Cursor& in, std::int32_t& out) {
  skipspace(in);
  int c = in.peek();
  bool neg = false;
  if (c == '+' || c == '-') {
    neg = c == '-';
    in.skip();
    c = in.peek();
  }
  if (!isdigit_c(c)) return false;
  // Accumulate the magnitude, stopping growth once past the 32-bit range.
  std::int64_t v = 0;
  for (; isdigit_c(c); c = in.peek()) {
    if (v <= std::int64_t{1} << 32) v = v * 10 + (c - '0');
    in.skip();
  }
  if (neg) v = -v;
  if (v > std::numeric_limits<std::int32_t>::max()) v = std::numeric_limits<std::int32_t>::max();
  if (v < std::numeric_limits<std::int32_t>::min()) v = std::numeric_limits<std::int32_t>::min();
  out = static_cast<std::int32_t>(v);
  return true;
}

// A cursor over plain bytes in memory.
struct memcursor {
  const char* p;
  const char* end;
  int peek() const { return p == end ? textin::eof : static_cast<unsigned char>(*p); }
  void skip() { ++p; }
};

}  // namespace

const char* scanfloat_span(const char* p, const char* end, float& out) {
  if (p == end || isspace_c(static_cast<unsigned char>(*p))) return nullptr;
  memcursor c{p, end};
  return scanfloat_on(c, out) ? c.p : nullptr;
}

bool scanfloat(textin& in, float& out) {
  return scanwith(in, out, [](auto& cur, float& v) { return scanfloat_on(cur, v); });
}

bool scanint(textin& in, std::int32_t& out) {
  // The common token, a few digits after some blanks with more bytes
  // buffered behind it, is read straight from the buffer; anything else
  // (long digit runs, a sign, a buffer end in sight) takes the grammar.
  const char* p = in.data();
  const char* const end = in.limit();
  if (end - p >= 32) {
    while (end - p >= 2 && (*p == ' ' || *p == '\n' || (*p == '\r' && p[1] == '\n'))) ++p;
    if (end - p >= 16 && isdigit_c(*p)) {
      std::int32_t v = 0;
      const char* q = p;
      while (isdigit_c(*q) && q - p < 9) v = v * 10 + (*q++ - '0');
      if (!isdigit_c(*q)) {
        in.consume_to(q);
        out = v;
        return true;
      }
    }
  }
  return scanwith(in, out, [](auto& cur, std::int32_t& v) { return scanint_on(cur, v); });
}

bool parsefloat(std::string_view text, float& out) {
  if (text.empty() || isspace_c(static_cast<unsigned char>(text.front()))) return false;
  textin in(text, false);
  float f = 0.0f;
  if (!scanfloat(in, f) || in.peek() != textin::eof) return false;
  out = f;
  return true;
}

}  // namespace cellfreq
