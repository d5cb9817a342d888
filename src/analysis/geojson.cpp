// Writing cells as GeoJSON polygons: cell edges, number and string
// formatting, and the batched projection of corners.
//
// A feature is one line: {"type":"Feature","geometry":{...},"properties":{...}}.
// Its geometry is the cell's square as one closed, counter-clockwise ring
// (south-west, south-east, north-east, north-west, south-west again), or
// null when a corner did not project to finite numbers, so the file is
// valid JSON whatever the projection returns.
#include "analysis/geojson.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "analysis/heatmap.h"

namespace cellfreq {
namespace {

// The most bytes one coordinate takes: 309 integer digits of the largest
// double, a sign, a point and nine decimals.
constexpr std::size_t coordmax = 330;

// Writes v rounded to nine decimals (a millimetre's millionth in metres,
// about 0.1 mm in degrees) without trailing zeros; "-0" becomes "0".
char* putcoord(char* p, double v) {
  char* const start = p;
  p = std::to_chars(p, p + coordmax, v, std::chars_format::fixed, 9).ptr;
  while (p[-1] == '0') --p;
  if (p[-1] == '.') --p;
  if (p - start == 2 && start[0] == '-' && start[1] == '0') *(p = start)++ = '0';
  return p;
}

void appendint(std::string& s, std::int64_t v) {
  char buf[24];
  s.append(buf, formatint(buf, v));
}

// The length of the valid UTF-8 sequence that starts s[i] (not ASCII), or
// 0: no overlong forms, surrogates or code points beyond U+10FFFF.
std::size_t utf8length(std::string_view s, std::size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t n = 0;
  unsigned lo = 0x80, hi = 0xbf;  // the range of the second byte
  if (b >= 0xc2 && b <= 0xdf) {
    n = 2;
  } else if (b >= 0xe0 && b <= 0xef) {
    n = 3;
    lo = b == 0xe0 ? 0xa0 : lo;
    hi = b == 0xed ? 0x9f : hi;
  } else if (b >= 0xf0 && b <= 0xf4) {
    n = 4;
    lo = b == 0xf0 ? 0x90 : lo;
    hi = b == 0xf4 ? 0x8f : hi;
  } else {
    return 0;
  }
  if (s.size() - i < n) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xbf)) return 0;
  }
  return n;
}

// Appends s as a JSON string: quote and backslash escaped, control bytes as
// \u00XX, UTF-8 passed through, and a byte that is not part of valid UTF-8
// read as Latin-1 (\u00XX), so that the file stays valid UTF-8.
void appendstring(std::string& to, std::string_view s) {
  static constexpr char hex[] = "0123456789abcdef";
  to += '"';
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80 ? 1 : utf8length(s, i);
    if (b == '"' || b == '\\') {
      to += '\\';
      to += static_cast<char>(b);
    } else if (b < 0x20 || n == 0) {
      const char esc[] = {'\\', 'u', '0', '0', hex[b >> 4], hex[b & 15]};
      to.append(esc, sizeof esc);
    } else {
      to.append(s, i, n);
    }
    i += n == 0 ? 1 : n;
  }
  to += '"';
}

// The properties every feature shares (grid CRS and cell size), followed by
// the feature's end: built once, written after each feature's own properties.
std::string sharedtail(const geojsonlayer& layer) {
  std::string tail = "\"grid_crs\":";
  if (layer.gridcrs.empty()) tail += "null";
  else appendstring(tail, layer.gridcrs);
  tail += ",\"cell_size\":";
  char buf[32];
  if (std::isfinite(layer.cellsize)) tail.append(buf, std::to_chars(buf, buf + sizeof buf, layer.cellsize).ptr);
  else tail += "null";
  tail += "}}";
  return tail;
}

}  // namespace

void appendjson(std::string& to, std::string_view s) { appendstring(to, s); }

std::pair<double, double> celledges(std::int32_t c, double s) {
  const double d = c;  // c - 2 overflows 32 bits at the bottom of the range
  if (c >= 1) return {(d - 1) * s, d * s};
  if (c == 0) return {-2 * s, 0};
  return {(d - 2) * s, (d - 1) * s};
}

