// digits: the decimal pieces the formats are made of, written straight into
// the output buffer: the project's own formatuint ("%llu") and formatpadded
// ("%0*u") of textout.h, and the digit count the formats' widths need.
#pragma once

#include <cstdint>

#include "io/textout.h"

namespace tracegen {

using cellfreq::formatpadded;
using cellfreq::formatuint;

// The number of decimal digits of v (1 for 0).
inline int digit_count(std::uint32_t v) {
  int n = 1;
  for (; v >= 10; v /= 10) ++n;
  return n;
}

}  // namespace tracegen
