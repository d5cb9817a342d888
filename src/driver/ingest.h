// The configurable command's trace input: the TAB dialect or CSV, plain or
// gzip-compressed, in grid metres or in any coordinate reference system.
//
// Whatever the input, the run gets the same thing as from the fixed
// programs' reader: one record per visit with its object number and cell,
// so every later pass is shared. CSV rows become records in row order (or
// per object in time order), their text ids object numbers in order of
// first appearance.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "geo/crs.h"
#include "driver/options.h"
#include "driver/runconfig.h"
#include "trace/csvtrace.h"

namespace cellfreq {

class commandinput : public runextras {
public:
  explicit commandinput(const inputconfig& input) : input_(input) {}
  // Reads the rows of `columns` (which must outlive the input) instead of
  // the trace: text ids as a CSV trace's, number ids as the TAB dialect's
  // (input.csv then only says whether a CRS may be given, and the objects
  // must be given), through the same per-row checks, transform and
  // numbering as the CSV rows. Bad rows are named "columns:ROW".
  commandinput(const inputconfig& input, const csvcolumns& columns) : input_(input), columns_(&columns) {}
  result<void> read(runconfig& cfg, recordlist& list, std::FILE* err, const char* progname) override;
  const idtable* ids() const override { return texts() ? &ids_ : nullptr; }
  chunkedlist<double>* times() override { return unordered_ ? &times_ : nullptr; }
  geojsonlayer layer(const runconfig& cfg) const override;

  // What reading a part of a CSV trace found besides its records.
  struct csvpart {
    std::int64_t lines = 0;   // line feeds read
    bool clean = true;        // the part ended at a row's start
    std::int64_t bad = 0;     // bad rows, the first ten of them named
    std::vector<badrow> named;
    bool failed = false;      // strict mode met a bad row
    idtable ids;              // the part's own object numbers -> ids
    std::string gridcrs;      // the grid's CRS, when there is one
    bool chosen = false;      // chosen from the trace's first good row
  };
  // For a run in pieces: makes the coordinate transform with the grid CRS
  // `grid` (empty: the one given, or one to choose), as read() does.
  result<void> preparecrs(const std::string& grid);
  // Reads the rows of bytes [start, end) of the CSV trace `f` (a line start
  // each) into `list`, their times (with a time column) into `times`, and
  // their ids numbered by first appearance within the part; the header
  // and, for a grid CRS still to be chosen, the first good row come from
  // the trace's start. Bad rows are kept in `part`, not printed.
  result<void> readrange(const runconfig& cfg, std::FILE* f, std::int64_t start, std::int64_t end, recordlist& list,
                         chunkedlist<double>& times, csvpart& part);

private:
  // Whether the objects have text ids, numbered here.
  bool texts() const { return columns_ != nullptr ? columns_->textids != nullptr : input_.csv; }
  result<void> readcsv(runconfig& cfg, textin& in, recordlist& list, std::FILE* err, const char* progname,
                       const std::function<void()>& tick);
  result<void> readopened(csvreader& reader, runconfig& cfg, recordlist& list, std::FILE* err, const char* progname,
                          const std::function<void()>& tick);
  result<void> readrows(csvreader& reader, const runconfig& cfg, recordlist& list, std::FILE* err,
                        const char* progname, const std::function<void()>& tick = {});
  result<void> settlecounts(runconfig& cfg) const;
  // The CSV options, with a geographic --crs's degrees checked.
  csvoptions columns() const;

  inputconfig input_;
  const csvcolumns* columns_ = nullptr;
  idtable ids_;  // numbered as rows are kept, after their transform
  std::unique_ptr<crstransform> crs_;
  chunkedlist<double> times_;  // one per record, with a time column
  bool unordered_ = false;     // some object's records are not in time order
};

// Settles the object and user counts that a CSV trace of `distinct` ids
// decides: as many objects as distinct ids, in whole users, unless
// --objects was given; fails when they do not fit.
result<void> settleobjects(const inputconfig& input, std::int64_t distinct, runconfig& cfg);
// Whether a trace's name says it is gzipped: it ends in ".gz".
bool isgzipname(const std::string& path);
// How messages name the trace: its path, or "standard input".
std::string tracename(const runconfig& cfg);
// Prints the line that names a grid CRS chosen from the first position:
// the CSV ingest's, which a run in pieces repeats from its plan.
void print_grid_choice(std::FILE* err, const char* progname, const std::string& grid);

}  // namespace cellfreq
