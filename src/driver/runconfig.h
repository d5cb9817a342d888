// The run configuration and the pass sequence that every program runs.
//
// A run reads the trace into the record list, writes the cell file, finds the
// largest count among the analysed users, reads the cell file back into the
// cell table and prints the report. It keeps within a budget of memory:
// records that do not fit move to scratch files, the cell file is written
// a range of objects at a time and read back a range of users at a time,
// with the same outputs as a run in memory. The three fixed programs differ only in
// their configuration; every failure ends the run with a message and status
// 1 instead of going on with missing or damaged data.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "analysis/formats.h"
#include "analysis/webmap.h"
#include "io/result.h"
#include "trace/recordlist.h"

namespace cellfreq {

// The trace path that stands for standard input.
inline constexpr const char* stdin_path = "-";

struct runconfig {
  std::string tracepath;        // trace to read; stdin_path reads standard input
  std::string cellpath;         // cell file written and read back; empty: a temporary file
  float cellsize = 400.0f;      // divisor from coordinate to cell number
  std::int32_t nusers = 100;    // users analysed, from user 0
  std::int32_t threshold = 3;   // a visit is reported when its count exceeds this
  std::int32_t nobjects = 1000; // object ids 0 … nobjects-1 are written (10 per user)
  // The fixed programs leave everything below at its default.
  std::string outputpath{};     // report file; empty: the stream given to run()
  reportstyle style{};          // text, csv or json; per visit or summary
  std::string heatmappath{};    // heat map of the visits, SVG or GeoJSON by its name; empty: none
  std::string mappath{};        // web map (HTML) of the visits and frequent cells; empty: none
  bool progress = false;        // progress line on the error stream while reading
  std::int32_t groupsize = objects_per_user;  // consecutive objects that form a user
  bool exactcells = false;      // name every cell exactly, beyond the fixed programs' code range
  std::string idmappath{};      // object number -> id table (CSV); empty: none
  bool replacecells = false;    // a configured cell file is replaced when complete, not written in place
  std::int64_t memorylimit = 0; // bytes of memory the run may use; 0: a quarter of the physical memory
  // For a run inside another program. When `stop` is set (from any thread),
  // the passes end within a fraction of a second: the run fails with
  // ECANCELED and leaves no temporaries and no outputs.
  const std::atomic<bool>* stop = nullptr;
  // Set: the progress goes here (bytes or rows done, their total or -1)
  // instead of a line on the error stream, at most five times a second.
  std::function<void(std::int64_t done, std::int64_t total)> onprogress{};
  // Set: the trace read for stdin_path instead of standard input (not closed).
  std::FILE* tracestream = nullptr;
};

// Whether `cfg`'s run was asked to stop.
inline bool stopped(const runconfig& cfg) { return cfg.stop != nullptr && cfg.stop->load(std::memory_order_relaxed); }

// Where a run inside another program puts its results instead of the
// report: the passes hand on what the report would be made of.
class runsink {
public:
  virtual ~runsink() = default;
  // Whether the visits per cell (and so visits()) are wanted.
  virtual bool wantsvisits() const = 0;
  // Whether the web map's page (and so mappage()) is wanted.
  virtual bool wantsmap() const = 0;
  // The users from … to-1, whose rows `table` holds, in ascending ranges
  // from user 0 (instead of the report).
  virtual void users(const celltable& table, const std::vector<std::int64_t>& codecount, std::int32_t from,
                     std::int32_t to, std::int32_t threshold) = 0;
  // After the last users: the configuration as the trace settled it, the
  // visits per cell (when wanted) and the web map's page (when wanted;
  // empty otherwise).
  virtual void finish(const runconfig& cfg, const cellvisits& visits, std::string&& mappage) = 0;
};

// What the configurable command adds to a run: its own ways of reading a
// trace (other formats, coordinate systems, compressed input) and what the
// outputs then need to know. The fixed programs run without it.
class runextras {
public:
  virtual ~runextras() = default;
  // Reads the whole trace into `list` (empty), the way readtracefile()
  // does for the TAB dialect; may settle `cfg`'s object and user counts,
  // which can depend on the trace.
  virtual result<void> read(runconfig& cfg, recordlist& list, std::FILE* err, const char* progname) = 0;
  // The objects' own ids, when the trace had text ids; null otherwise.
  virtual const idtable* ids() const = 0;
  // The times by which each object's records are still to be ordered, one
  // per record of the list read; null when the trace had none or had every
  // object's records in time order already.
  virtual chunkedlist<double>* times() = 0;
  // The grid's CRS and how its metres map to longitude/latitude.
  virtual geojsonlayer layer(const runconfig& cfg) const = 0;
  // Where the results go instead of the report; null: the report.
  virtual runsink* sink() { return nullptr; }
};

// The fixed programs' configurations.
runconfig config400();
runconfig config100();
runconfig config300();

// Runs the pass sequence with `cfg`, printing the report to `report` (opened
// in binary mode) unless `cfg.outputpath` names a file, and writing the heat
// map last when asked for. A temporary cell file is removed at the end,
// whatever the outcome, and by a signal that ends the run once the front
// end has called catch_signals() (platform/signals.h). A failure prints one
// line "PROG: what: reason" on `err` and returns status_failed; otherwise
// returns status_ok.
//
// With `extras`, the trace is read by extras->read() and the outputs carry
// what it found (ids, the grid's CRS); with extras->sink(), the results go
// there instead of the report.
int run(const runconfig& cfg, std::FILE* report, std::FILE* err, const char* progname, runextras* extras = nullptr);
// run() without printing its failure. `err` still receives the warnings
// (bad rows, a chosen grid CRS, the progress line).
result<void> runpasses(const runconfig& cfg, std::FILE* report, std::FILE* err, const char* progname,
                       runextras* extras);
// The message of `fail` as run() prints it after "PROG: ": "what: reason".
std::string failuretext(const failure& fail);

// The read pass's pieces, for readers of other trace formats. opentrace()
// opens the trace (binary mode; standard input for stdin_path). readtab()
// reads an open TAB-dialect trace into `list` (on two threads when it is a
// regular file). regularsize() is the size of a regular file, -1 for
// anything else. closetrace() closes it (never standard input) and fails
// with a read error `errnum` (0: none), or when a regular file's size is no
// longer `startsize` (the size when the reading began): a trace changed
// while it was read; cannotread() is the start of that message.
result<std::FILE*> opentrace(const runconfig& cfg);
result<void> readtab(const runconfig& cfg, std::FILE* f, recordlist& list, std::FILE* err, const char* progname);
std::int64_t regularsize(std::FILE* f);
result<void> closetrace(const runconfig& cfg, std::FILE* f, std::int64_t startsize, int errnum);
std::string cannotread(const runconfig& cfg);

// Whether a heat map at `path` is a GeoJSON layer (by its name) or SVG.
bool isgeojson(const std::string& path);

// 'PATH', as messages name a file.
std::string inquotes(const std::string& path);
// "cannot VERB NOUN 'PATH'", the start of a message about a file.
std::string cannot(const char* verb, const char* noun, const std::string& path);
// A scratch file's failure `errnum`, if any, as the run's failure:
// "cannot spill records to folder 'TMPDIR'".
result<void> spillok(int errnum);
// The outputs below go into `outputs`, to be committed with the run's
// others, or when it is null are put in place at once.
class outputset;
// The heat map of `visits` at cfg.heatmappath, if any: a GeoJSON layer of
// every cell or an SVG picture with the `frequent` cells outlined.
result<void> writeheatmap(const runconfig& cfg, const cellvisits& visits, const std::vector<cell>& frequent,
                          const geojsonlayer& layer, outputset* outputs = nullptr);
// The web map at cfg.mappath, if any: one HTML page of the `visits`, the
// frequent cells of `users` and, through `layer`, the grid's CRS.
result<void> writemap(const runconfig& cfg, const cellvisits& visits, const mapusers& users,
                      const geojsonlayer& layer, outputset* outputs = nullptr);
// The object number -> id table at cfg.idmappath, if any: "object,id",
// then one row per id.
result<void> writeidmapfile(const runconfig& cfg, const objectids& ids, outputset* outputs = nullptr);

// Prints `fail` as run() does, "PROG: what: reason", and returns its status.
int reportfailure(const failure& fail, std::FILE* err, const char* progname);

// Replaces `path` with a complete file written through write(), or leaves
// it as it was; a failure names the file as `noun`.
result<void> replacefile(const std::string& path, const char* noun, const std::function<void(textout&)>& write);
// Writes `path` through write() into `outputs` or, when it is null,
// replaces it at once, as replacefile() does.
result<void> writeoutput(outputset* outputs, const std::string& path, const char* noun,
                         const std::function<void(textout&)>& write);
// Writes the report through write() to cfg.outputpath (replaced when
// complete) or, when none is set, to `report`.
result<void> writereport(const runconfig& cfg, std::FILE* report, const std::function<void(textout&)>& write,
                         outputset* outputs = nullptr);

// Makes the standard streams safe to use: on POSIX systems a closed
// descriptor 0, 1 or 2 is taken by a placeholder so that no file opened
// later can land on it (a report would otherwise go into the cell file);
// writing to a closed standard output then fails and is reported. On Windows
// standard output is switched to binary mode, since line ends are written
// explicitly.
void prepare_standard_streams();

// Flushes standard output, so that a redirected report stands before the
// prompt, and hands "PAUSE" to the command interpreter, ignoring its answer.
void pause();

// The whole life of a fixed program: run() on standard output, then pause()
// whatever the outcome (so that a window opened for the program stays
// readable), and return the run's status.
int runfixed(const runconfig& cfg, const char* progname);

}  // namespace cellfreq
