// isotime: ISO 8601 date-times to seconds since 1970-01-01T00:00:00Z.
//
// The forms read are `YYYY-MM-DD`, and `YYYY-MM-DD` then `T` or a space,
// `hh:mm`, optionally `:ss` and then optionally `.fraction`, and an optional
// zone `Z`, `+hh:mm`, `-hh:mm`, `+hhmm` or `+hh` (none means UTC). Every
// part is range-checked (a day must exist in its month, leap years
// included; a second may be 60). The calendar arithmetic is done here, in
// integers, so that no locale or time zone of the machine plays a part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cellfreq {

// Days from 1970-01-01 to the given date of the proleptic Gregorian
// calendar (negative before it); month 1-12, day 1-31.
std::int64_t daysfromcivil(std::int64_t year, int month, int day);

// The last date read and its day number, which the rows of a trace nearly
// always share; starts empty.
struct datecache {
  char date[10] = {};
  std::int64_t days = 0;
};

// Converts the whole of `text` (no blanks around it); false when it is not
// one of the forms above or a part is out of range, with `out` unchanged.
bool parseisotime(std::string_view text, double& out, datecache& cache);

}  // namespace cellfreq
