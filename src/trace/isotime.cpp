// ISO 8601 date-time reading: a parse at the fixed offsets of the layout
// with range checks, and the civil-date-to-days conversion.
#include "trace/isotime.h"

#include <cstring>

namespace cellfreq {
namespace {

// The value of the two digits at s[i], or a value above 99 when either is
// not a digit.
int two(std::string_view s, std::size_t i) {
  const unsigned a = static_cast<unsigned>(static_cast<unsigned char>(s[i])) - '0';
  const unsigned b = static_cast<unsigned>(static_cast<unsigned char>(s[i + 1])) - '0';
  return a > 9 || b > 9 ? 100 : static_cast<int>(a * 10 + b);
}

int daysinmonth(int year, int month) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : days[month - 1];
}

// The zone that is all of `z`: its offset east of UTC in seconds.
bool zone(std::string_view z, std::int64_t& offset) {
  offset = 0;
  if (z.empty()) return true;
  if (z == "Z") return true;
  if (z.size() < 3 || (z[0] != '+' && z[0] != '-')) return false;
  int mm = 0;
  if (z.size() == 6 && z[3] == ':') mm = two(z, 4);
  else if (z.size() == 5) mm = two(z, 3);
  else if (z.size() != 3) return false;
  const int hh = two(z, 1);
  if (hh > 23 || mm > 59) return false;
  offset = (z[0] == '-' ? -1 : 1) * (hh * 3600 + mm * 60);
  return true;
}

}  // namespace

// Counts days in 400-year eras of 146097 days from 0000-03-01, with years
// starting in March so that the leap day is the last day of a year.
std::int64_t daysfromcivil(std::int64_t year, int month, int day) {
  const std::int64_t y = year - (month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;                                                // 0 … 399
  const std::int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;  // 0 … 365
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;                        // 0 … 146096
  return era * 146097 + doe - 719468;
}

// YYYY-MM-DD is at offsets 0-9, the time's hh:mm at 11-15 and :ss at
// 16-18; a fraction and a zone follow. A date like the last one (whose
// '-' at offset 4 an empty cache cannot match) takes its day number. The fraction's digits are combined
// with the whole seconds into one integer where that is exact, so that the
// result is rounded once.
bool parseisotime(std::string_view s, double& out, datecache& cache) {
  if (s.size() < 10 || s[4] != '-' || s[7] != '-') return false;
  std::int64_t days = cache.days;
  if (std::memcmp(s.data(), cache.date, sizeof cache.date) != 0) {
    const int century = two(s, 0), lo = two(s, 2), year = century * 100 + lo, month = two(s, 5), day = two(s, 8);
    if (century > 99 || lo > 99 || month < 1 || month > 12 || day < 1 || day > daysinmonth(year, month))
      return false;
    days = daysfromcivil(year, month, day);
    std::memcpy(cache.date, s.data(), sizeof cache.date);
    cache.days = days;
  }
  int hh = 0, mm = 0, ss = 0;
  std::uint64_t frac = 0;
  std::int64_t scale = 1;  // 10^(fraction digits kept)
  std::int64_t offset = 0;
  if (s.size() > 10) {
    if ((s[10] != 'T' && s[10] != ' ') || s.size() < 16 || s[13] != ':') return false;
    hh = two(s, 11);
    mm = two(s, 14);
    std::size_t at = 16;
    if (s.size() >= 19 && s[16] == ':') {
      ss = two(s, 17);
      at = 19;
      if (at < s.size() && s[at] == '.') {
        const std::size_t first = ++at;
        for (; at < s.size() && s[at] >= '0' && s[at] <= '9'; ++at) {
          // Digits past the eighteenth lie far below a double's resolution
          // of a time.
          if (at - first < 18) {
            frac = frac * 10 + static_cast<unsigned>(s[at] - '0');
            scale *= 10;
          }
        }
        if (at == first) return false;
      }
    }
    if (hh > 23 || mm > 59 || ss > 60 || !zone(s.substr(at), offset)) return false;
  }
  const std::int64_t whole = days * 86400 + hh * 3600 + mm * 60 + ss - offset;
  // Up to 2^33 s (about 270 years) from 1970 with up to six fraction
  // digits, the seconds and the fraction make one integer below 2^53.
  constexpr std::int64_t near = std::int64_t{1} << 33;
  if (scale == 1) {
    out = static_cast<double>(whole);
  } else if (scale <= 1000000 && whole > -near && whole < near) {
    out = static_cast<double>(whole * scale + static_cast<std::int64_t>(frac)) / static_cast<double>(scale);
  } else {
    out = static_cast<double>(whole) + static_cast<double>(frac) / static_cast<double>(scale);
  }
  return true;
}

}  // namespace cellfreq
