// The movement model: a street grid of irregular blocks, four classes of
// movers, favourite places shared within groups of ten ids, trips along the
// streets and dwells with receiver noise.
#include "model.h"

#include <utility>

namespace tracegen {
namespace {

// World extent in centimetres. Street lines stay a margin inside so that
// jitter and lane offsets can never push a coordinate below zero.
constexpr std::int64_t world_x = 2400000;
constexpr std::int64_t world_y = 2700000;
constexpr std::int64_t margin = 10000;

// How one class of movers behaves.
struct class_profile {
  std::uint32_t share;     // percent of objects
  std::int64_t min_speed;  // cm/s
  std::int64_t max_speed;  // cm/s
  int radius;              // how many street lines the favourite places spread
  int min_dwell;           // steps spent at a favourite place
  int max_dwell;
};

// 0 pedestrians, 1 cyclists, 2 cars, 3 delivery vans.
constexpr class_profile classes[4] = {
    {35, 100, 200, 1, 4, 12},
    {20, 350, 700, 3, 3, 10},
    {35, 800, 2000, 6, 3, 10},
    {10, 500, 1400, 8, 1, 4},
};

// Street lines at irregular spacing, as in a city whose blocks differ.
std::vector<std::int64_t> make_streets(xoshiro& rng, std::int64_t extent) {
  std::vector<std::int64_t> lines;
  std::int64_t pos = margin + rng.range(0, 20000);
  while (pos <= extent - margin) {
    lines.push_back(pos);
    pos += rng.range(20000, 60000);
  }
  return lines;
}

// A street line within `radius` lines of `centre`, clamped to the n lines.
std::uint16_t around(splitmix& r, std::int64_t centre, int radius, std::size_t n) {
  std::int64_t v = centre + r.range(-radius, radius);
  if (v < 0) v = 0;
  if (v >= static_cast<std::int64_t>(n)) v = static_cast<std::int64_t>(n) - 1;
  return static_cast<std::uint16_t>(v);
}

// Moves toward (gx, gy), which always lies on the same street line, by at
// most `budget`; returns the distance covered and sets the heading.
std::int64_t move_toward(object& o, std::int64_t gx, std::int64_t gy, std::int64_t budget) {
  const std::int64_t dx = gx - o.x;
  const std::int64_t dy = gy - o.y;
  const std::int64_t dist = (dx < 0 ? -dx : dx) + (dy < 0 ? -dy : dy);
  if (dist == 0) return 0;
  const std::int64_t d = dist < budget ? dist : budget;
  if (dx != 0) {
    o.x += dx > 0 ? d : -d;
    o.heading = dx > 0 ? 900 : 2700;
  } else {
    o.y += dy > 0 ? d : -d;
    o.heading = dy > 0 ? 0 : 1800;
  }
  return d;
}

}  // namespace

world::world(std::uint64_t seed, std::uint32_t objects) : seed_(seed), global_(seed) {
  xs_ = make_streets(global_, world_x);
  ys_ = make_streets(global_, world_y);
  objs_.resize(objects);
  order_.resize(objects);
  for (std::uint32_t i = 0; i < objects; ++i) {
    order_[i] = i;
    init(objs_[i], i);
  }
}

// Fisher-Yates from the shared stream, over the previous step's order.
const std::vector<std::uint32_t>& world::shuffle() {
  for (std::size_t i = order_.size(); i > 1; --i) {
    const std::uint32_t j = global_.below(static_cast<std::uint32_t>(i));
    std::swap(order_[i - 1], order_[j]);
  }
  return order_;
}

// An object's class, speed, favourite places and starting state, all from
// its own stream (the neighbourhood from its group's).
void world::init(object& o, std::uint32_t id) {
  o.rng.s = derive_seed(seed_, 1, id);
  const std::uint32_t c = o.rng.below(100);
  std::uint32_t acc = 0;
  o.cls = 3;
  for (std::uint8_t k = 0; k < 4; ++k) {
    acc += classes[k].share;
    if (c < acc) {
      o.cls = k;
      break;
    }
  }
  const class_profile& prof = classes[o.cls];
  o.speed = o.rng.range(prof.min_speed, prof.max_speed);

  // Groups of ten consecutive ids share a neighbourhood (a household, a
  // small fleet), so their favourite places overlap and the same cells
  // come up again and again within a group.
  splitmix grp{derive_seed(seed_, 2, id / 10)};
  const std::int64_t cx = grp.range(0, static_cast<std::int64_t>(xs_.size()) - 1);
  const std::int64_t cy = grp.range(0, static_cast<std::int64_t>(ys_.size()) - 1);

  o.nplaces = static_cast<std::uint8_t>(o.rng.range(2, 5));
  for (std::uint8_t k = 0; k < o.nplaces; ++k) {
    // Retry a few times for a place it does not have yet; a duplicate is
    // harmless, it only weights that place more.
    place pl{};
    for (int attempt = 0; attempt < 8; ++attempt) {
      pl = place{around(o.rng, cx, prof.radius, xs_.size()), around(o.rng, cy, prof.radius, ys_.size())};
      bool dup = false;
      for (std::uint8_t j = 0; j < k; ++j) dup = dup || (o.places[j].xi == pl.xi && o.places[j].yi == pl.yi);
      if (!dup) break;
    }
    o.places[k] = pl;
  }
  o.at = static_cast<std::uint8_t>(o.rng.below(o.nplaces));
  o.x = o.tx = px(o.places[o.at]);
  o.y = o.ty = py(o.places[o.at]);
  o.dwell = static_cast<std::int32_t>(o.rng.range(0, prof.max_dwell));
  o.heading = static_cast<std::int32_t>(o.rng.below(3600));
  o.seq = o.rng.range(1, 5000);
}

// Picks another favourite place and one of the two grid routes to it.
void world::plan_trip(object& o) {
  std::uint8_t next = o.at;
  if (o.nplaces > 1) {
    next = static_cast<std::uint8_t>(o.rng.below(o.nplaces - 1u));
    if (next >= o.at) ++next;
  }
  o.at = next;
  o.tx = px(o.places[next]);
  o.ty = py(o.places[next]);
  // Drive along the current east-west street first or the current
  // north-south street first; both are legal routes on a grid.
  if (o.rng.below(2) == 0) {
    o.wx = o.tx;
    o.wy = o.y;
  } else {
    o.wx = o.x;
    o.wy = o.ty;
  }
  o.lane = static_cast<std::int32_t>(o.rng.range(-250, 250));
  o.travelling = true;
}

// A dwelling object wanders by a few metres with a noisy heading; a
// travelling one covers its varying pace along the route and keeps to one
// side of the street. Either way the record's draws come from the object's
// stream in a fixed order.
record world::advance(std::uint32_t id) {
  object& o = objs_[id];
  std::int64_t out_x = 0;
  std::int64_t out_y = 0;
  std::int64_t speed_dm = 0;  // reported speed, tenths of m/s
  std::int32_t heading = 0;
  bool moving = false;

