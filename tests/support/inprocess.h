// The configurable command run inside the test process, so that tests can
// use the library's seams and see every output without spawning it.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

struct ran {
  int status = -1;
  std::string out, err;  // what the run wrote to its output and error streams
};

// Runs `cellfreq ARGS` (blank-separated words, none with blanks inside) as
// the command does, a piece when the arguments name one, with TMPDIR set to
// `tmp` for the run.
ran cellfreqhere(const std::string& args, const std::filesystem::path& tmp);

}  // namespace testsupport
