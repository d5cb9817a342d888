// cellfreq/results.h: what a run gives back, streamed to a sink or held as
// columns.
//
// The rows are those of the command's CSV report, in its order: every
// frequent visit (`cellfreq --format csv`), or every frequent cell of a
// user once with its visits (`--summary`). Cells are named by their column
// and row numbers, exactly, whatever their range.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cellfreq {

// Which results a run computes; what is not wanted costs nothing.
struct wanted {
  bool frequent = true;   // the frequent visits
  bool summary = false;   // the frequent cells per user with their visits
  bool visits = false;    // the visits of every cell
  bool ids = false;       // the id table
  bool map = false;       // the web map's HTML page (as `cellfreq --map`)
};

// What the run settled: the grid, the users and objects it analysed (the
// trace may decide them), and the grid's CRS as the GeoJSON layer names it
// (e.g. "EPSG:32631"; empty when positions are plain grid metres).
struct runinfo {
  double cell_size = 400;
  std::int32_t group_size = 10;
  std::int32_t users = 0;
  std::int32_t objects = 0;
  std::string grid_crs;
};

// Receives the results as the run makes them, on the thread that runs it:
// first the frequent visits and the summary rows user by user from user 0
// (a user's visits, then its summary rows), then the cells' visits, the map
// page, the ids, and finish(). Only the
// wanted ones are called. A sink that throws ends the run with that
// exception (outputs not committed, temporaries removed).
class sink {
public:
  virtual ~sink() = default;
  // User `user` visited cell (x, y) at `position` of its row of visits,
  // and the cell is frequent for the user.
  virtual void frequent(std::int32_t user, std::int32_t x, std::int32_t y, std::int64_t position);
  // Cell (x, y) is frequent for `user`, who visited it `visits` times; a
  // user's cells most visited first, equal counts by cell code.
  virtual void summary(std::int32_t user, std::int32_t x, std::int32_t y, std::int64_t visits);
  // Cell (x, y) was visited `visits` times by all objects; every visited
  // cell once, ascending by x, then y.
  virtual void visit(std::int32_t x, std::int32_t y, std::int64_t visits);
  // Object number `object` has id `id` (number ids: their decimal text).
  virtual void id(std::int64_t object, std::string_view id);
  // The web map's page.
  virtual void map(std::string&& page);
  // The run is complete.
  virtual void finish(const runinfo& info);
};

struct frequent_visits {
  std::vector<std::int32_t> user, x, y;
  std::vector<std::int64_t> position;
};
struct frequent_summary {
  std::vector<std::int32_t> user, x, y;
  std::vector<std::int64_t> visits;
};
struct cell_visits {
  std::vector<std::int32_t> x, y;
  std::vector<std::int64_t> visits;
};

// Every wanted result as columns (what is not wanted stays empty), and the
// warnings the run gave (see settings::message).
struct results {
  frequent_visits frequent;
  frequent_summary summary;
  cell_visits visits;
  std::vector<std::string> ids;  // object number -> id
  std::string map;
  runinfo info;
  std::vector<std::string> messages;
};

}  // namespace cellfreq
