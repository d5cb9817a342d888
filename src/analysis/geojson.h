// geojson: frequent cells and the heat map as a GeoJSON FeatureCollection
// (RFC 7946) of square cell polygons.
//
// The writer streams: features are formatted as they come, in the order of
// the calls, and only their corners wait, in batches, so that one call of the
// layer's projection maps thousands of them at once. Nothing here knows about
// coordinate systems; the projection is handed in as a function.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/heatmap.h"
#include "io/textout.h"

namespace cellfreq {

// The edges (low, high) of cell number c of side s along one axis: the
// coordinates v with trunc(v / s + 1) == c. Cell c >= 1 is [(c-1)s, cs),
// cell 0 is (-2s, 0), twice as wide, and cell c <= -1 is ((c-2)s, (c-1)s].
std::pair<double, double> celledges(std::int32_t c, double s);

// Appends `s` to `to` as a JSON string: quotes and backslashes escaped,
// control bytes as \u00XX, UTF-8 passed through and any other byte read as
// Latin-1, so that the text stays valid JSON in UTF-8.
void appendjson(std::string& to, std::string_view s);

struct geojsonlayer {
  double cellsize = 400;
  std::string gridcrs;  // name of the grid CRS; empty when none was given
  // Maps n points from grid metres to output coordinates in place (to WGS 84
  // lon/lat); empty: coordinates stay grid metres.
  std::function<void(double* x, double* y, std::size_t n)> project;
};

class geojsonwriter {
public:
  // Features whose corners are projected in one call.
  static constexpr std::size_t batch = 4096;

  // Writes the head of the FeatureCollection; a `fragment` writes only its
  // features, for a collection put together from pieces (see finish()).
  geojsonwriter(const geojsonlayer& layer, textout& out, bool fragment = false);

  // A frequent cell (x, y) of `user`, whose object ids are `ids`, visited
  // `visits` times, first at `firstposition` in the user's row.
  void frequent(std::int32_t user, std::span<const std::string_view> ids, std::int32_t x, std::int32_t y,
                std::int64_t visits, std::int64_t firstposition);
  // A visited cell (x, y) of the heat-map layer.
  void heat(std::int32_t x, std::int32_t y, std::int64_t visits);
  // Writes the waiting features and closes the collection; the caller then
  // flushes `out` and checks it. Nothing may be added afterwards. A
  // fragment's features come out as a whole collection's would, the first
  // without the comma before it, and it is not closed: pieces go between
  // the head and the end of a collection, a comma between pieces.
  void finish();
  // The features given so far: what tells a piece of a collection that
  // holds none, which needs no comma before the next.
  std::int64_t features() const { return features_; }

private:
  void cellprops(std::int32_t x, std::int32_t y, std::int64_t visits);
  void add(std::int32_t x, std::int32_t y);
  void flushbatch();

  geojsonlayer layer_;
  textout& out_;
  std::string tail_;                // the properties every feature shares, and the feature's end
  std::string props_;               // the own properties of the waiting features, one after another
  std::vector<std::size_t> ends_;   // where each waiting feature's properties end in props_
  std::vector<double> xs_, ys_;     // four corners per waiting feature
  bool first_ = true;
  bool fragment_;
  std::int64_t features_ = 0;
};

// The heat-map layer: one feature per counted cell, with its number of visits, row by row from the south and
// west to east within a row.
void writeheat(const cellvisits& visits, geojsonwriter& out);

}  // namespace cellfreq
