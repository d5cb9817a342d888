// Parsing the command line, and --help, from one table of the options.
//
// Each option is written once, in the table: its name, its value, its help
// lines, its section of --help and what it does. The parse loop and --help
// only walk the table, so an option cannot be parsed without being listed,
// or listed without being parsed.
//
// Values are parsed strictly: a count is decimal digits only, a cell size a
// complete decimal number in the notation the trace itself uses; anything
// else is a usage error, never a silently different run.
#include "driver/options.h"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <utility>

#include "cells/celltable.h"
#include "trace/scan.h"

namespace cellfreq {

// The option being applied: its name as the table has it, its value, the
// command line it changes, and the two counts that are checked only once
// every option is known (--users against --objects, --objects against
// --group-size, whatever their order).
struct option_value {
  std::string_view name;
  std::string_view text;
  commandline& into;
  std::optional<std::string>& users;
  std::optional<std::string>& objects;
  std::string& error;

  // Fails with "invalid --NAME 'VALUE': expected WHAT".
  bool reject(std::string_view expected);
};

namespace {

// The pieces joined into one message. Built by appending: chains of
// operator+ on strings trip a false -Wrestrict warning in some compilers.
std::string concat(std::initializer_list<std::string_view> parts) {
  std::string s;
  for (const std::string_view p : parts) s.append(p);
  return s;
}

// "invalid --NAME 'VALUE': expected WHAT"
std::string invalid(std::string_view name, std::string_view value, std::string_view expected) {
  return concat({"invalid --", name, " '", value, "': expected ", expected});
}

// Decimal digits only, at most `limit`.
bool parse_count(std::string_view text, std::int64_t limit, std::int64_t& out) {
  if (text.empty()) return false;
  std::int64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > limit) return false;
  }
  out = v;
  return true;
}

// A size in bytes: decimal digits, optionally followed by K, M or G (powers
// of 1024), at least 1 byte and below 2^62.
bool parse_size(std::string_view text, std::int64_t& out) {
  int shift = 0;
  if (!text.empty()) {
    const char unit = text.back();
    shift = unit == 'K' || unit == 'k' ? 10 : unit == 'M' || unit == 'm' ? 20 : unit == 'G' || unit == 'g' ? 30 : 0;
    if (shift != 0) text.remove_suffix(1);
  }
  std::int64_t v = 0;
  if (!parse_count(text, (std::int64_t{1} << 62) >> shift, v) || v == 0) return false;
  out = v << shift;
  return true;
}

// "FIRST:LAST", two counts with FIRST < LAST.
bool parse_range(std::string_view text, std::int64_t limit, std::int64_t& first, std::int64_t& last) {
  const std::size_t colon = text.find(':');
  return colon != std::string_view::npos && parse_count(text.substr(0, colon), limit, first) &&
         parse_count(text.substr(colon + 1), limit, last) && first < last;
}

// ---- handlers shared by several options --------------------------------------

// A file the run writes (or, for --cell-file, writes and reads back).
template <std::string runconfig::*path>
bool set_file(option_value& v) {
  if (v.text.empty()) return v.reject("a file name");
  v.into.cfg.*path = v.text;
  return true;
}

// A CSV column, by header name or number; which it is, the reader decides.
template <std::string csvoptions::*column>
bool set_column(option_value& v) {
  if (v.text.empty()) return v.reject("a column name from the header, or a column number from 1");
  v.into.input.columns.*column = v.text;
  return true;
}

// A coordinate reference system, checked by the transform once the run
// starts (an unknown one is a usage error there).
template <std::string inputconfig::*crs>
bool set_crs(option_value& v) {
  if (v.text.empty()) return v.reject("a coordinate reference system, such as EPSG:4326");
  v.into.input.*crs = v.text;
  return true;
}

// The options that each run a piece but the last, "--place", for the
// messages that name them all.
constexpr std::string_view piece_options = "--parse-range, --plan, --merge-users, --join, --join-placed";

// Makes this run the piece `k`; a command line runs one piece at most
// (giving the same one twice is no conflict).
bool start_piece(option_value& v, piececonfig::kind k) {
  piececonfig& piece = v.into.piece;
  if (piece.what != piececonfig::kind::none && piece.what != k) {
    v.error = concat({piece_options, " and --place each run a piece of their own: give one"});
    return false;
  }
  piece.what = k;
  return true;
}

