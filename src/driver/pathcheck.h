// The paths of a run that must never meet: no output may name the trace or
// another output, checked before any work, so that a run never destroys
// its own input or loses one output under another.
#pragma once

#include <string>
#include <vector>

#include "io/result.h"

namespace cellfreq {

// One output of a run, as its option names it.
struct namedpath {
  const char* option;  // "--output", "--cell-file", ...
  std::string path;
};

// Whether `outputs` name the trace (`trace`, which may be "-" for standard
// input) or each other, by identity: device and inode where the file
// exists, the path with its links resolved otherwise; one of the process's
// own descriptors (/dev/stdout) is the file open there. A character
// device (a terminal, the null device) may be named any number of times.
// Fails with the usage status and one whole line naming both options.
result<void> distinctpaths(const std::string& trace, const std::vector<namedpath>& outputs);

}  // namespace cellfreq
