// record: what one line of any format reports of one object at one step,
// computed in full by the movement model before any byte is written, so
// that every format shows the same fleet.
#pragma once

#include <cstdint>

namespace tracegen {

struct record {
  std::uint64_t seq;        // the sender's sequence number (gaps are lost records)
  std::uint64_t r;          // spare random bits, which pick the number forms
  std::int64_t x, y;        // position in centimetres from the city's corner
  std::uint32_t speed_dm;   // tenths of a metre per second
  std::uint32_t heading;    // tenths of a degree, clockwise from north
  std::uint32_t accuracy;   // centimetres
  std::uint8_t cls;         // 0 pedestrian, 1 cyclist, 2 car, 3 delivery van
  bool moving;
};

// Seconds between two time steps; speeds become distances with it, and the
// CSV clock advances by it.
inline constexpr std::int64_t step_seconds = 30;

}  // namespace tracegen
