// The run configuration and the pass sequence that every program runs.
//
// A run reads the trace into the record list, writes the cell file, finds the
// largest count among the analysed users, reads the cell file back into the
// cell table and prints the report. The three fixed programs differ only in
// their configuration; every failure ends the run with a message and status
// 1 instead of going on with missing or damaged data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace cellfreq {

struct runconfig {
  std::string tracepath;        // trace to read
  std::string cellpath;         // cell file written and read back
  float cellsize = 400.0f;      // divisor from coordinate to cell number
  std::int32_t nusers = 100;    // users analysed, from user 0
  std::int32_t threshold = 3;   // a visit is reported when its count exceeds this
  std::int32_t nobjects = 1000; // object ids 0 … nobjects-1 are written (10 per user)
};

// The fixed programs' configurations.
runconfig config400();
runconfig config100();
runconfig config300();

// Exit statuses of a run.
inline constexpr int status_ok = 0;
inline constexpr int status_failed = 1;

// Runs the pass sequence with `cfg`, printing the report to `report` (opened
// in binary mode). A failure prints one line "PROG: what: reason" on `err`
// and returns status_failed; otherwise returns status_ok.
int run(const runconfig& cfg, std::FILE* report, std::FILE* err, const char* progname);

// Makes the standard streams safe to use: on POSIX systems a closed
// descriptor 0, 1 or 2 is taken by a placeholder so that no file opened
// later can land on it (a report would otherwise go into the cell file);
// writing to a closed standard output then fails and is reported. On Windows
// standard output is switched to binary mode, since line ends are written
// explicitly.
void prepare_standard_streams();

// The whole life of a fixed program: run() on standard output, flush it, hand
// "PAUSE" to the command interpreter whatever the outcome (so that a window
// opened for the program stays readable), and return the run's status.
int runfixed(const runconfig& cfg, const char* progname);

}  // namespace cellfreq
