// cellfreq/input.h: where a run takes its positions from.
//
// A trace file or stream in the command line's formats, or columns that the
// caller holds in memory and that the run reads in place, without a copy.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace cellfreq {

// The TAB dialect (the fixed programs' trace, in grid metres) or CSV with a
// header row (columns chosen by cellfreq::settings).
enum class trace_format { tab, csv };

// A trace file, gzip-compressed when its name ends in ".gz". A file that
// cannot be opened or read fails the run with an input_output error naming
// it and the system's reason.
struct trace_file {
  std::string path;
  trace_format format = trace_format::tab;
};

// A trace read from an open stream (binary mode, left open), gzip data
// recognised by its first bytes where the stream can seek. Messages name it
// "standard input".
struct trace_stream {
  std::FILE* stream = nullptr;
  trace_format format = trace_format::tab;
};

// One row per position, all spans of the same length (else a usage error).
// - ids as numbers ARE the object numbers, as in the TAB dialect (numbers
//   outside 0 … objects-1 are read and never analysed); ids as text are
//   numbered by first appearance, as a CSV trace's are, and their table is
//   one of the results.
// - x and y: in the grid's metres, or in settings::crs when it is given.
//   With number ids and no CRS the rows are taken in the TAB dialect's
//   terms: coordinates in single precision, and after the last row the
//   zero-filled record (object 0, cell 0,0) that the TAB reader adds after
//   a trace's last line end. Otherwise they are taken as CSV rows are, in
//   double precision.
// - time: empty, or seconds per row; each object's rows are then taken in
//   the order of their times (equal times in row order), as a CSV trace's.
// A row whose text id is empty, or whose coordinate or time is not finite,
// or (in degrees) outside -180…180 / -90…90, or outside the CRS's area, is
// skipped with a warning "columns:ROW: reason" (ROW from 1), as a bad CSV
// row is.
struct columns {
  std::variant<std::span<const std::int64_t>, std::span<const std::string_view>> ids;
  std::variant<std::span<const double>, std::span<const float>> x;
  std::variant<std::span<const double>, std::span<const float>> y;
  std::span<const double> time;
};

using input = std::variant<trace_file, trace_stream, columns>;

}  // namespace cellfreq
