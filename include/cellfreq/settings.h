// cellfreq/settings.h: what a run of the analysis is asked to do.
//
// Every field has the command line's default; a run checks them all before
// it reads anything and refuses a bad one with a usage error whose message
// is the command's (see cellfreq/error.h).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace cellfreq {

struct settings {
  // The grid: the side of a cell in the grid's metres (--cell-size).
  double cell_size = 400;
  // Consecutive object numbers that form one user (--group-size).
  std::int32_t group_size = 10;
  // A visit is frequent when its cell occurs more than this often among the
  // user's visits (--threshold).
  std::int32_t threshold = 3;
  // Users analysed, from user 0 (--users); unset: all of them.
  std::optional<std::int32_t> users;
  // Object numbers 0 … objects-1 are used, a multiple of group_size
  // (--objects); unset: 1000 for a TAB trace or number ids, as many as the
  // distinct text ids (in whole users) for a CSV trace or text ids.
  std::optional<std::int32_t> objects;
  // Bytes of memory the run may use (--memory-limit); 0: a quarter of the
  // physical memory or of the container's limit.
  std::int64_t memory_limit = 0;
  // The CRS of the input's coordinates, e.g. "EPSG:4326" (--crs); empty:
  // they are the grid's metres. Needs a CSV trace or columns.
  std::string crs;
  // The metric CRS of the grid (--grid-crs); empty with a geographic `crs`:
  // the UTM zone of the first position.
  std::string grid_crs;
  // Where the cell file is written (--cell-file), replaced only once the
  // run succeeds; empty: a temporary that leaves nothing behind.
  std::string cell_file;

  // A CSV trace's columns (names or 1-based numbers) and delimiter; the
  // time column is optional (empty: none).
  std::string id_column = "id";
  std::string x_column = "x";
  std::string y_column = "y";
  std::string time_column;
  char delimiter = ',';

  // Called while the trace is read, from one of the run's threads (not at
  // once from two), at most five times a second and once at the end: bytes
  // (of a file or stream) or rows (of columns) done, and their total or -1
  // when unknown.
  std::function<void(std::int64_t done, std::int64_t total)> progress;
  // Called after the run, on the thread that ran it, with each warning the
  // command would print on its error stream (without "cellfreq: "): bad
  // rows, a grid CRS chosen. Unset: warnings are dropped.
  std::function<void(const std::string& line)> message;
};

}  // namespace cellfreq