geojsonwriter::geojsonwriter(const geojsonlayer& layer, textout& out, bool fragment)
    : layer_(layer), out_(out), tail_(sharedtail(layer)), fragment_(fragment) {
  xs_.reserve(4 * batch);
  ys_.reserve(4 * batch);
  ends_.reserve(batch);
  if (!fragment_) out_.put("{\"type\":\"FeatureCollection\",\"features\":[");
}

void geojsonwriter::frequent(std::int32_t user, std::span<const std::string_view> ids, std::int32_t x, std::int32_t y,
                             std::int64_t visits, std::int64_t firstposition) {
  props_ += "\"user\":";
  appendint(props_, user);
  props_ += ",\"ids\":[";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i != 0) props_ += ',';
    appendstring(props_, ids[i]);
  }
  props_ += "],";
  cellprops(x, y, visits);
  props_ += ",\"first_position\":";
  appendint(props_, firstposition);
  props_ += ',';
  add(x, y);
}

void geojsonwriter::heat(std::int32_t x, std::int32_t y, std::int64_t visits) {
  cellprops(x, y, visits);
  props_ += ',';
  add(x, y);
}

// Appends "x", "y" and "visits" to the waiting feature's properties.
void geojsonwriter::cellprops(std::int32_t x, std::int32_t y, std::int64_t visits) {
  props_ += "\"x\":";
  appendint(props_, x);
  props_ += ",\"y\":";
  appendint(props_, y);
  props_ += ",\"visits\":";
  appendint(props_, visits);
}

// Queues the corners of cell (x, y) behind the properties just formatted.
void geojsonwriter::add(std::int32_t x, std::int32_t y) {
  const auto [x0, x1] = celledges(x, layer_.cellsize);
  const auto [y0, y1] = celledges(y, layer_.cellsize);
  const double cx[] = {x0, x1, x1, x0}, cy[] = {y0, y0, y1, y1};
  xs_.insert(xs_.end(), cx, cx + 4);
  ys_.insert(ys_.end(), cy, cy + 4);
  ends_.push_back(props_.size());
  ++features_;
  if (ends_.size() == batch) flushbatch();
}

// Projects the waiting corners in one call and writes the waiting features.
void geojsonwriter::flushbatch() {
  if (layer_.project && !xs_.empty()) layer_.project(xs_.data(), ys_.data(), xs_.size());
  char ring[8 * coordmax + 64];
  std::size_t from = 0;
  for (std::size_t f = 0; f < ends_.size(); ++f) {
    if (!first_) out_.put(',');
    out_.newline();
    first_ = false;
    out_.put("{\"type\":\"Feature\",\"geometry\":");
    const double* x = &xs_[4 * f];
    const double* y = &ys_[4 * f];
    bool finite = true;
    for (int k = 0; k < 4; ++k) finite = finite && std::isfinite(x[k]) && std::isfinite(y[k]);
    if (finite) {
      out_.put("{\"type\":\"Polygon\",\"coordinates\":[[");
      char* p = ring;
      std::size_t firstlen = 0;  // the first position's length
      for (int k = 0; k < 4; ++k) {
        *p++ = '[';
        p = putcoord(p, x[k]);
        *p++ = ',';
        p = putcoord(p, y[k]);
        *p++ = ']';
        if (k == 0) firstlen = static_cast<std::size_t>(p - ring);
        *p++ = ',';
      }
      out_.put(std::string_view(ring, static_cast<std::size_t>(p - ring)));
      out_.put(std::string_view(ring, firstlen));  // closes the ring
      out_.put("]]}");
    } else {
      out_.put("null");
    }
    out_.put(",\"properties\":{");
    out_.put(std::string_view(props_).substr(from, ends_[f] - from));
    out_.put(tail_);
    from = ends_[f];
  }
  xs_.clear();
  ys_.clear();
  props_.clear();
  ends_.clear();
}

void geojsonwriter::finish() {
  flushbatch();
  if (fragment_) return;
  out_.newline();
  out_.put("]}");
  out_.newline();
}

void writeheat(const cellvisits& visits, geojsonwriter& out) {
  // Limits that are never reached keep every cell a square of its own.
  const heatlimits cells{std::numeric_limits<std::size_t>::max(), std::numeric_limits<std::int64_t>::max()};
  for (const heatsquare& s : aggregate(visits, {}, cells).squares)
    out.heat(static_cast<std::int32_t>(s.bx), static_cast<std::int32_t>(s.by), s.visits);
}

}  // namespace cellfreq
