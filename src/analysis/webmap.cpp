// Writing the web map's data block, and the page around it.
//
// Every number is an integer but the cell size, the lattice's metres
// (shortest form that reads back exactly) and its degrees (seven decimals,
// about a centimetre); a corner that did not project is null. Cells and
// squares are flat arrays of triples, squares relative to the grid's
// origin so that their numbers stay short.
#include "analysis/webmap.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

namespace cellfreq {

// The page's constant parts, made at build time (cmake/embedpage.cmake).
extern const std::string_view mappagehead[];
extern const std::size_t mappageheadsize;
extern const std::string_view mappagetail[];
extern const std::size_t mappagetailsize;

namespace {

// Bytes of data block that a user's ids and cells may take at most: an id
// escaped byte by byte, and a cell's triple and pair.
std::size_t usercost(const mapusers::user& u) {
  std::size_t n = 32;
  for (const std::string& id : u.ids) n += 6 * id.size() + 3;
  return n + 64 * u.cells.size();
}

// A JSON string that cannot end the script element holding it.
void putscriptstring(textout& out, std::string_view s) {
  std::string quoted;
  appendjson(quoted, s);
  for (const char c : quoted) {
    if (c == '<') out.put("\\u003c");
    else out.put(c);
  }
}

// v in its shortest exact form, or with at most `decimals` decimals and no
// trailing zeros; null when it is not finite.
void putnumber(textout& out, double v, int decimals = -1) {
  if (!std::isfinite(v)) {
    out.put("null");
    return;
  }
  char buf[400];
  char* end = decimals < 0 ? std::to_chars(buf, buf + sizeof buf, v).ptr
                           : std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals).ptr;
  std::string_view s(buf, static_cast<std::size_t>(end - buf));
  if (decimals >= 0 && s.find('.') != std::string_view::npos) {
    while (s.back() == '0') s.remove_suffix(1);
    if (s.back() == '.') s.remove_suffix(1);
  }
  out.put(s == "-0" ? "0" : s);
}

// ",\n"KEY":" before each key but the first.
void key(textout& out, std::string_view name, bool first = false) {
  out.put(first ? "{\"" : ",\n\"");
  out.put(name);
  out.put("\":");
}

template <class T, class F>
void array(textout& out, const std::vector<T>& items, F&& put) {
  out.put('[');
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out.put(',');
    put(items[i]);
  }
  out.put(']');
}

std::int32_t clamp32(std::int64_t v) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

// The lattice of projected points over the grid's squares, in metres:
// nodes `step` apart from the first square's low edge, at every square's
// corner while a side has at most 128 squares (so that those corners are
// exact), at every k-th beyond.
struct lattice {
  double x0 = 0, y0 = 0, stepx = 0, stepy = 0;
  std::size_t nx = 0, ny = 0;
};
void putlattice(textout& out, const heatgrid& grid, const geojsonlayer& layer) {
  const double s = layer.cellsize;
  const auto axis = [&](std::int64_t lo, std::int64_t hi, double& origin, double& step, std::size_t& n) {
    origin = celledges(clamp32(lo * grid.bin), s).first;
    const double end = celledges(clamp32((hi + 1) * grid.bin - 1), s).second;
    const std::int64_t k = (hi - lo + 1 + 127) / 128;
    step = static_cast<double>(k) * static_cast<double>(grid.bin) * s;
    n = std::max<std::size_t>(2, static_cast<std::size_t>(std::ceil((end - origin) / step)) + 1);
  };
  lattice l;
  axis(grid.bxmin, grid.bxmax, l.x0, l.stepx, l.nx);
  axis(grid.bymin, grid.bymax, l.y0, l.stepy, l.ny);
  std::vector<double> xs, ys;
  xs.reserve(l.nx * l.ny);
  ys.reserve(l.nx * l.ny);
  for (std::size_t j = 0; j < l.ny; ++j)
    for (std::size_t i = 0; i < l.nx; ++i) {
      xs.push_back(l.x0 + static_cast<double>(i) * l.stepx);
      ys.push_back(l.y0 + static_cast<double>(j) * l.stepy);
    }
  layer.project(xs.data(), ys.data(), xs.size());
  out.put("{\"x0\":");
  putnumber(out, l.x0);
  out.put(",\"y0\":");
  putnumber(out, l.y0);
  out.put(",\"step_x\":");
  putnumber(out, l.stepx);
  out.put(",\"step_y\":");
  putnumber(out, l.stepy);
  out.put(",\"nx\":");
  out.putint(static_cast<std::int64_t>(l.nx));
  out.put(",\"ny\":");
  out.putint(static_cast<std::int64_t>(l.ny));
  out.put(",\"lonlat\":[");
  for (std::size_t i = 0; i < xs.size(); ++i) {
    if (i != 0) out.put(',');
    putnumber(out, xs[i], 7);
    out.put(',');
    putnumber(out, ys[i], 7);
  }
  out.put("]}");
}

}  // namespace

