// The CSV rows: names, clock times and fixed-point positions. The
// positions are rounded once from the double that PROJ gives (or that the
// metres are), to 2 or 7 decimals, and written from that integer, so the
// text does not depend on a C library's printf.
#include "csvformat.h"

#include <cmath>
#include <cstring>
#include <string_view>

#include "digits.h"
#include "isostamp.h"

namespace tracegen {
namespace {

// The clock time of step 0, 2008-10-23T02:53:04Z, in seconds since
// 1970-01-01T00:00:00Z; each step is step_seconds later.
constexpr std::uint64_t epoch = 1224730384;

// 10^decimals for the two fixed-point forms; a constant, so that dividing
// by it is a multiplication, as formatting is most of a run.
template <int decimals>
constexpr std::uint64_t scale_of = decimals == 2 ? 100 : 10000000;

// A decimal of v / 10^decimals with exactly `decimals` digits after the
// point, a minus sign before a negative one. (textout's formatint cannot
// serve for the whole part: it would drop the sign of -0.5.)
template <int decimals>
char* put_fixed(char* p, std::int64_t v) {
  static_assert(decimals == 2 || decimals == 7);
  constexpr std::uint64_t scale = scale_of<decimals>;
  if (v < 0) *p++ = '-';
  const std::uint64_t u = cellfreq::textout_detail::magnitude(v);
  const std::uint64_t whole = u / scale;
  p = formatuint(p, whole);
  *p++ = '.';
  return formatpadded(p, static_cast<std::uint32_t>(u - whole * scale), decimals);
}

}  // namespace

csv_sink::csv_sink(writer& out, projection* degrees, std::uint64_t objects) : out_(out), degrees_(degrees) {
  for (std::uint64_t top = objects - 1; top >= 10000; top /= 10) ++width_;
}

void csv_sink::header() {
  const std::string_view h = degrees_ != nullptr ? "id,time,lon,lat\n" : "id,time,x,y\n";
  std::memcpy(out_.cursor(), h.data(), h.size());
  out_.advance(out_.cursor() + h.size());
}

void csv_sink::begin(std::uint64_t t, bool) {
  const std::uint64_t seconds = epoch + t * static_cast<std::uint64_t>(step_seconds);
  stamp_len_ = static_cast<std::size_t>(put_stamp(stamp_, seconds) - stamp_);
}

bool csv_sink::end() {
  if (n_ == 0) return true;
  if (degrees_ != nullptr && !degrees_->to_degrees(xs_, ys_, n_)) {
    failure_ = "cannot transform positions to degrees: " + degrees_->error();
    return false;
  }
  const bool ok = degrees_ != nullptr ? rows<7>() : rows<2>();
  n_ = 0;
  return ok;
}

// The batch's rows; every id is below 10^width_, so its name is exactly
// width_ digits.
template <int decimals>
bool csv_sink::rows() {
  constexpr double scale = scale_of<decimals>;
  for (std::size_t i = 0; i < n_; ++i) {
    char* p = out_.cursor();
    constexpr std::string_view prefix = "veh-";
    std::memcpy(p, prefix.data(), prefix.size());
    p = formatpadded(p + prefix.size(), ids_[i], width_);
    *p++ = ',';
    std::memcpy(p, stamp_, stamp_len_);
    p += stamp_len_;
    *p++ = ',';
    p = put_fixed<decimals>(p, std::llround(xs_[i] * scale));
    *p++ = ',';
    p = put_fixed<decimals>(p, std::llround(ys_[i] * scale));
    *p++ = '\n';
    out_.advance(p);
    if (out_.need_flush() && !out_.flush()) return false;
  }
  return true;
}

}  // namespace tracegen
