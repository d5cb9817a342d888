// The heat map: an SVG picture of how often each grid cell was visited.
//
// The visits are aggregated per cell, never drawn one by one, and when a
// trace covers more cells than a picture can show, neighbouring cells are
// merged into square bins of 2 × 2, 4 × 4, ... cells until both the number of
// squares and the picture's side are within limits. That bounds the file
// (about 2 MB at most) whatever the size of the trace.
#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cells/cellvisits.h"
#include "cells/celltable.h"
#include "trace/recordlist.h"
#include "io/textout.h"

namespace cellfreq {

// The most squares a picture draws, and the most bins along either side.
struct heatlimits {
  std::size_t maxsquares = 60000;
  std::int64_t maxside = 500;
};

// One drawn square: bin (bx, by) holds cells bx*bin … bx*bin+bin-1 in x and
// likewise in y; `frequent` marks a bin holding a frequent cell.
struct heatsquare {
  std::int64_t bx = 0;
  std::int64_t by = 0;
  std::int64_t visits = 0;
  bool frequent = false;
};

// The aggregated grid: squares ordered by row (by) and then column (bx).
struct heatgrid {
  std::int64_t bin = 1;  // cells per side of one square
  std::int64_t bxmin = 0, bxmax = -1, bymin = 0, bymax = -1;
  std::int64_t visits = 0;  // all visits drawn
  std::int64_t cells = 0;   // distinct cells visited
  std::int64_t maxvisits = 0;
  std::vector<heatsquare> squares;
};

// Aggregates the counted visits into bins within `limits`; the cells of
// `frequentcodes` mark the bins they fall in.
heatgrid aggregate(const cellvisits& visits, const std::vector<cell>& frequentcodes, const heatlimits& limits = {});
// The same for the visits of objects 0 … nobjects-1 of `list` (the visits
// of the cell file).
inline heatgrid aggregate(const recordlist& list, std::int32_t nobjects, const std::vector<cell>& frequentcodes,
                          const heatlimits& limits = {}) {
  cellvisits visits;
  visits.add(list, 0, nobjects);
  return aggregate(visits, frequentcodes, limits);
}

// The shading that the heat map and the web map share. levelbounds() gives
// the lower bounds of the shade levels for squares of 1 … `maxvisits`
// visits: 1 and the integer steps of a logarithmic scale, without repeats.
// shade() is the colour of level `level` of `n`, from light to dark, over a
// sequential palette that a colour-blind reader still reads in order; the
// frequent cells are outlined in `outlinecolour`, a blue apart from it.
std::vector<std::int64_t> levelbounds(std::int64_t maxvisits);
std::string_view shade(std::size_t level, std::size_t n);
inline constexpr std::string_view outlinecolour = "#1f3fbf";

// Writes `grid` as an SVG document: shaded squares on a logarithmic scale
// with a legend, frequent bins outlined, axes in cell numbers and metres.
void writesvg(const heatgrid& grid, float cellsize, textout& out);

}  // namespace cellfreq
