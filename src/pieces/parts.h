// A run cut into pieces that any scheduler can run, on any number of
// machines that share a folder.
//
//   parse  a byte range of the trace into a part file: its records, grouped
//          by object, and the parser's state at the range's end;
//   plan   checks that the parts tile the trace and that each one begins
//          where the sequential parse would have been, re-parsing a pair of
//          ranges where that cannot be proved, and counts each user's
//          visits; prints ranges of users of about equal work;
//   merge  groups the parts' records of a range of users into that range's
//          cell-file lines, report and heat-map counts;
//   join   puts the merges together into the outputs the whole run gives.
//
// Every piece writes its files under new names and renames them into
// place, so a piece that is run twice, or stopped half-way and run again,
// leaves whole files only.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "driver/options.h"

namespace cellfreq {

// Runs the piece cl.piece of the run that `cl` describes; returns its exit
// status.
// The plan prints its user ranges "FIRST:LAST", one per line, on `out`; the
// join writes the report to `out` unless the run names a file for it.
int runpiece(const commandline& cl, std::FILE* out, std::FILE* err);

}  // namespace cellfreq
