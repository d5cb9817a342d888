// The five number forms of a coordinate. printf's forms would round by the
// C library's rules and differ between platforms, so every form is made
// from the integer centimetres by hand.
#include "coordinate.h"

#include "digits.h"

namespace tracegen {
namespace {

// Scientific notation of a centimetre value in metres with `sig`
// significant digits. Lower case has a signed exponent of at least two
// digits ("1.23456e+03"); upper case the shortest exponent ("1.2345E3").
// The mantissa is rounded half up on the integer, so it cannot differ
// between C libraries.
template <int sig, bool upper>
char* put_scientific(char* p, std::uint32_t cm) {
  constexpr std::uint32_t pow10[] = {1u,      10u,      100u,      1000u,      10000u,
                                     100000u, 1000000u, 10000000u, 100000000u, 1000000000u};
  std::uint32_t m = 0;
  int exp = 0;
  if (cm != 0) {
    const int d = digit_count(cm);
    exp = d - 1 - 2;
    // Each case divides by a constant. A 32-bit value has at most ten
    // digits and sig is at least five, so five cases cover every input;
    // the sum is formed in 64 bits so that adding the half cannot overflow.
    static_assert(sig >= 5 && sig <= 9);
    const std::uint64_t w = cm;
    switch (d - sig) {
      case 5: m = static_cast<std::uint32_t>((w + 50000) / 100000); break;
      case 4: m = static_cast<std::uint32_t>((w + 5000) / 10000); break;
      case 3: m = static_cast<std::uint32_t>((w + 500) / 1000); break;
      case 2: m = static_cast<std::uint32_t>((w + 50) / 100); break;
      case 1: m = static_cast<std::uint32_t>((w + 5) / 10); break;
      default: m = cm * pow10[sig - d]; break;  // d <= sig: pad with zeros
    }
    if (m >= pow10[sig]) {  // rounding carried into a new digit
      m /= 10;
      ++exp;
    }
  }
  constexpr std::uint32_t lead_unit = pow10[sig - 1];
  const std::uint32_t lead = m / lead_unit;
  *p++ = static_cast<char>('0' + lead);
  *p++ = '.';
  p = formatpadded(p, m - lead * lead_unit, sig - 1);
  *p++ = upper ? 'E' : 'e';
  const int mag = exp < 0 ? -exp : exp;
  if (exp < 0) {
    *p++ = '-';
  } else if (!upper) {
    *p++ = '+';
  }
  if (!upper && mag < 10) *p++ = '0';
  return formatuint(p, static_cast<std::uint32_t>(mag));
}

}  // namespace

char* put_coordinate(char* p, std::int64_t cm_signed, std::uint32_t pick) {
  const std::uint32_t cm = cm_signed < 0 ? 0u : static_cast<std::uint32_t>(cm_signed);
  if (pick < 40) {
    const std::uint32_t m = cm / 100;
    p = formatuint(p, m);
    *p++ = '.';
    return formatpadded(p, cm - m * 100, 2);
  }
  if (pick < 60) {
    const std::uint32_t dm = (cm + 5) / 10;
    const std::uint32_t m = dm / 10;
    p = formatuint(p, m);
    *p++ = '.';
    return formatpadded(p, dm - m * 10, 1);
  }
  if (pick < 75) return formatuint(p, (cm + 50) / 100);
  if (pick < 90) return put_scientific<6, false>(p, cm);
  return put_scientific<5, true>(p, cm);
}

}  // namespace tracegen