// A piece that works on the users FIRST … LAST-1.
template <piececonfig::kind k>
bool set_user_range(option_value& v) {
  if (!start_piece(v, k)) return false;
  if (!parse_range(v.text, max_objects, v.into.piece.first, v.into.piece.last))
    return v.reject("FIRST:LAST, user numbers with FIRST below LAST");
  return true;
}

// A piece that takes no value.
template <piececonfig::kind k>
bool set_piece(option_value& v) {
  return start_piece(v, k);
}

using group = option_group;
using piecekind = piececonfig::kind;

// ---- the table ----------------------------------------------------------------

// Every option of the command, in the order of --help. The help lines are
// wrapped by hand so that --help reads well in 80 columns.
constexpr option options[] = {
    // Input
    {"input-format", '\0', "F", group::input, "tab (default: the TAB dialect in grid metres) or csv",
     [](option_value& v) {
       if (v.text != "tab" && v.text != "csv") return v.reject("tab or csv");
       v.into.input.csv = v.text == "csv";
       return true;
     }},
    {"delimiter", '\0', "C", group::input, "CSV field delimiter (default ,; tab for a TAB)",
     [](option_value& v) {
       // A TAB is hard to type in a shell, so it has names too.
       const std::string_view t = v.text;
       const char d = t == "tab" || t == "TAB" || t == "\\t" ? '\t' : t.size() == 1 ? t[0] : '\0';
       if (d == '\0' || d == '"' || d == '\n' || d == '\r')
         return v.reject("one character other than a quote or a line break, or tab");
       v.into.input.columns.delimiter = d;
       return true;
     }},
    {"id-column", '\0', "C", group::input,
     "CSV column of the object id, by header name or\n"
     "number from 1 (default id); ids may be any text",
     set_column<&csvoptions::idcolumn>},
    {"x-column", '\0', "C", group::input, "CSV column of x or longitude (default x)", set_column<&csvoptions::xcolumn>},
    {"y-column", '\0', "C", group::input, "CSV column of y or latitude (default y)", set_column<&csvoptions::ycolumn>},
    {"time-column", '\0', "C", group::input,
     "order each object's visits by this CSV column:\n"
     "seconds, or ISO 8601 date-times (default: row order)",
     set_column<&csvoptions::timecolumn>},
    {"strict", '\0', "", group::input, "stop at the first bad CSV row (default: skip it)",
     [](option_value& v) {
       v.into.input.columns.strict = true;
       return true;
     }},
    {"crs", '\0', "CRS", group::input,
     "CRS of the CSV coordinates (EPSG:4326, EPSG:32632,\n"
     "a PROJ string); default: metres of the grid",
     set_crs<&inputconfig::crs>},
    {"grid-crs", '\0', "CRS", group::input,
     "metric CRS of the grid (default with a geographic\n"
     "--crs: the UTM zone of the first position)",
     set_crs<&inputconfig::gridcrs>},

    // Grid and users
    {"cell-size", '\0', "N", group::grid, "side of a grid cell in metres (default 400)",
     [](option_value& v) {
       float size = 0;
       if (!parsefloat(v.text, size) || !(size > 0) || !std::isfinite(size))
         return v.reject("a positive decimal number of metres, such as 400 or 12.5");
       v.into.cfg.cellsize = size;
       return true;
     }},
    {"cell-file", '\0', "PATH", group::grid,
     "write the cell file to PATH and keep it\n"
     "(default: a temporary file, removed at the end)",
     set_file<&runconfig::cellpath>},
    {"group-size", '\0', "N", group::grid, "consecutive objects that form one user (default 10)",
     [](option_value& v) {
       std::int64_t n = 0;
       if (!parse_count(v.text, max_objects, n) || n == 0)
         return v.reject("an integer from 1 to 10000000, the objects of one user");
       v.into.cfg.groupsize = static_cast<std::int32_t>(n);
       return true;
     }},
    {"objects", '\0', "N", group::grid,
     "object numbers 0 to N-1 are used, N a multiple of the\n"
     "group size (default 1000; CSV: the distinct ids)",
     [](option_value& v) {
       v.objects = std::string(v.text);
       v.into.input.objectsgiven = true;
       return true;
     }},
    {"users", '\0', "N", group::grid, "analyse users 0 to N-1 (default: all users)",
     [](option_value& v) {
       v.users = std::string(v.text);
       return true;
     }},
    {"threshold", '\0', "N", group::grid, "report a cell visited more than N times (default 3)",
     [](option_value& v) {
       std::int64_t n = 0;
       if (!parse_count(v.text, std::numeric_limits<std::int32_t>::max(), n))
         return v.reject("an integer from 0 to 2147483647");
       v.into.cfg.threshold = static_cast<std::int32_t>(n);
       return true;
     }},
    {"memory-limit", '\0', "SIZE", group::grid,
     "memory the run may use, in bytes or with K, M or G\n"
     "(default: a quarter of the physical memory or of the\n"
     "cgroup's limit if smaller, at least 256M); what does\n"
     "not fit goes to scratch files in TMPDIR",
     [](option_value& v) {
       if (!parse_size(v.text, v.into.cfg.memorylimit)) return v.reject("a number of bytes, optionally with K, M or G");
       return true;
     }},

    // Output
    {"output", 'o', "PATH", group::output, "write the report to PATH (default: standard output)",
     [](option_value& v) {
       if (v.text.empty()) return v.reject("a file name, or - for standard output");
       v.into.cfg.outputpath = v.text == "-" ? std::string() : std::string(v.text);
       return true;
     }},
    {"format", '\0', "FORMAT", group::output,
     "text (default), csv, json (one object per user) or\n"
     "geojson (one polygon per user and frequent cell)",
     [](option_value& v) {
       constexpr std::pair<std::string_view, reportformat> formats[] = {{"text", reportformat::text},
                                                                       {"csv", reportformat::csv},
                                                                       {"json", reportformat::json},
                                                                       {"geojson", reportformat::geojson}};
       for (const auto& [name, format] : formats)
         if (v.text == name) {
           v.into.cfg.style.format = format;
           return true;
         }
       return v.reject("text, csv, json or geojson");
     }},
    {"summary", '\0', "", group::output,
     "one line per user and frequent cell with its number\n"
     "of visits, most visited first",
     [](option_value& v) {
       v.into.cfg.style.summary = true;
       return true;
     }},
    {"heatmap", '\0', "PATH", group::output,
     "a heat map of all visits: GeoJSON when PATH ends in\n"
     ".geojson, otherwise SVG",
     set_file<&runconfig::heatmappath>},
    {"map", '\0', "PATH", group::output,
     "an interactive map of the visits and frequent cells:\n"
     "one HTML page that opens in a browser with no network\n"
     "(with --crs over OpenStreetMap tiles when online)",
     set_file<&runconfig::mappath>},
    {"id-map", '\0', "PATH", group::output, "write the object number to id table as CSV",
     set_file<&runconfig::idmappath>},
    {"progress", '\0', "", group::output, "show reading progress on standard error",
     [](option_value& v) {
       v.into.progress = true;
       return true;
     }},
    {"no-progress", '\0', "", group::output, "do not (the default unless it is a terminal)",
     [](option_value& v) {
       v.into.progress = false;
       return true;
     }},
    {"pause", '\0', "", group::output, "hand PAUSE to the command interpreter at the end",
     [](option_value& v) {
       v.into.pause = true;
       return true;
     }},

    // A run in pieces
    {"work", '\0', "DIR", group::pieces, "the folder of the pieces' files",
     [](option_value& v) {
       if (v.text.empty()) return v.reject("a folder that every piece of the run sees");
       v.into.piece.work = v.text;
       return true;
     }},
    {"parse-range", '\0', "A:B", group::pieces, "parse bytes A to B-1 of TRACE into a part file",
     [](option_value& v) {
       if (!start_piece(v, piecekind::parse)) return false;
       if (!parse_range(v.text, std::int64_t{1} << 62, v.into.piece.first, v.into.piece.last))
         return v.reject("FIRST:LAST, byte offsets with FIRST below LAST");
       return true;
     }},
    {"plan", '\0', "N", group::pieces,
     "check the parts, count the users' visits and print\n"
     "at most N ranges of users of about equal work,\n"
     "FIRST:LAST",
     [](option_value& v) {
       if (!start_piece(v, piecekind::plan)) return false;
       std::int64_t n = 0;
       if (!parse_count(v.text, 100000, n) || n == 0)
         return v.reject("the number of user ranges to print, from 1 to 100000");
       v.into.piece.merges = static_cast<std::int32_t>(n);
       return true;
     }},
    {"merge-users", '\0', "A:B", group::pieces, "group the visits of users A to B-1 from the parts",
     set_user_range<piecekind::merge>},
    {"join", '\0', "", group::pieces, "write the outputs from the merges", set_piece<piecekind::join>},
    {"join-placed", '\0', "", group::pieces,
     "the same, but leave the merges' text in a named report\n"
     "and cell file to --place pieces; put the outputs in\n"
     "place once a line 'commit' comes on standard input",
     set_piece<piecekind::joinplaced>},
    {"place", '\0', "A:B", group::pieces,
     "copy the text of the merge of users A to B-1 into the\n"
     "outputs that --join-placed prepared",
     set_user_range<piecekind::place>},

    // Information
    {"help", 'h', "", group::information, "show this help and exit",
     [](option_value& v) {
       v.into.what = commandline::action::help;
       return true;
     }},
    {"version", '\0', "", group::information, "show the version and exit",
     [](option_value& v) {
       v.into.what = commandline::action::version;
       return true;
     }},
};

