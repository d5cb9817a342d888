// digits: the decimal pieces the formats are made of, written straight into
// the output buffer. Plain integers are the project's own formatuint
// (textout.h), whose digits are the same as "%llu"; the exact-width and
// digit-count helpers below are what textout does not offer, and they use
// its table of digit pairs rather than a copy of it.
#pragma once

#include <cstdint>
#include <cstring>

#include "io/textout.h"

namespace tracegen {

using cellfreq::formatuint;

// The number of decimal digits of v (1 for 0).
inline int digit_count(std::uint32_t v) {
  int n = 1;
  for (; v >= 10; v /= 10) ++n;
  return n;
}

// Exactly `width` digits of v, zero-padded on the left; v must be below
// 10^width. Two digits at a time, as formatuint does, since the fixed-point
// forms and the clock times are much of a trace.
inline char* put_padded(char* p, std::uint32_t v, int width) {
  const char* pairs = cellfreq::textout_detail::digitpairs.data();
  int w = width;
  for (; w >= 2; w -= 2) {
    const std::uint32_t q = v / 100;
    std::memcpy(p + w - 2, pairs + 2 * (v - q * 100), 2);
    v = q;
  }
  if (w == 1) p[0] = static_cast<char>('0' + v);
  return p + width;
}

}  // namespace tracegen