void mapusers::add(const celltable& table, const std::vector<std::int64_t>& codecount, std::int32_t from,
                   std::int32_t to, std::int32_t threshold) {
  for (std::int32_t u = from; u < to; ++u) {
    std::vector<frequentcell> found =
        frequentcells(table, u, codecount[static_cast<std::size_t>(u)], threshold, counter_);
    if (found.empty()) continue;
    ++allusers_;
    allpairs_ += static_cast<std::int64_t>(found.size());
    if (full_) continue;
    user shown{u, {}, {}};
    if (ids_.ids != nullptr) {
      const auto own = ids_.ofuser(u);
      shown.ids.assign(own.begin(), own.end());
    } else {
      for (std::int64_t i = 0; i < ids_.groupsize; ++i)
        shown.ids.push_back(std::to_string(static_cast<std::int64_t>(u) * ids_.groupsize + i));
    }
    for (const frequentcell& c : found) shown.cells.emplace_back(c.where, c.visits);
    std::sort(shown.cells.begin(), shown.cells.end(), [](const auto& a, const auto& b) {
      return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    const std::size_t cost = usercost(shown);
    if (used_ + cost > budget_) {
      full_ = true;
      continue;
    }
    used_ += cost;
    shown_.push_back(std::move(shown));
  }
}

void writemapdata(const heatgrid& grid, const cellvisits& visits, const mapusers& users, const geojsonlayer& layer,
                  textout& out) {
  key(out, "grid_crs", true);
  if (layer.gridcrs.empty()) out.put("null");
  else putscriptstring(out, layer.gridcrs);
  key(out, "cell_size");
  putnumber(out, layer.cellsize);
  key(out, "bin");
  out.putint(grid.bin);
  key(out, "cells");
  out.putint(grid.cells);
  key(out, "visits");
  out.putint(grid.visits);
  key(out, "maxvisits");
  out.putint(grid.maxvisits);
  const std::vector<std::int64_t> levels = levelbounds(std::max<std::int64_t>(grid.maxvisits, 1));
  key(out, "levels");
  array(out, levels, [&](std::int64_t v) { out.putint(v); });
  key(out, "colours");
  out.put('[');
  for (std::size_t k = 0; k < levels.size(); ++k) {
    out.put(k == 0 ? "\"" : ",\"");
    out.put(shade(k, levels.size()));
    out.put('"');
  }
  out.put(']');
  key(out, "outline");
  out.put('"');
  out.put(outlinecolour);
  out.put('"');
  key(out, "origin");
  out.put('[');
  out.putint(grid.bxmin);
  out.put(',');
  out.putint(grid.bymin);
  out.put(']');
  key(out, "squares");
  array(out, grid.squares, [&](const heatsquare& s) {
    out.putint(s.bx - grid.bxmin);
    out.put(',');
    out.putint(s.by - grid.bymin);
    out.put(',');
    out.putint(s.visits);
  });
  key(out, "lattice");
  if (layer.project && !grid.squares.empty()) putlattice(out, grid, layer);
  else out.put("null");

  // The distinct frequent cells of the users shown, ascending, each with
  // all its visits; pairs name a user and a cell by their index.
  std::vector<cell> cells;
  for (const mapusers::user& u : users.shown())
    for (const auto& c : u.cells) cells.push_back(c.first);
  std::sort(cells.begin(), cells.end());
  cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
  key(out, "frequent");
  array(out, cells, [&](const cell& c) {
    out.putint(c.x);
    out.put(',');
    out.putint(c.y);
    out.put(',');
    out.putint(visits.of(c));
  });
  key(out, "users");
  array(out, users.shown(), [&](const mapusers::user& u) { out.putint(u.number); });
  key(out, "ids");
  array(out, users.shown(), [&](const mapusers::user& u) {
    array(out, u.ids, [&](const std::string& id) { putscriptstring(out, id); });
  });
  key(out, "pairs");
  out.put('[');
  bool first = true;
  for (std::size_t i = 0; i < users.shown().size(); ++i)
    for (const auto& [c, n] : users.shown()[i].cells) {
      if (!first) out.put(',');
      first = false;
      out.putint(static_cast<std::int64_t>(i));
      out.put(',');
      out.putint(std::lower_bound(cells.begin(), cells.end(), c) - cells.begin());
      out.put(',');
      out.putint(n);
    }
  out.put(']');
  key(out, "all_users");
  out.putint(users.allusers());
  key(out, "all_pairs");
  out.putint(users.allpairs());
  out.put("}");
}

void writemappage(const heatgrid& grid, const cellvisits& visits, const mapusers& users,
                  const geojsonlayer& layer, textout& out) {
  for (std::size_t i = 0; i < mappageheadsize; ++i) out.put(mappagehead[i]);
  writemapdata(grid, visits, users, layer, out);
  for (std::size_t i = 0; i < mappagetailsize; ++i) out.put(mappagetail[i]);
}

}  // namespace cellfreq