// The sections of --help, in its order, each with its heading.
struct section {
  option_group group;
  std::string_view heading;
};
constexpr section sections[] = {
    {group::input, "Input:"},
    {group::grid, "Grid and users:"},
    {group::output, "Output:"},
    {group::pieces,
     "A run in pieces (for a cluster; all pieces get the same run options and\n"
     "see the folder DIR; the outputs are those of the whole run):"},
    {group::information, "Information:"},
};

// The option called `--name`, or none.
const option* find_long(std::string_view name) {
  for (const option& o : options)
    if (o.name == name) return &o;
  return nullptr;
}

// The option called `-letter`, or none.
const option* find_letter(char letter) {
  for (const option& o : options)
    if (o.letter != '\0' && o.letter == letter) return &o;
  return nullptr;
}

// Writes `text` through `out`, one line per '\n'-separated piece, the
// first after `first` and the others after `indent`.
void put_lines(textout& out, std::string_view first, std::string_view indent, std::string_view text) {
  std::string_view lead = first;
  for (;;) {
    const std::size_t nl = text.find('\n');
    out.put(lead);
    out.put(text.substr(0, nl));
    out.newline();
    if (nl == std::string_view::npos) return;
    text.remove_prefix(nl + 1);
    lead = indent;
  }
}

}  // namespace

