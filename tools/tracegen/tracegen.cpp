// tracegen: writes a synthetic trace of objects moving on a street grid.
//
// The output must be byte-identical for the same arguments on every platform
// and compiler, so the model never touches floating point: positions are
// kept in integer centimetres, the random numbers come from our own
// generators, and every number is formatted by hand.  Formatting by hand into
// one large buffer is also what makes multi-gigabyte benchmark traces cheap.
// The same fleet can be written as CSV, with names, clock times and
// positions in metres of UTM zone 32N or in WGS 84 degrees; the degrees
// come from PROJ, whose results are the same on one machine.  Any format
// can be gzip-compressed on the way out.
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "projection.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitIo = 1;

// Seconds between two time steps; speeds are turned into distances with it.
constexpr std::int64_t kStepSeconds = 30;

// World extent in centimetres.  Street lines stay a little inside so that
// jitter and lane offsets can never push a coordinate below zero.
constexpr std::int64_t kWorldX = 2400000;
constexpr std::int64_t kWorldY = 2700000;
constexpr std::int64_t kMargin = 10000;

// splitmix64: one 64-bit word of state, which keeps per-object generators
// small, and good enough statistically for a synthetic trace.
struct SplitMix {
    std::uint64_t s;

    std::uint64_t next() {
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Multiply-shift instead of modulo: faster, and the tiny bias does not
    // matter here.  Only defined for n < 2^32, which is all we ever need.
    std::uint32_t below(std::uint32_t n) {
        return static_cast<std::uint32_t>(((next() >> 32) * n) >> 32);
    }
    // Inclusive range.
    std::int64_t range(std::int64_t lo, std::int64_t hi) {
        return lo + below(static_cast<std::uint32_t>(hi - lo + 1));
    }
};

// xoshiro256** for the global stream (grid layout, per-step shuffles).
struct Xoshiro {
    std::uint64_t s[4];

