// The web map (cellfreq --map): one HTML page that holds everything it
// needs, the map library included, and draws the visited cells shaded by
// their visits, the analysed users' frequent cells outlined, a user picker
// and a popup per cell.
//
// The page's constant parts are made at build time (cmake/embedpage.cmake
// from webmap.html); the program writes only the data block between them,
// as flat arrays of numbers in one JSON object. The visits are merged into
// bins as the SVG heat map merges them, within maplimits, and the users'
// frequent cells are kept up to a byte budget, so that the page stays
// under 10 MB for any trace; the page says what it left out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "analysis/formats.h"
#include "analysis/geojson.h"
#include "analysis/heatmap.h"
#include "io/textout.h"

namespace cellfreq {

// The most squares and the longest side, in bins, that a map draws: a
// canvas draws a few hundred thousand squares smoothly, and at most some
// 24 bytes of data each they leave room for the users' part within 10 MB.
inline constexpr heatlimits maplimits{200000, 1000};
// The bytes of the users' frequent cells that a map holds at most.
inline constexpr std::size_t mapuserbytes = std::size_t{3} << 20;

// The frequent cells of the analysed users as the map shows them: for each
// user, in order from user 0, its ids and its frequent cells with their
// visits by that user, most visited first. Users are kept while their data
// fits the budget; from the first that does not, users are only counted.
class mapusers {
public:
  struct user {
    std::int32_t number = 0;
    std::vector<std::string> ids;  // the objects' ids, or their numbers when the trace has none
    std::vector<std::pair<cell, std::int64_t>> cells;
  };

  explicit mapusers(const objectids& ids, std::size_t budget = mapuserbytes) : ids_(ids), budget_(budget) {}
  // Adds users from … to-1, whose rows `table` holds, as the report counts
  // their frequent cells.
  void add(const celltable& table, const std::vector<std::int64_t>& codecount, std::int32_t from, std::int32_t to,
           std::int32_t threshold);

  const std::vector<user>& shown() const { return shown_; }
  // The users with frequent cells, and their (user, cell) pairs, shown or not.
  std::int64_t allusers() const { return allusers_; }
  std::int64_t allpairs() const { return allpairs_; }

private:
  objectids ids_;
  std::size_t budget_;
  std::size_t used_ = 0;
  bool full_ = false;
  freqcounter counter_;
  std::vector<user> shown_;
  std::int64_t allusers_ = 0, allpairs_ = 0;
};

// Writes the page's data block: the JSON object that the page's script
// draws from (see webmap.html for how it reads it). `grid` is the visits
// aggregated within maplimits; `layer` gives the cell size and, when it
// projects, the grid CRS whose lattice of projected points lets the page
// place cells in longitude/latitude. Text that could end the script
// element ('<') is escaped.
void writemapdata(const heatgrid& grid, const cellvisits& visits, const mapusers& users, const geojsonlayer& layer,
                  textout& out);

// Writes the whole page: its constant head, the data block, its tail.
void writemappage(const heatgrid& grid, const cellvisits& visits, const mapusers& users,
                  const geojsonlayer& layer, textout& out);

}  // namespace cellfreq
