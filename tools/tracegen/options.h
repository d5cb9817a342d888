// options: the generator's command line. Every value is checked in full (a
// number is digits only, in range); the first fault ends the parse, with
// its message and the usage on standard error and exit status 2.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tracegen {

enum class trace_format { tab, csv_degrees, csv_metres };

struct options {
  std::uint64_t seed = 1;
  std::uint32_t objects = 1000;
  std::uint64_t steps = 20;
  std::uint64_t bytes = 0;  // 0: `steps` steps; else steps until this many bytes
  trace_format format = trace_format::tab;
  bool gzip = false;
  std::string path;  // empty: standard output
};

// What the command line asks for: a run with `run`, or, without one, an
// exit with `status` once the help (0) or a usage error (2) is printed.
struct command {
  std::optional<options> run;
  int status = 0;
};

command parse_command_line(int argc, char** argv);

}  // namespace tracegen