    explicit Xoshiro(std::uint64_t seed) {
        SplitMix sm{seed};
        for (auto& w : s) w = sm.next();
    }
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
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
    std::uint32_t below(std::uint32_t n) {
        return static_cast<std::uint32_t>(((next() >> 32) * n) >> 32);
    }
    std::int64_t range(std::int64_t lo, std::int64_t hi) {
        return lo + below(static_cast<std::uint32_t>(hi - lo + 1));
    }
};

// Derives an independent stream for one entity from the run seed, so an
// object's behaviour does not depend on how many other objects exist.
std::uint64_t derive(std::uint64_t seed, std::uint64_t salt, std::uint64_t index) {
    SplitMix sm{seed ^ (salt * 0xD1B54A32D192ED03ull)};
    sm.s += index * 0x9E3779B97F4A7C15ull;
    sm.next();
    return sm.next();
}

// ---------------------------------------------------------------- formatting
//
// Formatting is most of the run time, so every divisor below is a
// compile-time constant (a multiply, not a hardware divide), digits go out
// two at a time, and the small bounded fields come from precomputed tables.

struct DigitPairs {
    char c[200];
    constexpr DigitPairs() : c() {
        for (int i = 0; i < 100; ++i) {
            c[2 * i] = static_cast<char>('0' + i / 10);
            c[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
constexpr DigitPairs kPairs;

inline void putPair(char* p, std::uint32_t v) { std::memcpy(p, kPairs.c + 2 * v, 2); }

inline int digitCount32(std::uint32_t v) {
    if (v < 10) return 1;
    if (v < 100) return 2;
    if (v < 1000) return 3;
    if (v < 10000) return 4;
    if (v < 100000) return 5;
    if (v < 1000000) return 6;
    if (v < 10000000) return 7;
    if (v < 100000000) return 8;
    if (v < 1000000000) return 9;
    return 10;
}

inline char* putU32(char* p, std::uint32_t v) {
    const int n = digitCount32(v);
    char* e = p + n;
    while (v >= 100) {
        const std::uint32_t q = v / 100;
        e -= 2;
        putPair(e, v - q * 100);
        v = q;
    }
    if (v >= 10) {
        putPair(e - 2, v);
    } else {
        e[-1] = static_cast<char>('0' + v);
    }
    return p + n;
}

// Ids, sequence numbers and steps fit in 32 bits in any sensible run; the
// wide path only keeps absurd arguments correct.
inline char* putU64(char* p, std::uint64_t v) {
    if (v <= 0xFFFFFFFFu) return putU32(p, static_cast<std::uint32_t>(v));
    char tmp[20];
    int n = 0;
    while (v != 0) {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    while (n > 0) *p++ = tmp[--n];
    return p;
}

// Exactly Width digits, zero padded on the left.
template <int Width>
inline char* putPadded(char* p, std::uint32_t v) {
    int w = Width;
    while (w >= 2) {
        const std::uint32_t q = v / 100;
        putPair(p + w - 2, v - q * 100);
        v = q;
        w -= 2;
    }
    if (w == 1) p[0] = static_cast<char>('0' + v);
    return p + Width;
}

// A bounded decimal field (speed, heading, accuracy) is one 8-byte copy from
// a table; the copy may overrun the field, which the next write overwrites.
struct Snippet {
    char text[7];
    std::uint8_t len;
};

std::vector<Snippet> makeFixedTable(std::uint32_t count, int decimals) {
    std::vector<Snippet> table(count);
    for (std::uint32_t v = 0; v < count; ++v) {
        char buf[32];
        char* p = buf;
        if (decimals == 1) {
            p = putU32(p, v / 10);
            *p++ = '.';
            p = putPadded<1>(p, v % 10);
        } else {
            p = putU32(p, v / 100);
            *p++ = '.';
            p = putPadded<2>(p, v % 100);
        }
        Snippet& s = table[v];
        s.len = static_cast<std::uint8_t>(p - buf);
        std::memset(s.text, 0, sizeof s.text);
        std::memcpy(s.text, buf, s.len);
    }
    return table;
}

inline char* putSnippet(char* p, const Snippet* table, std::uint32_t v) {
    const Snippet& s = table[v];
    // One 8-byte copy of the whole record (the byte after the text is
    // overwritten by what follows), from the struct so it stays in bounds.
    static_assert(sizeof(Snippet) == 8);
    std::memcpy(p, &s, 8);
    return p + s.len;
}

// Scientific notation of a centimetre value with Sig significant digits.
// Lower case uses a signed two-digit exponent ("1.23456e+03"); upper case
// the shortest exponent form ("1.2345E3").  Rounding is half-up, done on the
// integer so it cannot differ between C libraries.
template <int Sig, bool Upper>
char* putScientific(char* p, std::uint32_t cm) {
    constexpr std::uint32_t kPow[] = {1u,      10u,      100u,      1000u,      10000u,
                                      100000u, 1000000u, 10000000u, 100000000u, 1000000000u};
    constexpr std::uint32_t kTop = kPow[Sig];
    std::uint32_t m = 0;
    int exp = 0;
    if (cm != 0) {
        const int d = digitCount32(cm);
        exp = d - 1 - 2;
        // Each case divides by a constant.  A 32-bit value has at most ten
        // digits and Sig is at least five, so five cases cover every input;
        // the sum is formed in 64 bits so adding the half cannot overflow.
        static_assert(Sig >= 5 && Sig <= 9);
        const std::uint64_t w = cm;
        switch (d - Sig) {
            case 5: m = static_cast<std::uint32_t>((w + 50000) / 100000); break;
            case 4: m = static_cast<std::uint32_t>((w + 5000) / 10000); break;
            case 3: m = static_cast<std::uint32_t>((w + 500) / 1000); break;
            case 2: m = static_cast<std::uint32_t>((w + 50) / 100); break;
            case 1: m = static_cast<std::uint32_t>((w + 5) / 10); break;
            default: m = cm * kPow[Sig - d]; break;  // d <= Sig: pad with zeros
        }
        if (m >= kTop) {
            m /= 10;
            ++exp;
        }
    }
    constexpr std::uint32_t kLead = kPow[Sig - 1];
    const std::uint32_t lead = m / kLead;
    *p++ = static_cast<char>('0' + lead);
    *p++ = '.';
    p = putPadded<Sig - 1>(p, m - lead * kLead);
    *p++ = Upper ? 'E' : 'e';
    const int mag = exp < 0 ? -exp : exp;
    if (exp < 0) {
        *p++ = '-';
    } else if (!Upper) {
        *p++ = '+';
    }
    if (!Upper && mag < 10) *p++ = '0';
    return putU32(p, static_cast<std::uint32_t>(mag));
}

// Real feeds mix number styles (different devices, different firmware), so
// each coordinate picks one of several textual forms.  Coordinates never
// leave [0, 30 km], so centimetres always fit in 32 bits.
char* putCoordinate(char* p, std::int64_t cmSigned, std::uint32_t pick) {
    const std::uint32_t cm = cmSigned < 0 ? 0u : static_cast<std::uint32_t>(cmSigned);
    if (pick < 40) {
        const std::uint32_t m = cm / 100;
        p = putU32(p, m);
        *p = '.';
        putPair(p + 1, cm - m * 100);
        return p + 3;
    }
    if (pick < 60) {
        const std::uint32_t dm = (cm + 5) / 10;
        const std::uint32_t m = dm / 10;
        p = putU32(p, m);
        p[0] = '.';
        p[1] = static_cast<char>('0' + (dm - m * 10));
        return p + 2;
    }
    if (pick < 75) return putU32(p, (cm + 50) / 100);
    if (pick < 90) return putScientific<6, false>(p, cm);
    return putScientific<5, true>(p, cm);
}

// ------------------------------------------------------------------- output

// Lines are formatted into one large buffer, which goes to the file as it
// is or through zlib's deflate.  total() counts the bytes before
// compression, which is what --bytes bounds.
class Writer {
public:
    Writer(std::FILE* f, bool gzip) : f_(f), buf_(kBufferSize) {
        if (!gzip) return;
        gzip_ = true;
        zok_ = deflateInit2(&z_, kGzipLevel, Z_DEFLATED, MAX_WBITS + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        zbuf_.resize(kBufferSize);
    }
    ~Writer() {
        if (gzip_ && zok_) deflateEnd(&z_);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Room for many lines; callers check `needFlush` once per line.
    char* cursor() { return buf_.data() + used_; }
    void advance(char* end) { used_ = static_cast<std::size_t>(end - buf_.data()); }
    bool needFlush() const { return used_ > kBufferSize - kLineReserve; }

    bool flush() {
        const bool ok = gzip_ ? compress(Z_NO_FLUSH) : put(buf_.data(), used_);
        written_ += used_;
        used_ = 0;
        return ok;
    }
    // Writes what is left, and the end of the gzip stream.
    bool finish() { return flush() && (!gzip_ || compress(Z_FINISH)); }
    std::uint64_t total() const { return written_ + used_; }

private:
    bool put(const char* p, std::size_t n) { return n == 0 || std::fwrite(p, 1, n, f_) == n; }

    // Deflates the buffered lines (ending the stream with Z_FINISH) and
    // writes every full or final output buffer.
    bool compress(int mode) {
        if (!zok_) return false;
        z_.next_in = reinterpret_cast<Bytef*>(buf_.data());
        z_.avail_in = static_cast<uInt>(used_);
        do {
            z_.next_out = reinterpret_cast<Bytef*>(zbuf_.data());
            z_.avail_out = static_cast<uInt>(zbuf_.size());
            if (deflate(&z_, mode) == Z_STREAM_ERROR) return false;
            if (!put(zbuf_.data(), zbuf_.size() - z_.avail_out)) return false;
        } while (z_.avail_out == 0);
        return true;
    }

    static constexpr std::size_t kBufferSize = std::size_t{4} << 20;
    static constexpr std::size_t kLineReserve = 512;  // far more than one line
    // Level 1: a sixth of the time of level 6 (2.3 s against 13.6 s for a
    // 200 MB trace) for a file 18 % larger.
    static constexpr int kGzipLevel = 1;
    std::FILE* f_;
    std::vector<char> buf_;
    std::size_t used_ = 0;
    std::uint64_t written_ = 0;
    bool gzip_ = false;
    bool zok_ = false;
    z_stream z_{};
    std::vector<char> zbuf_;
};

// -------------------------------------------------------------------- model

// Street lines at irregular spacing, as in a city whose blocks differ.
std::vector<std::int64_t> makeStreets(Xoshiro& rng, std::int64_t extent) {
    std::vector<std::int64_t> lines;
    std::int64_t pos = kMargin + rng.range(0, 20000);
    while (pos <= extent - kMargin) {
        lines.push_back(pos);
        pos += rng.range(20000, 60000);
    }
    return lines;
}

struct ClassProfile {
    std::uint32_t share;   // percent of objects
    std::int64_t minSpeed; // cm/s
    std::int64_t maxSpeed; // cm/s
    int radius;            // how many street lines the favourite places spread
    int minDwell;          // steps spent at a favourite place
    int maxDwell;
};

// 0 pedestrians, 1 cyclists, 2 cars, 3 delivery vans.
constexpr ClassProfile kClasses[4] = {
    {35, 100, 200, 1, 4, 12},
    {20, 350, 700, 3, 3, 10},
    {35, 800, 2000, 6, 3, 10},
    {10, 500, 1400, 8, 1, 4},
};

struct Place {
    std::uint16_t xi;
    std::uint16_t yi;
};

struct Object {
    SplitMix rng;
    std::int64_t x = 0, y = 0;      // current position on the street, cm
    std::int64_t wx = 0, wy = 0;    // corner where the trip turns
    std::int64_t tx = 0, ty = 0;    // trip destination
    std::uint64_t seq = 0;
    std::int64_t speed = 0;         // cruising speed, cm/s
    std::int32_t dwell = 0;         // steps left at the current place
    std::int32_t heading = 0;       // tenths of a degree, clockwise from north
    std::int32_t lane = 0;          // sideways offset from the street centre, cm
    std::uint8_t cls = 0;
    std::uint8_t nplaces = 0;
    std::uint8_t at = 0;            // index of the place it is at or heading to
    bool travelling = false;
    Place places[5];
};

// Everything one line reports, computed before any byte is written.
struct Record {
    std::uint64_t seq;
    std::uint64_t r;  // spare random bits for the number forms
    std::int64_t x, y;
    std::uint32_t speedDm, heading, accuracy;
    std::uint8_t cls;
    bool moving;
};

class World {
public:
    World(std::uint64_t seed, std::uint32_t objects) : seed_(seed), global_(seed) {
        xs_ = makeStreets(global_, kWorldX);
        ys_ = makeStreets(global_, kWorldY);
        objs_.resize(objects);
        order_.resize(objects);
        for (std::uint32_t i = 0; i < objects; ++i) {
            order_[i] = i;
            init(objs_[i], i);
        }
    }

    // Moves every object by one time step and hands its record to
    // sink.line(record, id); stops when that fails.  The visiting order is
    // shuffled per step the way records from many senders arrive
    // interleaved; since every object owns its random stream, the order does
    // not change what an object does.
    template <class Sink>
    bool step(Sink& sink) {
        shuffle();
        for (const std::uint32_t id : order_) {
            if (!sink.line(advance(objs_[id]), id)) return false;
        }
        return true;
    }

private:
    void shuffle() {
        for (std::size_t i = order_.size(); i > 1; --i) {
            const std::uint32_t j = global_.below(static_cast<std::uint32_t>(i));
            std::swap(order_[i - 1], order_[j]);
        }
    }

    std::int64_t px(const Place& pl) const { return xs_[pl.xi]; }
    std::int64_t py(const Place& pl) const { return ys_[pl.yi]; }

    static std::uint16_t around(SplitMix& r, std::int64_t centre, int radius, std::size_t n) {
        std::int64_t v = centre + r.range(-radius, radius);
        if (v < 0) v = 0;
        if (v >= static_cast<std::int64_t>(n)) v = static_cast<std::int64_t>(n) - 1;
        return static_cast<std::uint16_t>(v);
    }

    void init(Object& o, std::uint32_t id) {
        o.rng.s = derive(seed_, 1, id);
        const std::uint32_t c = o.rng.below(100);
        std::uint32_t acc = 0;
        o.cls = 3;
        for (std::uint8_t k = 0; k < 4; ++k) {
            acc += kClasses[k].share;
            if (c < acc) {
                o.cls = k;
                break;
            }
        }
        const ClassProfile& prof = kClasses[o.cls];
        o.speed = o.rng.range(prof.minSpeed, prof.maxSpeed);

        // Groups of ten consecutive ids share a neighbourhood (a household, a
        // small fleet), so their favourite places overlap and the same cells
        // come up again and again within a group.
        SplitMix grp{derive(seed_, 2, id / 10)};
        const std::int64_t cx = grp.range(0, static_cast<std::int64_t>(xs_.size()) - 1);
        const std::int64_t cy = grp.range(0, static_cast<std::int64_t>(ys_.size()) - 1);

        o.nplaces = static_cast<std::uint8_t>(o.rng.range(2, 5));
        for (std::uint8_t k = 0; k < o.nplaces; ++k) {
            // Retry a few times for a place it does not have yet; a duplicate
            // is harmless, it only weights that place more.
            Place pl{};
            for (int attempt = 0; attempt < 8; ++attempt) {
                pl = Place{around(o.rng, cx, prof.radius, xs_.size()),
                           around(o.rng, cy, prof.radius, ys_.size())};
                bool dup = false;
                for (std::uint8_t j = 0; j < k; ++j)
                    dup = dup || (o.places[j].xi == pl.xi && o.places[j].yi == pl.yi);
                if (!dup) break;
            }
            o.places[k] = pl;
        }
        o.at = static_cast<std::uint8_t>(o.rng.below(o.nplaces));
        o.x = o.tx = px(o.places[o.at]);
        o.y = o.ty = py(o.places[o.at]);
        o.dwell = static_cast<std::int32_t>(o.rng.range(0, prof.maxDwell));
        o.heading = static_cast<std::int32_t>(o.rng.below(3600));
        o.seq = o.rng.range(1, 5000);
    }

    void planTrip(Object& o) {
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

    // Moves toward (gx, gy), which always lies on the same street line.
    // Returns the distance actually covered and updates the heading.
    static std::int64_t moveToward(Object& o, std::int64_t gx, std::int64_t gy, std::int64_t budget) {
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

    Record advance(Object& o) {
        std::int64_t outX = 0;
        std::int64_t outY = 0;
        std::int64_t speedDm = 0;  // reported speed, tenths of m/s
        std::int32_t heading = 0;
        bool moving = false;

        if (o.dwell > 0 && !o.travelling) {
            --o.dwell;
            // Standing still: the receiver wanders by a few metres and the
            // heading is noise.
            outX = o.tx + o.rng.range(-300, 300);
            outY = o.ty + o.rng.range(-300, 300);
            speedDm = o.rng.range(0, 3);
            heading = static_cast<std::int32_t>(o.rng.below(3600));
        } else {
            if (!o.travelling) planTrip(o);
            moving = true;
            // Traffic makes the pace vary from step to step, but never far
            // beyond what the class can do.
            const std::int64_t factor = o.rng.range(80, 120);
            std::int64_t pace = o.speed * factor / 100;
            const std::int64_t cap = kClasses[o.cls].maxSpeed * 11 / 10;
            if (pace > cap) pace = cap;
            std::int64_t budget = pace * kStepSeconds;
            std::int64_t moved = moveToward(o, o.wx, o.wy, budget);
            budget -= moved;
            if (o.x == o.wx && o.y == o.wy) moved += moveToward(o, o.tx, o.ty, budget);
            outX = o.x;
            outY = o.y;
            if (o.x == o.tx && o.y == o.ty) {
                o.travelling = false;
                const ClassProfile& prof = kClasses[o.cls];
                o.dwell = static_cast<std::int32_t>(o.rng.range(prof.minDwell, prof.maxDwell));
            } else if (o.heading == 900 || o.heading == 2700) {
                outY += o.lane;  // keep to one side of the street
            } else {
                outX += o.lane;
            }
            speedDm = (moved + kStepSeconds * 5) / (kStepSeconds * 10);
            heading = o.heading + static_cast<std::int32_t>(o.rng.range(-30, 30));
            if (heading < 0) heading += 3600;
            if (heading >= 3600) heading -= 3600;
        }

        // Occasionally a record is lost on the way, which shows as a gap in
        // the sequence numbers.
        o.seq += o.rng.below(50) == 0 ? 2 : 1;
        const std::uint64_t r = o.rng.next();

        // Position accuracy estimate in centimetres (written as metres);
        // mostly good, sometimes poor.
        const std::uint64_t accuracy = ((r >> 16) % 20 == 0) ? 450 + (r >> 24) % 550 : 60 + (r >> 24) % 340;
        return Record{o.seq,
                      r,
                      outX,
                      outY,
                      static_cast<std::uint32_t>(speedDm),
                      static_cast<std::uint32_t>(heading),
                      static_cast<std::uint32_t>(accuracy),
                      o.cls,
                      moving};
    }

    std::uint64_t seed_;
    Xoshiro global_;
    std::vector<std::int64_t> xs_;
    std::vector<std::int64_t> ys_;
    std::vector<Object> objs_;
    std::vector<std::uint32_t> order_;
};

// ------------------------------------------------------------------- formats
//
// A sink turns the records of a step into lines: begin(t, last) starts
// step t, line(record, id) takes one record and end() closes the step;
// line() and end() return false once a write has failed.

// One line of the TAB trace.
char* tabLine(char* p, const Record& rec, std::uint32_t id, std::uint64_t t, bool last,
              const Snippet* tenths, const Snippet* hundredths) {
    // Labels are padded to eight bytes so the copy has a fixed size.
    const char* label = rec.moving ? "track\t\0\0" : "dwell\t\0\0";
    std::size_t len = 6;
    if (t == 0) {
        label = "appear\t\0";
        len = 7;
    } else if (last) {
        label = "vanish\t\0";
        len = 7;
    }
    std::memcpy(p, label, 8);
    p += len;
    p = putU32(p, id);
    *p++ = '\t';
    p = putU64(p, rec.seq);
    *p++ = '\t';
    *p++ = static_cast<char>('0' + rec.cls);
    *p++ = '\t';
    p = putU64(p, t);
    *p++ = '\t';
    p = putCoordinate(p, rec.x, static_cast<std::uint32_t>(rec.r % 100));
    *p++ = '\t';
    p = putCoordinate(p, rec.y, static_cast<std::uint32_t>((rec.r >> 8) % 100));
    *p++ = '\t';
    p = putSnippet(p, tenths, rec.speedDm);
    *p++ = '\t';
    p = putSnippet(p, tenths, rec.heading);
    *p++ = '\t';
    p = putSnippet(p, hundredths, rec.accuracy);
    *p++ = '\n';
    return p;
}

// The TAB trace: a label, id, sequence number, class, step, x and y in
// metres in one of several number forms, speed, heading and accuracy.
class TabSink {
public:
    explicit TabSink(Writer& out) : out_(out) {}
    void begin(std::uint64_t t, bool last) {
        t_ = t;
        last_ = last;
    }
    bool line(const Record& rec, std::uint32_t id) {
        out_.advance(tabLine(out_.cursor(), rec, id, t_, last_, tenths_.data(), hundredths_.data()));
        return !out_.needFlush() || out_.flush();
    }
    bool end() { return true; }

private:
    Writer& out_;
    // Speeds stay far below 360 m/s and headings below 360 degrees, so one
    // table of tenths serves both.
    std::vector<Snippet> tenths_ = makeFixedTable(3600, 1);
    std::vector<Snippet> hundredths_ = makeFixedTable(1000, 2);
    std::uint64_t t_ = 0;
    bool last_ = false;
};

// The clock time of step 0, 2008-10-23T02:53:04Z, in seconds since
// 1970-01-01T00:00:00Z; one step is kStepSeconds later.
constexpr std::uint64_t kEpoch = 1224730384;

// The UTM position of the city's (0, 0), in centimetres.
constexpr std::int64_t kEastingCm = 440000 * 100;
constexpr std::int64_t kNorthingCm = 5880000 * 100;

// ISO 8601 UTC time of `seconds` since 1970 (never before it), such as
// "2008-10-23T02:53:04Z", from the civil calendar in integer arithmetic
// (days to year, month and day as in the proleptic Gregorian calendar).
char* putStamp(char* p, std::uint64_t seconds) {
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
    p = year < 10000 ? putPadded<4>(p, static_cast<std::uint32_t>(year)) : putU64(p, year);
    *p++ = '-';
    p = putPadded<2>(p, month);
    *p++ = '-';
    p = putPadded<2>(p, day);
    *p++ = 'T';
    p = putPadded<2>(p, sod / 3600);
    *p++ = ':';
    p = putPadded<2>(p, sod / 60 % 60);
    *p++ = ':';
    p = putPadded<2>(p, sod % 60);
    *p++ = 'Z';
    return p;
}

// 10^Decimals, for the two fixed-point forms of the CSV formats.
template <int Decimals>
constexpr std::uint64_t kScale = Decimals == 2 ? 100 : 10000000;

// A decimal with exactly Decimals digits after the point, of v / 10^Decimals.
template <int Decimals>
char* putFixed(char* p, std::int64_t v) {
    static_assert(Decimals == 2 || Decimals == 7);
    std::uint64_t u = static_cast<std::uint64_t>(v);
    if (v < 0) {
        *p++ = '-';
        u = ~u + 1;
    }
    const std::uint64_t whole = u / kScale<Decimals>;
    p = putU64(p, whole);
    *p++ = '.';
    return putPadded<Decimals>(p, static_cast<std::uint32_t>(u - whole * kScale<Decimals>));
}

// The CSV formats: a header, then per record the object's name ("veh-"
// and its id, zero-padded to four digits or as many as the largest id
// has), the step's time and its position, either UTM metres with two
// decimals (x, y) or WGS 84 degrees with seven (lon, lat).  Positions are
// gathered per step in batches, since PROJ costs much per call.
class CsvSink {
public:
    // Degrees when `degrees` is given, metres otherwise.
    CsvSink(Writer& out, Projection* degrees, std::uint64_t objects) : out_(out), degrees_(degrees) {
        for (std::uint64_t top = objects - 1; top >= 10000; top /= 10) ++width_;
    }
    // The first line; written before any other.
    void header() {
        const std::string_view h = degrees_ != nullptr ? "id,time,lon,lat\n" : "id,time,x,y\n";
        std::memcpy(out_.cursor(), h.data(), h.size());
        out_.advance(out_.cursor() + h.size());
    }
    void begin(std::uint64_t t, bool) {
        const std::uint64_t seconds = kEpoch + t * static_cast<std::uint64_t>(kStepSeconds);
        stampLen_ = static_cast<std::size_t>(putStamp(stamp_, seconds) - stamp_);
    }
    bool line(const Record& rec, std::uint32_t id) {
        ids_[n_] = id;
        xs_[n_] = static_cast<double>(kEastingCm + rec.x) / 100;
        ys_[n_] = static_cast<double>(kNorthingCm + rec.y) / 100;
        return ++n_ < kBatch || end();
    }
    // Writes the batch.  A position that PROJ cannot transform ends the
    // program with status 1 (it never happens inside the city).
    bool end() {
        if (n_ == 0) return true;
        if (degrees_ != nullptr && !degrees_->toDegrees(xs_, ys_, n_)) {
            std::fprintf(stderr, "tracegen: cannot transform positions to degrees: %s\n", degrees_->error().c_str());
            std::exit(kExitIo);
        }
        const bool ok = degrees_ != nullptr ? rows<7>() : rows<2>();
        n_ = 0;
        return ok;
    }

private:
    static constexpr std::size_t kBatch = 4096;

    template <int Decimals>
    bool rows() {
        constexpr double scale = kScale<Decimals>;
        for (std::size_t i = 0; i < n_; ++i) {
            char* p = out_.cursor();
            std::memcpy(p, "veh-", 4);
            p += 4;
            for (int k = digitCount32(ids_[i]); k < width_; ++k) *p++ = '0';
            p = putU32(p, ids_[i]);
            *p++ = ',';
            std::memcpy(p, stamp_, stampLen_);
            p += stampLen_;
            *p++ = ',';
            p = putFixed<Decimals>(p, std::llround(xs_[i] * scale));
            *p++ = ',';
            p = putFixed<Decimals>(p, std::llround(ys_[i] * scale));
            *p++ = '\n';
            out_.advance(p);
            if (out_.needFlush() && !out_.flush()) return false;
        }
        return true;
    }

    Writer& out_;
    Projection* degrees_;
    int width_ = 4;
    char stamp_[32];
    std::size_t stampLen_ = 0;
    std::size_t n_ = 0;
    std::uint32_t ids_[kBatch];
    double xs_[kBatch];
    double ys_[kBatch];
};

// Writes `steps` time steps through `sink`, or with `bytes` as many as it
// takes to reach that many bytes; the end is then only known once the
// target size is reached, so such a trace has no final "vanish" step.
template <class Sink>
bool generate(World& world, Sink& sink, const Writer& out, std::uint64_t steps, std::uint64_t bytes) {
    bool ok = true;
    for (std::uint64_t t = 0; ok && (bytes != 0 ? out.total() < bytes : t < steps); ++t) {
        sink.begin(t, bytes == 0 && t + 1 == steps);
        ok = world.step(sink) && sink.end();
    }
    return ok;
}

// ---------------------------------------------------------------------- CLI

void usage(std::FILE* f) {
    std::fputs("usage: tracegen [--seed S] [--objects N] [--steps T | --bytes B] [--format F] [--gzip]\n"
               "                [-o PATH]\n"
               "  --seed S     random seed (default 1)\n"
               "  --objects N  number of moving objects (default 1000)\n"
               "  --steps T    number of time steps (default 20)\n"
               "  --bytes B    keep adding time steps until at least B bytes are written\n"
               "               (counted before compression)\n"
               "  --format F   tab: the TAB-separated trace in metres (default)\n"
               "               csv: header id,time,lon,lat, then one row per position:\n"
               "                 id    veh- and the object number, zero-padded to 4 digits\n"
               "                       (more when the largest number has more), veh-0173\n"
               "                 time  ISO 8601 UTC, step 0 at 2008-10-23T02:53:04Z, 30 s a step\n"
               "                 lon, lat  WGS 84 degrees with 7 decimals; the city lies in\n"
               "                       UTM zone 32N (EPSG:32632) from easting 440000 m,\n"
               "                       northing 5880000 m, near 8.1 E 53.1 N\n"
               "               csv-metres: header id,time,x,y, the same rows with the UTM\n"
               "                 easting and northing in metres, 2 decimals\n"
               "               Rows come step by step, in the order of the TAB trace.\n"
               "  --gzip       compress the output with gzip (level 1)\n"
               "  -o PATH      write to PATH instead of standard output\n",
               f);
}

[[noreturn]] void fail(const std::string& msg) {
    std::fprintf(stderr, "tracegen: %s\n", msg.c_str());
    usage(stderr);
    std::exit(kExitUsage);
}

// Strict: digits only, no sign, no overflow.  strtoull would quietly accept
// "-1" and leading blanks.
bool parseU64(std::string_view s, std::uint64_t& out) {
    if (s.empty() || s.size() > 20) return false;
    std::uint64_t v = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return false;
        const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t seed = 1;
    std::uint64_t objects = 1000;
    std::uint64_t steps = 20;
    std::uint64_t bytes = 0;
    bool haveSteps = false;
    bool haveBytes = false;
    std::string_view format = "tab";
    bool gzip = false;
    std::string path;

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        }
        std::string_view name = arg;
        std::string_view value;
        bool inlineValue = false;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        if (name == "--gzip") {
            if (inlineValue) fail("option '--gzip' takes no value");
            gzip = true;
            continue;
        }
        const bool known = name == "--seed" || name == "--objects" || name == "--steps" ||
                           name == "--bytes" || name == "--format" || name == "-o";
        if (!known) fail("unknown option '" + std::string(arg) + "'");
        if (!inlineValue) {
            if (i + 1 >= argc) fail("option '" + std::string(name) + "' needs a value");
            value = argv[++i];
        }
        if (name == "-o") {
            if (value.empty()) fail("empty output path");
            path = std::string(value);
            continue;
        }
        if (name == "--format") {
            if (value != "tab" && value != "csv" && value != "csv-metres")
                fail("bad value '" + std::string(value) + "' for --format (tab, csv or csv-metres)");
            format = value;
            continue;
        }
        std::uint64_t v = 0;
        if (!parseU64(value, v)) fail("bad value '" + std::string(value) + "' for " + std::string(name));
        if (name == "--seed") {
            seed = v;
        } else if (name == "--objects") {
            if (v < 1 || v > 10000000) fail("--objects must be between 1 and 10000000");
            objects = v;
        } else if (name == "--steps") {
            if (v < 1) fail("--steps must be at least 1");
            steps = v;
            haveSteps = true;
        } else {
            if (v < 1) fail("--bytes must be at least 1");
            bytes = v;
            haveBytes = true;
        }
    }
    if (haveSteps && haveBytes) fail("--steps and --bytes are alternatives; give one");

    // Set up before the output is created, so that a failure leaves no file.
    std::optional<Projection> degrees;
    if (format == "csv") {
        degrees.emplace();
        if (!degrees->ok()) {
            std::fprintf(stderr, "tracegen: cannot set up the transformation from EPSG:32632 to EPSG:4326: %s\n",
                         degrees->error().c_str());
            return kExitIo;
        }
    }

    std::FILE* f = stdout;
    if (!path.empty()) {
        f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) {
            std::fprintf(stderr, "tracegen: cannot open '%s' for writing\n", path.c_str());
            return kExitIo;
        }
    } else {
#ifdef _WIN32
        // Text mode would turn every "\n" into "\r\n" and break byte equality
        // with the other platforms.
        _setmode(_fileno(stdout), _O_BINARY);
#endif
    }

    bool ok = true;
    {
        World world(seed, static_cast<std::uint32_t>(objects));
        Writer out(f, gzip);
        if (format == "tab") {
            TabSink sink(out);
            ok = generate(world, sink, out, steps, bytes);
        } else {
            CsvSink sink(out, degrees ? &*degrees : nullptr, objects);
            sink.header();
            ok = generate(world, sink, out, steps, bytes);
        }
        ok = out.finish() && ok;
    }
    if (std::fflush(f) != 0) ok = false;
    if (f != stdout && std::fclose(f) != 0) ok = false;
    if (!ok) {
        std::fprintf(stderr, "tracegen: write error\n");
        return kExitIo;
    }
    return 0;
}
