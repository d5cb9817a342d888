// random: the generator's own random streams, so that a seed gives the same
// trace with every compiler and standard library (whose distributions
// differ). splitmix64 has one word of state, small enough for one stream per
// object; xoshiro256** drives the run's shared stream (the street grid and
// the order of each step).
#pragma once

#include <cstdint>

namespace tracegen {

// A draw below n from the top 32 bits of a word, by multiply and shift
// instead of modulo: faster, and its tiny bias does not matter for a
// synthetic trace. Defined for n < 2^32, all that is ever asked.
inline std::uint32_t scale_below(std::uint64_t word, std::uint32_t n) {
  return static_cast<std::uint32_t>(((word >> 32) * n) >> 32);
}

// splitmix64: one stream per object, and the seeding of the others.
struct splitmix {
  std::uint64_t s;

  std::uint64_t next() {
    std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t below(std::uint32_t n) { return scale_below(next(), n); }
  // A draw from lo … hi, both included.
  std::int64_t range(std::int64_t lo, std::int64_t hi) {
    return lo + below(static_cast<std::uint32_t>(hi - lo + 1));
  }
};

// xoshiro256**: the shared stream, seeded through splitmix64.
struct xoshiro {
  std::uint64_t s[4] = {};

  explicit xoshiro(std::uint64_t seed) {
    splitmix sm{seed};
    for (auto& w : s) w = sm.next();
  }
  std::uint64_t next() {
    const std::uint64_t result = rotl(s[1] * 5, 7) * 9;
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
  }
  std::uint32_t below(std::uint32_t n) { return scale_below(next(), n); }
  // A draw from lo … hi, both included.
  std::int64_t range(std::int64_t lo, std::int64_t hi) {
    return lo + below(static_cast<std::uint32_t>(hi - lo + 1));
  }

private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
};

// The seed of one entity's own stream (kind `salt`, number `index`) from the
// run's seed, so that what an object does never depends on how many others
// there are.
inline std::uint64_t derive_seed(std::uint64_t seed, std::uint64_t salt, std::uint64_t index) {
  splitmix sm{seed ^ (salt * 0xD1B54A32D192ED03ull)};
  sm.s += index * 0x9E3779B97F4A7C15ull;
  sm.next();
  return sm.next();
}

}  // namespace tracegen