bool option_value::reject(std::string_view expected) {
  error = invalid(name, text, expected);
  return false;
}

std::span<const option> option_table() { return options; }

runconfig defaultconfig() {
  runconfig cfg{.tracepath = stdin_path, .cellpath = {}};
  cfg.exactcells = true;
  return cfg;
}

namespace {

// parseoptions() into `result`, the table's handlers saying what is wrong
// in `error`, as they do.
bool parseinto(std::span<const std::string_view> args, commandline& result, std::string& error) {
  result = commandline{};
  result.cfg = defaultconfig();
  std::optional<std::string> usertext, objecttext;
  bool endofoptions = false, tracegiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    if (!endofoptions && a == "--") {
      endofoptions = true;
      continue;
    }
    if (endofoptions || a.size() < 2 || a[0] != '-') {
      if (tracegiven) {
        error = concat({"more than one trace given: '", a, "' (a run reads one trace)"});
        return false;
      }
      result.cfg.tracepath = a;
      tracegiven = true;
      continue;
    }
    const option* o = nullptr;
    std::optional<std::string_view> value;
    std::string shown;  // the option as the message names it
    if (a[1] == '-') {
      const std::size_t eq = a.find('=');
      const std::string_view name = a.substr(2, eq == std::string_view::npos ? std::string_view::npos : eq - 2);
      if (eq != std::string_view::npos) value = a.substr(eq + 1);
      o = find_long(name);
      shown = concat({"--", name});
    } else {
      // A one-letter option with a value may have it attached ("-oPATH");
      // one without stands alone, so "-hv" is no option.
      o = find_letter(a[1]);
      if (o != nullptr && a.size() > 2) {
        if (o->takes_value()) value = a.substr(2);
        else o = nullptr;
      }
      shown = a.substr(0, 2);
    }
    if (o == nullptr) {
      error = concat({"unknown option '", a, "'; 'cellfreq --help' lists the options"});
      return false;
    }
    if (!o->takes_value() && value) {
      error = concat({"option '", shown, "' takes no value"});
      return false;
    }
    if (o->takes_value() && !value) {
      if (i + 1 == args.size()) {
        error = concat({"option '", shown, "' needs a value"});
        return false;
      }
      value = args[++i];
    }
    option_value given{o->name, value.value_or(""), result, usertext, objecttext, error};
    if (!o->apply(given)) return false;
  }

