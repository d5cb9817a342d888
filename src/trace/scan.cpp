// Decimal scanning and exact decimal-to-float rounding.
#include "trace/scan.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

namespace cellfreq {
namespace {

bool isspace_c(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool isdigit_c(int c) { return c >= '0' && c <= '9'; }

void skipspace(textin& in) {
  while (isspace_c(in.peek())) in.skip();
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
  std::uint64_t mant = 0;     // the stored digits while there are at most 19

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
  void store(int d) {
    digits[ndigits++] = static_cast<char>('0' + d);
    if (ndigits <= 19) mant = mant * 10 + static_cast<unsigned>(d);
  }
};

constexpr float pow10f[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

// Rounds digits * 10^exp10 (plus the exponent read) to the nearest float.
float tofloat(decimal& d, std::int64_t exponent) {
  if (d.ndigits == 0) return 0.0f;
  const std::int64_t e = d.exp10 + exponent;
  // Both operands exact in float and one IEEE operation: correctly rounded.
  if (!d.sticky && d.ndigits <= 19 && d.mant < (1u << 24) && e >= -10 && e <= 10) {
    const auto m = static_cast<float>(d.mant);
    return e < 0 ? m / pow10f[-e] : m * pow10f[e];
  }
  // The value lies in [10^(mag-1), 10^mag).
  const std::int64_t mag = d.ndigits + e;
  if (mag > 40) return std::numeric_limits<float>::infinity();
  if (mag < -47) return 0.0f;
  char text[decimal::keep + 32];
  int len = d.ndigits;
  std::memcpy(text, d.digits, static_cast<std::size_t>(len));
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

// Reads the exponent digits, saturating far beyond any float exponent.
std::int64_t exponent_digits(textin& in) {
  std::int64_t e = 0;
  for (int c = in.peek(); isdigit_c(c); c = in.peek()) {
    if (e < 1000000000) e = e * 10 + (c - '0');
    in.skip();
  }
  return e;
}

}  // namespace

bool scanfloat(textin& in, float& out) {
  skipspace(in);
  int c = in.peek();
  bool neg = false;
  if (c == '+' || c == '-') {
    neg = c == '-';
    in.skip();
    c = in.peek();
  }
  decimal d;
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
  std::int64_t exponent = 0;
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
    exponent = exponent_digits(in);
    if (eneg) exponent = -exponent;
  }
  const float f = tofloat(d, exponent);
  out = neg ? -f : f;
  return true;
}

bool scanint(textin& in, std::int32_t& out) {
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

std::int32_t trunc_sat(double d) {
  if (!(d > -2147483649.0)) return std::numeric_limits<std::int32_t>::min();
  if (!(d < 2147483648.0)) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(d);
}

bool parsefloat(std::string_view text, float& out) {
  textin in(text, false);
  float f = 0.0f;
  if (text.empty() || isspace_c(static_cast<unsigned char>(text.front()))) return false;
  if (!scanfloat(in, f) || in.peek() != textin::eof) return false;
  out = f;
  return true;
}

}  // namespace cellfreq
