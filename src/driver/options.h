// The configurable command's command line, parsed into a run configuration.
//
// The syntax is the usual one of command-line tools: long options as
// "--name value" or "--name=value", "-o PATH" or "-oPATH", "--" ending the
// options, and "-" as a name for standard input. Every value is checked
// here, so a run never starts with a configuration it cannot honour.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "driver/runconfig.h"
#include "trace/csvtrace.h"
#include "io/textout.h"

namespace cellfreq {

inline constexpr std::int32_t max_objects = 10'000'000;

// How the command reads its trace: the TAB dialect or CSV, and in which
// coordinate reference systems.
struct inputconfig {
  bool csv = false;
  csvoptions columns;
  std::string crs;      // CRS of the input coordinates; empty: metres of the grid
  std::string gridcrs;  // CRS of the grid; empty: chosen from the input
  bool objectsgiven = false;  // --objects was given, so the trace does not decide it
  bool usersgiven = false;
};

// One piece of a run cut into pieces (see pieces/parts.h).
struct piececonfig {
  enum class kind { none, parse, plan, merge, join, joinplaced, place };
  kind what = kind::none;
  std::string work;            // the shared folder of the part files
  std::int64_t first = 0;      // parse: bytes first … last-1; merge, place: users
  std::int64_t last = 0;
  std::int32_t merges = 1;     // plan: how many user ranges to print
};

struct commandline {
  enum class action { run, help, version };
  action what = action::run;
  runconfig cfg;
  inputconfig input;
  bool pause = false;
  std::optional<bool> progress;  // unset: show it when standard error is a terminal
  piececonfig piece;
};

// The configuration used when no option is given: the trace from standard
// input, a temporary cell file, 400 m cells, 1000 objects, all 100 users
// analysed, threshold 3, the text report on standard output, every cell
// named exactly.
runconfig defaultconfig();

// The sections of --help, in the order it lists them.
enum class option_group { input, grid, output, pieces, information };

// An option's value as the command line gives it, and the command line it
// goes into (defined with the table).
struct option_value;

// Applies an option's value; false with the usage error set.
using option_handler = bool (*)(option_value&);

// One option of the command. Everything about an option is written in its
// entry of the table, once: how it is called, what value it takes, how
// --help lists it and what it does to the configuration.
struct option {
  std::string_view name;      // the long name, without "--"
  char letter;                // the one-letter name ("-o"), or '\0'
  std::string_view value;     // the placeholder of its value in --help; empty: it takes none
  option_group group;
  std::string_view help;      // its lines in --help, separated by '\n'
  option_handler apply;
  bool takes_value() const { return !value.empty(); }
};

// Every option, in the order of --help.
std::span<const option> option_table();

// Parses `args` (the arguments after the program name). A usage error
// fails it with the usage status and one whole line (without the program
// name) that says what is wrong and, for a bad value, what is accepted.
result<commandline> parseoptions(std::span<const std::string_view> args);

// Writes the --help text, made from the option table, one line per line,
// through `out`.
void writehelp(textout& out);

}  // namespace cellfreq
