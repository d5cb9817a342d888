// model: objects moving on a street grid, in integer centimetres, so that
// the trace never depends on a platform's floating point.
//
// Each object owns its random stream, so the order in which a step visits
// the objects (shuffled, the way records of many senders arrive
// interleaved) changes nothing an object does.
#pragma once

#include <cstdint>
#include <vector>

#include "random.h"
#include "record.h"

namespace tracegen {

// The places an object returns to, as indices of its street lines.
struct place {
  std::uint16_t xi;
  std::uint16_t yi;
};

// One moving object's state between steps.
struct object {
  splitmix rng;
  std::int64_t x = 0, y = 0;    // current position on the street, cm
  std::int64_t wx = 0, wy = 0;  // corner where the trip turns
  std::int64_t tx = 0, ty = 0;  // trip destination
  std::uint64_t seq = 0;
  std::int64_t speed = 0;       // cruising speed, cm/s
  std::int32_t dwell = 0;       // steps left at the current place
  std::int32_t heading = 0;     // tenths of a degree, clockwise from north
  std::int32_t lane = 0;        // sideways offset from the street centre, cm
  std::uint8_t cls = 0;
  std::uint8_t nplaces = 0;
  std::uint8_t at = 0;          // index of the place it is at or heading to
  bool travelling = false;
  place places[5];
};

class world {
public:
  // The street grid from `seed`'s shared stream, then `objects` objects,
  // numbered from 0, each from its own stream.
  world(std::uint64_t seed, std::uint32_t objects);

  // Starts a step: the order in which it visits the objects, a fresh
  // shuffle of the ids.
  const std::vector<std::uint32_t>& shuffle();
  // Moves object `id` by one step and reports it.
  record advance(std::uint32_t id);

private:
  void init(object& o, std::uint32_t id);
  void plan_trip(object& o);
  std::int64_t px(const place& pl) const { return xs_[pl.xi]; }
  std::int64_t py(const place& pl) const { return ys_[pl.yi]; }

  std::uint64_t seed_;
  xoshiro global_;
  std::vector<std::int64_t> xs_;
  std::vector<std::int64_t> ys_;
  std::vector<object> objs_;
  std::vector<std::uint32_t> order_;
};

}  // namespace tracegen
