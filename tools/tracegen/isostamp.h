// isostamp: the CSV formats' clock times. The project reads ISO 8601 times
// (trace/isotime.h: dates to day numbers) but never writes one, so the
// other direction, day numbers to dates, is here.
#pragma once

#include <cstdint>

namespace tracegen {

// Writes the UTC time of `seconds` since 1970-01-01T00:00:00Z (never before
// it) as "2008-10-23T02:53:04Z", from the proleptic Gregorian calendar in
// integer arithmetic, so that no time zone or C library plays a part; a year
// past 9999 has all its digits. Returns the end; at most 31 bytes.
char* put_stamp(char* p, std::uint64_t seconds);

}  // namespace tracegen
