// Aggregating visits into the heat map's bins.
//
// Visits are first counted per distinct cell, so the binning rounds work on
// the cells a trace touches, not on its visits: a trace of any length costs
// one pass over its records plus a few passes over its distinct cells.
#include "analysis/heatmap.h"

#include <algorithm>
#include <unordered_map>

#include "cells/celltable.h"

namespace cellfreq {
namespace {

// Rounds toward negative infinity, so that cells below zero bin like others.
std::int64_t floordiv(std::int64_t a, std::int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

heatgrid aggregate(const cellvisits& visits, const std::vector<cell>& frequentcodes, const heatlimits& limits) {
  heatgrid grid;
  const auto& cells = visits.counts();
  if (cells.empty()) return grid;

  std::int64_t xmin = INT64_MAX, xmax = INT64_MIN, ymin = INT64_MAX, ymax = INT64_MIN;
  for (const auto& [k, v] : cells) {
    xmin = std::min(xmin, key_x(k));
    xmax = std::max(xmax, key_x(k));
    ymin = std::min(ymin, key_y(k));
    ymax = std::max(ymax, key_y(k));
    grid.visits += v;
  }
  grid.cells = static_cast<std::int64_t>(cells.size());

  std::unordered_map<std::uint64_t, heatsquare> bins;
  for (std::int64_t b = 1;; b *= 2) {
    grid.bin = b;
    grid.bxmin = floordiv(xmin, b);
    grid.bxmax = floordiv(xmax, b);
    grid.bymin = floordiv(ymin, b);
    grid.bymax = floordiv(ymax, b);
    if (grid.bxmax - grid.bxmin >= limits.maxside || grid.bymax - grid.bymin >= limits.maxside) continue;
    bins.clear();
    for (const auto& [k, v] : cells) {
      const std::int64_t bx = floordiv(key_x(k), b), by = floordiv(key_y(k), b);
      heatsquare& s = bins[cell_key(bx, by)];
      s.bx = bx;
      s.by = by;
      s.visits += v;
    }
    if (bins.size() <= limits.maxsquares) break;
  }

  for (const cell& c : frequentcodes) {
    const auto it = bins.find(cell_key(floordiv(c.x, grid.bin), floordiv(c.y, grid.bin)));
    if (it != bins.end()) it->second.frequent = true;
  }
  grid.squares.reserve(bins.size());
  for (const auto& [k, s] : bins) {
    grid.squares.push_back(s);
    grid.maxvisits = std::max(grid.maxvisits, s.visits);
  }
  std::sort(grid.squares.begin(), grid.squares.end(), [](const heatsquare& a, const heatsquare& b) {
    return a.by != b.by ? a.by < b.by : a.bx < b.bx;
  });
  return grid;
}

}  // namespace cellfreq
