// Formatted numeric reads with the C library's "%f" and "%d" input rules,
// restricted to decimal notation, plus the conversions that turn the values
// into record fields.
//
// A read skips leading whitespace (space, TAB, newline, carriage return,
// vertical tab, form feed), then consumes the longest run of characters that
// is a number or the beginning of one, and leaves the first character after
// it unread. If that run is not a complete number the read converts nothing
// and reports false, but the run stays consumed: this is how formatted input
// behaves with its one character of push-back, and it is what we do for the
// partial forms "-", "+", ".", "-.", "1e", "1e+" (all consume what they show
// and convert nothing). "inf", "nan", hexadecimal forms and a decimal comma
// are not numbers here: "0x1p3" reads as 0 and leaves "x1p3" unread, "1,5"
// reads as 1 and leaves ",5".
#pragma once

#include <cstdint>
#include <string_view>

#include "io/textin.h"

namespace cellfreq {

// The whitespace that formatted reads skip.
inline bool isspace_c(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// "%f": reads a decimal number and rounds it once, directly to single
// precision (round to nearest, ties to even). Magnitudes beyond the float
// range become infinity, tiny ones zero. On false, `out` is unchanged.
bool scanfloat(textin& in, float& out);

// "%d": reads a decimal integer; values beyond the signed 32-bit range
// saturate to the nearest limit. On false, `out` is unchanged.
bool scanint(textin& in, std::int32_t& out);

// scanfloat() on text already in memory that holds no carriage return:
// no whitespace is skipped, and the number ends at `end` at the latest.
// Returns the end of the number read, or nullptr if it converted nothing.
const char* scanfloat_span(const char* p, const char* end, float& out);

// Truncates toward zero, saturating to the signed 32-bit range.
inline std::int32_t trunc_sat(double d) {
  if (!(d > -2147483649.0)) return INT32_MIN;
  if (!(d < 2147483648.0)) return INT32_MAX;
  return static_cast<std::int32_t>(d);
}

// The cell number of a coordinate: coordinate / cellsize + 1, evaluated in
// double precision and truncated toward zero (saturated).
inline std::int32_t cellnumber(double coord, double cellsize) { return trunc_sat(coord / cellsize + 1.0); }
inline std::int32_t cellnumber(float coord, float cellsize) {
  return cellnumber(static_cast<double>(coord), static_cast<double>(cellsize));
}

// Converts the text of a complete decimal number (sign, digits, optional
// fraction, optional exponent; nothing else) exactly as scanfloat() would.
// Used by tests and the command-line tool to parse values.
bool parsefloat(std::string_view text, float& out);

}  // namespace cellfreq
