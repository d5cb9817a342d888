// ISO 8601 date-time reading: a fixed-layout parse with range checks, and
// the civil-date-to-days conversion.
#include "trace/isotime.h"

namespace cellfreq {
namespace {

// Reads the n decimal digits at text[at], advancing `at`; false if any of
// them is missing or not a digit.
bool digits(std::string_view text, std::size_t& at, int n, int& out) {
  if (text.size() - at < static_cast<std::size_t>(n)) return false;
  int v = 0;
  for (int i = 0; i < n; ++i) {
    const unsigned d = static_cast<unsigned char>(text[at + static_cast<std::size_t>(i)]) - '0';
    if (d > 9) return false;
    v = v * 10 + static_cast<int>(d);
  }
  at += static_cast<std::size_t>(n);
  out = v;
  return true;
}

// Whether text[at] is `c`, consuming it if so.
bool accept(std::string_view text, std::size_t& at, char c) {
  if (at == text.size() || text[at] != c) return false;
  ++at;
  return true;
}

int daysinmonth(int year, int month) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : days[month - 1];
}

// The zone at text[at] to the end: its offset east of UTC in seconds.
bool zone(std::string_view text, std::size_t at, std::int64_t& offset) {
  if (at == text.size()) {
    offset = 0;
    return true;
  }
  if (text[at] == 'Z') {
    offset = 0;
    return at + 1 == text.size();
  }
  if (text[at] != '+' && text[at] != '-') return false;
  const bool west = text[at++] == '-';
  int hh = 0, mm = 0;
  if (!digits(text, at, 2, hh)) return false;
  if (at != text.size()) {
    accept(text, at, ':');
    if (!digits(text, at, 2, mm) || at != text.size()) return false;
  }
  if (hh > 23 || mm > 59) return false;
  offset = (west ? -1 : 1) * (hh * 3600 + mm * 60);
  return true;
}

}  // namespace

// Counts days in 400-year eras of 146097 days from 0000-03-01, with years
// starting in March so that the leap day is the last day of a year.
std::int64_t daysfromcivil(std::int64_t year, int month, int day) {
  const std::int64_t y = year - (month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;                                   // 0 … 399
  const std::int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;  // 0 … 365
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;           // 0 … 146096
  return era * 146097 + doe - 719468;
}

// The parts are read in their fixed order; the fraction's digits are
// combined with the whole seconds into one integer when that is exact, so
// that the result is rounded once.
bool parseisotime(std::string_view text, double& out) {
  std::size_t at = 0;
  int year = 0, month = 0, day = 0, hh = 0, mm = 0, ss = 0;
  if (!digits(text, at, 4, year) || !accept(text, at, '-') || !digits(text, at, 2, month) ||
      !accept(text, at, '-') || !digits(text, at, 2, day))
    return false;
  if (month < 1 || month > 12 || day < 1 || day > daysinmonth(year, month)) return false;
  std::uint64_t frac = 0;
  int fracdigits = 0;
  std::int64_t offset = 0;
  if (at != text.size()) {
    if (text[at] != 'T' && text[at] != ' ') return false;
    ++at;
    if (!digits(text, at, 2, hh) || !accept(text, at, ':') || !digits(text, at, 2, mm)) return false;
    if (accept(text, at, ':')) {
      if (!digits(text, at, 2, ss)) return false;
      if (accept(text, at, '.')) {
        const std::size_t first = at;
        for (; at != text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
          // Digits past the eighteenth are far below a double's resolution
          // of a time.
          if (fracdigits < 18) {
            frac = frac * 10 + static_cast<unsigned>(text[at] - '0');
            ++fracdigits;
          }
        }
        if (at == first) return false;
      }
    }
    if (hh > 23 || mm > 59 || ss > 60) return false;
    if (!zone(text, at, offset)) return false;
  }
  const std::int64_t whole = daysfromcivil(year, month, day) * 86400 + hh * 3600 + mm * 60 + ss - offset;
  std::int64_t scale = 1;
  for (int i = 0; i < fracdigits; ++i) scale *= 10;
  constexpr std::int64_t exact = std::int64_t{1} << 53;
  if (fracdigits <= 15 && whole > -exact / scale && whole < exact / scale) {
    out = static_cast<double>(whole * scale + static_cast<std::int64_t>(frac)) / static_cast<double>(scale);
  } else {
    out = static_cast<double>(whole) + static_cast<double>(frac) / static_cast<double>(scale);
  }
  return true;
}

}  // namespace cellfreq
