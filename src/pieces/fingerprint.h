// What binds a piece file to its run: the options that change any output,
// and the identity of the trace.
//
// Every piece computes the fingerprint of its own run and puts it at the
// start of each file it writes; every piece that reads a file compares the
// file's with its own and names the first difference, so that parts of
// another trace, or a plan made with another --group-size, stop the run
// instead of mixing into its outputs. Options that change no output (paths
// of outputs, --memory-limit, --progress, the piece and its range) are left
// out, so every piece of one run has the same fingerprint.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/options.h"
#include "pieces/piecefile.h"

namespace cellfreq {

// The trace's identity: its size, its modification time and the CRC-32 of
// its first 64 KiB followed by its last 64 KiB (those of the first left out).
struct traceidentity {
  std::int64_t size = 0;
  std::int64_t mtime = 0;  // nanoseconds since the epoch
  std::uint32_t hash = 0;
  friend bool operator==(const traceidentity&, const traceidentity&) = default;
};

// The identity of the open trace `f`, or the system's failure when it
// cannot be read. Moves the file's position.
result<traceidentity> identifytrace(std::FILE* f);

// One option as a fingerprint holds it: whether the run gave it (or has it
// by default), and its value.
struct runoption {
  std::string name;   // as the command line names it, "--cell-size"
  bool given = false;
  std::string value;  // empty for an option without a value
  friend bool operator==(const runoption&, const runoption&) = default;
};

struct fingerprint {
  std::vector<runoption> options;
  traceidentity trace;
};

// The fingerprint of the run that `cl` describes, on the trace `trace`.
fingerprint runfingerprint(const commandline& cl, const traceidentity& trace);

// Puts `fp` into a piece file, after its kind and version.
void putfingerprint(pieceout& out, const fingerprint& fp);
// Reads the fingerprint that a piece file holds, checking its form.
bool getfingerprint(piecein& in, fingerprint& fp);
// Reads the file's fingerprint and compares it with the run's `run`: the
// file failed at the first difference, as
// "part file 'PATH' is from a run with --cell-size 300; this run has 400".
result<void> checkfingerprint(piecein& in, const fingerprint& run);

}  // namespace cellfreq
