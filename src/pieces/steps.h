// The steps of a run in pieces (parts.h), each in a file of its own, and
// what they share: the names of the files in the work folder, the run's
// fingerprint, and the reading of parts and of the plan.
//
// Every piece takes the fingerprint of its own run (the options and the
// trace as it is now) and meets every file it reads with it, so that pieces
// of other runs, of another trace, or of this trace before it changed, stop
// the run with the difference named.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "driver/ingest.h"
#include "driver/options.h"
#include "pieces/partfiles.h"

namespace cellfreq {

// The files of the work folder `work`: a part of the range from `start`,
// the plan, a merge's files (`ext` ".cells", ".report" or ".heat"), the
// placement file and a merge's mark of being placed.
std::string part_name(const std::string& work, std::int64_t start);
std::string plan_name(const std::string& work);
std::string merge_name(const std::string& work, std::int64_t first, const char* ext);
std::string places_name(const std::string& work);
std::string placed_name(const std::string& work, std::int64_t first);

// The fingerprint of the run `cl` on its trace, open as `f`.
result<fingerprint> fingerprint_of(const commandline& cl, std::FILE* f);
// The same for a piece that reads nothing else of the trace.
result<fingerprint> fingerprint_now(const commandline& cl);

// The highest object number (plus one) that a part's index may hold: a TAB
// part's are the run's, a CSV part's its own, checked against its ids.
std::int32_t object_limit(const commandline& cl, const runconfig& cfg);

// Reads the part file `path`, all of it, into `p`.
result<void> read_part(const commandline& cl, const fingerprint& fp, const std::string& path, partinfo& p);

// Takes the run's fingerprint, loads the plan and settles what it decided:
// the objects and users of a CSV trace, and the grid CRS of its coordinates.
result<void> start_from_plan(const commandline& cl, commandinput& input, runconfig& cfg, fingerprint& fp, plan& p);

// Parses [start, end) of the trace `f` from `state` (TAB) and writes the
// part file `path` (see writepart.cpp); with a `tailpath`, a TAB range
// that ends where the parse cannot be resumed may be written as two parts,
// and `split` tells whether it was.
result<void> write_part(const runconfig& cfg, commandinput& input, bool csv, std::FILE* f, const fingerprint& fp,
                        std::int64_t start, std::int64_t end, parsestate state, const std::string& path,
                        const std::string& tailpath = {}, bool* split = nullptr);

// A piece's exit status from its outcome `done`: a failure is printed as
// the one line "cellfreq: what: reason" on `err`.
int piece_status(const result<void>& done, std::FILE* err);

// The pieces, each returning its exit status; `err` receives the one line
// of a failure. The plan prints its ranges on `out`, and the join the
// report when the run names no file for it; `placed` is --join-placed.
int parse_piece(const commandline& cl, commandinput& input, std::FILE* err);
int plan_piece(const commandline& cl, commandinput& input, std::FILE* out, std::FILE* err);
int merge_piece(const commandline& cl, commandinput& input, std::FILE* err);
int join_piece(const commandline& cl, commandinput& input, std::FILE* out, std::FILE* err, bool placed);
int place_piece(const commandline& cl, std::FILE* err);

}  // namespace cellfreq
