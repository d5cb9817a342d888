// coordinate: the TAB trace's text of one coordinate. Real feeds mix number
// styles (devices and firmware differ), so each coordinate takes one of
// five forms, picked by spare random bits of its record.
#pragma once

#include <cstdint>

namespace tracegen {

// Writes `cm` centimetres (negatives as 0; the city keeps coordinates within
// [0, 30 km], so they fit in 32 bits) as metres, in the form that `pick`
// (0 … 99) selects: 40 % with two decimals, 20 % with one, 15 % whole,
// 15 % as "1.23456e+03" and 10 % as "1.2345E3"; every rounding is half up.
// Returns the end; at most 16 bytes.
char* put_coordinate(char* p, std::int64_t cm, std::uint32_t pick);

}  // namespace tracegen