  if (o.dwell > 0 && !o.travelling) {
    --o.dwell;
    out_x = o.tx + o.rng.range(-300, 300);
    out_y = o.ty + o.rng.range(-300, 300);
    speed_dm = o.rng.range(0, 3);
    heading = static_cast<std::int32_t>(o.rng.below(3600));
  } else {
    if (!o.travelling) plan_trip(o);
    moving = true;
    // Traffic makes the pace vary from step to step, but never far beyond
    // what the class can do.
    const std::int64_t factor = o.rng.range(80, 120);
    std::int64_t pace = o.speed * factor / 100;
    const std::int64_t cap = classes[o.cls].max_speed * 11 / 10;
    if (pace > cap) pace = cap;
    std::int64_t budget = pace * step_seconds;
    std::int64_t moved = move_toward(o, o.wx, o.wy, budget);
    budget -= moved;
    if (o.x == o.wx && o.y == o.wy) moved += move_toward(o, o.tx, o.ty, budget);
    out_x = o.x;
    out_y = o.y;
    if (o.x == o.tx && o.y == o.ty) {
      o.travelling = false;
      const class_profile& prof = classes[o.cls];
      o.dwell = static_cast<std::int32_t>(o.rng.range(prof.min_dwell, prof.max_dwell));
    } else if (o.heading == 900 || o.heading == 2700) {
      out_y += o.lane;
    } else {
      out_x += o.lane;
    }
    speed_dm = (moved + step_seconds * 5) / (step_seconds * 10);
    heading = o.heading + static_cast<std::int32_t>(o.rng.range(-30, 30));
    if (heading < 0) heading += 3600;
    if (heading >= 3600) heading -= 3600;
  }

  // Occasionally a record is lost on the way, which shows as a gap in the
  // sequence numbers.
  o.seq += o.rng.below(50) == 0 ? 2 : 1;
  const std::uint64_t r = o.rng.next();

  // Position accuracy in centimetres: mostly good, sometimes poor.
  const std::uint64_t accuracy = ((r >> 16) % 20 == 0) ? 450 + (r >> 24) % 550 : 60 + (r >> 24) % 340;
  return record{o.seq,
                r,
                out_x,
                out_y,
                static_cast<std::uint32_t>(speed_dm),
                static_cast<std::uint32_t>(heading),
                static_cast<std::uint32_t>(accuracy),
                o.cls,
                moving};
}

}  // namespace tracegen