  runconfig& cfg = result.cfg;
  const inputconfig& input = result.input;
  if ((result.piece.what != piececonfig::kind::none) != !result.piece.work.empty()) {
    if (result.piece.work.empty()) error = "a piece of a run needs --work, the folder of its part files";
    else error = concat({"--work needs a piece to run: ", piece_options, " or --place"});
    return false;
  }
  if (result.piece.what != piececonfig::kind::none && !cfg.mappath.empty()) {
    error = "--map is written by a whole run only, not by a run in pieces";
    return false;
  }
  if (!input.crs.empty() && !input.csv) {
    error = "--crs needs --input-format csv: the TAB dialect's coordinates are metres of the grid";
    return false;
  }
  if (!input.gridcrs.empty() && input.crs.empty()) {
    error = "--grid-crs needs --crs, the coordinate reference system of the input";
    return false;
  }
  if (input.csv && !input.objectsgiven) {
    // The trace decides how many objects there are; --users is checked then.
    cfg.nusers = 0;
    if (usertext) {
      std::int64_t n = 0;
      if (!parse_count(*usertext, max_objects, n) || n == 0) {
        error = invalid("users", *usertext, "an integer from 1 to 10000000");
        return false;
      }
      cfg.nusers = static_cast<std::int32_t>(n);
      result.input.usersgiven = true;
    }
    return true;
  }
  const std::string group = std::to_string(cfg.groupsize);
  if (objecttext) {
    std::int64_t n = 0;
    if (!parse_count(*objecttext, max_objects, n) || n == 0 || n % cfg.groupsize != 0) {
      error = invalid("objects", *objecttext, concat({"a multiple of ", group, " from ", group, " to 10000000"}));
      return false;
    }
    cfg.nobjects = static_cast<std::int32_t>(n);
  } else if (cfg.nobjects % cfg.groupsize != 0) {
    error = concat({"the ", std::to_string(cfg.nobjects), " objects are not whole users of --group-size ", group,
                    "; give --objects as a multiple of it"});
    return false;
  }
  const std::int32_t allusers = cfg.nobjects / cfg.groupsize;
  result.cfg.nusers = allusers;
  if (usertext) {
    std::int64_t n = 0;
    if (!parse_count(*usertext, allusers, n) || n == 0) {
      error = invalid("users", *usertext,
                      concat({"an integer from 1 to ", std::to_string(allusers), ", the number of users of ",
                              std::to_string(result.cfg.nobjects), " objects"}));
      return false;
    }
    result.cfg.nusers = static_cast<std::int32_t>(n);
  }
  return true;
}

}  // namespace

result<commandline> parseoptions(std::span<const std::string_view> args) {
  commandline cl;
  std::string error;
  if (!parseinto(args, cl, error)) return failure{error, 0, {}, status_usage, true};
  return cl;
}

void writehelp(textout& out) {
  static constexpr std::string_view usage =
      "Usage: cellfreq [OPTION]... [TRACE]\n"
      "Find the grid cells that users visit often in a trace of positions.\n"
      "TRACE is read from standard input when it is - or not given; a name\n"
      "ending in .gz, or standard input starting with gzip data, is decompressed.";
  static constexpr std::string_view status =
      "Exit status: 0 success, 1 input or output failure, 2 usage error,\n"
      "128 + N when ended by signal N (the old outputs stay, no temporaries).";
  // An option's name and value take the first 21 columns, its help the
  // rest; a longer name stands on a line of its own.
  constexpr std::size_t helpcolumn = 21;
  const std::string indent(helpcolumn, ' ');
  put_lines(out, "", "", usage);
  for (const section& s : sections) {
    out.newline();
    put_lines(out, "", "", s.heading);
    for (const option& o : options) {
      if (o.group != s.group) continue;
      std::string label = "  ";
      if (o.letter != '\0') label.append({'-', o.letter, ',', ' '});
      label.append(concat({"--", o.name, o.takes_value() ? " " : "", o.value}));
      if (label.size() + 2 > helpcolumn) {
        put_lines(out, "", "", label);
        label.clear();
      }
      label.resize(helpcolumn, ' ');
      put_lines(out, label, indent, o.help);
    }
  }
  out.newline();
  put_lines(out, "", "", status);
}

}  // namespace cellfreq
