// Days to civil dates: in 400-year eras of 146097 days from 0000-03-01,
// with years starting in March so that the leap day ends a year.
#include "isostamp.h"

#include "digits.h"

namespace tracegen {

char* put_stamp(char* p, std::uint64_t seconds) {
  const std::uint64_t days = seconds / 86400;
  const std::uint32_t sod = static_cast<std::uint32_t>(seconds - days * 86400);
  const std::uint64_t z = days + 719468;  // days since 0000-03-01
  const std::uint64_t era = z / 146097;
  const std::uint64_t doe = z - era * 146097;
  const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::uint64_t mp = (5 * doy + 2) / 153;  // months from March
  const std::uint32_t day = static_cast<std::uint32_t>(doy - (153 * mp + 2) / 5 + 1);
  const std::uint32_t month = static_cast<std::uint32_t>(mp < 10 ? mp + 3 : mp - 9);
  const std::uint64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  p = year < 10000 ? formatpadded(p, static_cast<std::uint32_t>(year), 4) : formatuint(p, year);
  *p++ = '-';
  p = formatpadded(p, month, 2);
  *p++ = '-';
  p = formatpadded(p, day, 2);
  *p++ = 'T';
  p = formatpadded(p, sod / 3600, 2);
  *p++ = ':';
  p = formatpadded(p, sod / 60 % 60, 2);
  *p++ = ':';
  p = formatpadded(p, sod % 60, 2);
  *p++ = 'Z';
  return p;
}

}  // namespace tracegen
