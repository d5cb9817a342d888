// Parsing the command line.
//
// Values are parsed strictly: a count is decimal digits only, a cell size a
// complete decimal number in the notation the trace itself uses; anything
// else is a usage error, never a silently different run.
#include "driver/options.h"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>

#include "cells/celltable.h"
#include "trace/scan.h"

namespace cellfreq {
namespace {

enum class opt { cellsize, cellfile, objects, users, threshold, output, format, summary, heatmap,
                 progress, noprogress, pause, help, version, inputformat, delimiter, idcolumn, xcolumn, ycolumn,
                 timecolumn, strict, groupsize, idmap, crs, gridcrs, memorylimit, work, parserange, plan, mergeusers,
                 joinplaced, place, join, map };

struct optinfo {
  std::string_view name;
  opt id;
  bool takesvalue;
};

constexpr optinfo options[] = {
    {"cell-size", opt::cellsize, true}, {"cell-file", opt::cellfile, true}, {"objects", opt::objects, true},
    {"users", opt::users, true},        {"threshold", opt::threshold, true}, {"output", opt::output, true},
    {"format", opt::format, true},      {"summary", opt::summary, false},  {"heatmap", opt::heatmap, true},
    {"progress", opt::progress, false}, {"no-progress", opt::noprogress, false},
    {"pause", opt::pause, false},       {"help", opt::help, false},        {"version", opt::version, false},
    {"input-format", opt::inputformat, true}, {"delimiter", opt::delimiter, true},
    {"id-column", opt::idcolumn, true}, {"x-column", opt::xcolumn, true}, {"y-column", opt::ycolumn, true},
    {"time-column", opt::timecolumn, true}, {"strict", opt::strict, false}, {"group-size", opt::groupsize, true},
    {"id-map", opt::idmap, true},       {"crs", opt::crs, true},           {"grid-crs", opt::gridcrs, true},
    {"memory-limit", opt::memorylimit, true}, {"work", opt::work, true},  {"parse-range", opt::parserange, true},
    {"plan", opt::plan, true},          {"merge-users", opt::mergeusers, true}, {"join", opt::join, false},
    {"join-placed", opt::joinplaced, false}, {"place", opt::place, true},
    {"map", opt::map, true},
};

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
bool parsecount(std::string_view text, std::int64_t limit, std::int64_t& out) {
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
bool parsesize(std::string_view text, std::int64_t& out) {
  int shift = 0;
  if (!text.empty()) {
    const char unit = text.back();
    shift = unit == 'K' || unit == 'k' ? 10 : unit == 'M' || unit == 'm' ? 20 : unit == 'G' || unit == 'g' ? 30 : 0;
    if (shift != 0) text.remove_suffix(1);
  }
  std::int64_t v = 0;
  if (!parsecount(text, (std::int64_t{1} << 62) >> shift, v) || v == 0) return false;
  out = v << shift;
  return true;
}

// "FIRST:LAST", two counts with FIRST < LAST.
bool parserange(std::string_view text, std::int64_t limit, std::int64_t& first, std::int64_t& last) {
  const std::size_t colon = text.find(':');
  return colon != std::string_view::npos && parsecount(text.substr(0, colon), limit, first) &&
         parsecount(text.substr(colon + 1), limit, last) && first < last;
}

// Applies option `o` with `value` to `result`; false with `error` on a bad value.
bool apply(const optinfo& o, std::string_view value, commandline& result, std::optional<std::string>& usertext,
           std::optional<std::string>& objecttext, std::string& error) {
  runconfig& cfg = result.cfg;
  inputconfig& input = result.input;
  std::int64_t n = 0;
  switch (o.id) {
    case opt::cellsize: {
      float size = 0;
      if (!parsefloat(value, size) || !(size > 0) || !std::isfinite(size)) {
        error = invalid(o.name, value, "a positive decimal number of metres, such as 400 or 12.5");
        return false;
      }
      cfg.cellsize = size;
      return true;
    }
    case opt::objects:
      objecttext = std::string(value);  // checked against --group-size once all options are known
      input.objectsgiven = true;
      return true;
    case opt::work:
      if (value.empty()) {
        error = invalid(o.name, value, "a folder that every piece of the run sees");
        return false;
      }
      result.piece.work = value;
      return true;
    case opt::parserange:
    case opt::mergeusers:
    case opt::plan:
    case opt::join:
    case opt::joinplaced:
    case opt::place: {
      using kind = piececonfig::kind;
      const kind k = o.id == opt::parserange ? kind::parse
                     : o.id == opt::mergeusers ? kind::merge
                     : o.id == opt::plan       ? kind::plan
                     : o.id == opt::joinplaced ? kind::joinplaced
                     : o.id == opt::place      ? kind::place
                                               : kind::join;
      if (result.piece.what != kind::none && result.piece.what != k) {
        error = "--parse-range, --plan, --merge-users and --join each run a piece of their own: give one";
        return false;
      }
      result.piece.what = k;
      if (k == kind::parse && !parserange(value, std::int64_t{1} << 62, result.piece.first, result.piece.last)) {
        error = invalid(o.name, value, "FIRST:LAST, byte offsets with FIRST below LAST");
        return false;
      }
      if ((k == kind::merge || k == kind::place) &&
          !parserange(value, max_objects, result.piece.first, result.piece.last)) {
        error = invalid(o.name, value, "FIRST:LAST, user numbers with FIRST below LAST");
        return false;
      }
      if (k == kind::plan) {
        if (!parsecount(value, 100000, n) || n == 0) {
          error = invalid(o.name, value, "the number of user ranges to print, from 1 to 100000");
          return false;
        }
        result.piece.merges = static_cast<std::int32_t>(n);
      }
      return true;
    }
    case opt::memorylimit:
      if (!parsesize(value, cfg.memorylimit)) {
        error = invalid(o.name, value, "a number of bytes, optionally with K, M or G");
        return false;
      }
      return true;
    case opt::groupsize:
      if (!parsecount(value, max_objects, n) || n == 0) {
        error = invalid(o.name, value, "an integer from 1 to 10000000, the objects of one user");
        return false;
      }
      cfg.groupsize = static_cast<std::int32_t>(n);
      return true;
    case opt::inputformat:
      if (value != "tab" && value != "csv") {
        error = invalid(o.name, value, "tab or csv");
        return false;
      }
      input.csv = value == "csv";
      return true;
    case opt::delimiter: {
      // A TAB is hard to type in a shell, so it has names too.
      const char d = value == "tab" || value == "TAB" || value == "\\t" ? '\t' : value.size() == 1 ? value[0] : '\0';
      if (d == '\0' || d == '"' || d == '\n' || d == '\r') {
        error = invalid(o.name, value, "one character other than a quote or a line break, or tab");
        return false;
      }
      input.columns.delimiter = d;
      return true;
    }
    case opt::idcolumn:
    case opt::xcolumn:
    case opt::ycolumn:
    case opt::timecolumn:
    case opt::crs:
    case opt::gridcrs: {
      if (value.empty()) {
        error = invalid(o.name, value, o.id == opt::crs || o.id == opt::gridcrs
                                           ? "a coordinate reference system, such as EPSG:4326"
                                           : "a column name from the header, or a column number from 1");
        return false;
      }
      std::string& field = o.id == opt::idcolumn  ? input.columns.idcolumn
                           : o.id == opt::xcolumn ? input.columns.xcolumn
                           : o.id == opt::ycolumn ? input.columns.ycolumn
                           : o.id == opt::timecolumn ? input.columns.timecolumn
                           : o.id == opt::crs         ? input.crs
                                                      : input.gridcrs;
      field = value;
      return true;
    }
    case opt::strict: input.columns.strict = true; return true;
    case opt::users:
      usertext = std::string(value);  // checked against --objects once all options are known
      return true;
    case opt::threshold:
      if (!parsecount(value, std::numeric_limits<std::int32_t>::max(), n)) {
        error = invalid(o.name, value, "an integer from 0 to 2147483647");
        return false;
      }
      cfg.threshold = static_cast<std::int32_t>(n);
      return true;
    case opt::format:
      if (value == "text") cfg.style.format = reportformat::text;
      else if (value == "csv") cfg.style.format = reportformat::csv;
      else if (value == "json") cfg.style.format = reportformat::json;
      else if (value == "geojson") cfg.style.format = reportformat::geojson;
      else {
        error = invalid(o.name, value, "text, csv, json or geojson");
        return false;
      }
      return true;
    case opt::cellfile:
    case opt::heatmap:
    case opt::idmap:
    case opt::map:
      if (value.empty()) {
        error = invalid(o.name, value, "a file name");
        return false;
      }
      (o.id == opt::cellfile  ? cfg.cellpath
       : o.id == opt::heatmap ? cfg.heatmappath
       : o.id == opt::map     ? cfg.mappath
                              : cfg.idmappath) = value;
      return true;
    case opt::output:
      if (value.empty()) {
        error = invalid(o.name, value, "a file name, or - for standard output");
        return false;
      }
      cfg.outputpath = value == "-" ? std::string() : std::string(value);
      return true;
    case opt::summary: cfg.style.summary = true; return true;
    case opt::progress: result.progress = true; return true;
    case opt::noprogress: result.progress = false; return true;
    case opt::pause: result.pause = true; return true;
    case opt::help: result.what = commandline::action::help; return true;
    case opt::version: result.what = commandline::action::version; return true;
  }
  return true;
}

const optinfo* findlong(std::string_view name) {
  for (const optinfo& o : options)
    if (o.name == name) return &o;
  return nullptr;
}

}  // namespace

runconfig defaultconfig() {
  runconfig cfg{.tracepath = stdin_path, .cellpath = {}};
  cfg.exactcells = true;
  return cfg;
}

bool parseoptions(std::span<const std::string_view> args, commandline& result, std::string& error) {
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
    const optinfo* o = nullptr;
    std::optional<std::string_view> value;
    std::string shown;  // the option as the message names it
    if (a[1] == '-') {
      const std::size_t eq = a.find('=');
      const std::string_view name = a.substr(2, eq == std::string_view::npos ? std::string_view::npos : eq - 2);
      if (eq != std::string_view::npos) value = a.substr(eq + 1);
      o = findlong(name);
      shown = "--";
      shown.append(name);
    } else if (a[1] == 'o') {
      o = findlong("output");
      if (a.size() > 2) value = a.substr(2);
      shown = "-o";
    } else if (a == "-h") {
      o = findlong("help");
      shown = "-h";
    }
    if (o == nullptr) {
      error = concat({"unknown option '", a, "'; 'cellfreq --help' lists the options"});
      return false;
    }
    if (!o->takesvalue && value) {
      error = concat({"option '", shown, "' takes no value"});
      return false;
    }
    if (o->takesvalue && !value) {
      if (i + 1 == args.size()) {
        error = concat({"option '", shown, "' needs a value"});
        return false;
      }
      value = args[++i];
    }
    if (!apply(*o, value.value_or(""), result, usertext, objecttext, error)) return false;
  }

  runconfig& cfg = result.cfg;
  const inputconfig& input = result.input;
  if ((result.piece.what != piececonfig::kind::none) != !result.piece.work.empty()) {
    error = result.piece.work.empty() ? "a piece of a run needs --work, the folder of its part files"
                                      : "--work needs a piece to run: --parse-range, --plan, --merge-users or --join";
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
      if (!parsecount(*usertext, max_objects, n) || n == 0) {
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
    if (!parsecount(*objecttext, max_objects, n) || n == 0 || n % cfg.groupsize != 0) {
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
    if (!parsecount(*usertext, allusers, n) || n == 0) {
      error = invalid("users", *usertext,
                      concat({"an integer from 1 to ", std::to_string(allusers), ", the number of users of ",
                              std::to_string(result.cfg.nobjects), " objects"}));
      return false;
    }
    result.cfg.nusers = static_cast<std::int32_t>(n);
  }
  return true;
}

void writehelp(textout& out) {
  static constexpr std::string_view lines[] = {
      "Usage: cellfreq [OPTION]... [TRACE]",
      "Find the grid cells that users visit often in a trace of positions.",
      "TRACE is read from standard input when it is - or not given; a name",
      "ending in .gz, or standard input starting with gzip data, is decompressed.",
      "",
      "Input:",
      "  --input-format F   tab (default: the TAB dialect in grid metres) or csv",
      "  --delimiter C      CSV field delimiter (default ,; tab for a TAB)",
      "  --id-column C      CSV column of the object id, by header name or",
      "                     number from 1 (default id); ids may be any text",
      "  --x-column C       CSV column of x or longitude (default x)",
      "  --y-column C       CSV column of y or latitude (default y)",
      "  --time-column C    order each object's visits by this CSV column:",
      "                     seconds, or ISO 8601 date-times (default: row order)",
      "  --strict           stop at the first bad CSV row (default: skip it)",
      "  --crs CRS          CRS of the CSV coordinates (EPSG:4326, EPSG:32632,",
      "                     a PROJ string); default: metres of the grid",
      "  --grid-crs CRS     metric CRS of the grid (default with a geographic",
      "                     --crs: the UTM zone of the first position)",
      "",
      "Grid and users:",
      "  --cell-size N      side of a grid cell in metres (default 400)",
      "  --cell-file PATH   write the cell file to PATH and keep it",
      "                     (default: a temporary file, removed at the end)",
      "  --group-size N     consecutive objects that form one user (default 10)",
      "  --objects N        object numbers 0 to N-1 are used, N a multiple of the",
      "                     group size (default 1000; CSV: the distinct ids)",
      "  --users N          analyse users 0 to N-1 (default: all users)",
      "  --threshold N      report a cell visited more than N times (default 3)",
      "  --memory-limit SIZE",
      "                     memory the run may use, in bytes or with K, M or G",
      "                     (default: a quarter of the physical memory or of the",
      "                     cgroup's limit if smaller, at least 256M); what does",
      "                     not fit goes to scratch files in TMPDIR",
      "",
      "Output:",
      "  -o, --output PATH  write the report to PATH (default: standard output)",
      "  --format FORMAT    text (default), csv, json (one object per user) or",
      "                     geojson (one polygon per user and frequent cell)",
      "  --summary          one line per user and frequent cell with its number",
      "                     of visits, most visited first",
      "  --heatmap PATH     a heat map of all visits: GeoJSON when PATH ends in",
      "                     .geojson, otherwise SVG",
      "  --map PATH         an interactive map of the visits and frequent cells:",
      "                     one HTML page that opens in a browser with no network",
      "                     (with --crs over OpenStreetMap tiles when online)",
      "  --id-map PATH      write the object number to id table as CSV",
      "  --progress         show reading progress on standard error",
      "  --no-progress      do not (the default unless it is a terminal)",
      "  --pause            hand PAUSE to the command interpreter at the end",
      "",
      "A run in pieces (for a cluster; all pieces get the same run options and",
      "see the folder DIR; the outputs are those of the whole run):",
      "  --work DIR         the folder of the pieces' files",
      "  --parse-range A:B  parse bytes A to B-1 of TRACE into a part file",
      "  --plan N           check the parts, count the users' visits and print",
      "                     N ranges of users of about equal work, FIRST:LAST",
      "  --merge-users A:B  group the visits of users A to B-1 from the parts",
      "  --join             write the outputs from the merges",
      "  --join-placed      the same, but leave the merges' text in a named report",
      "                     and cell file to --place pieces; put the outputs in",
      "                     place once a line 'commit' comes on standard input",
      "  --place A:B        copy the text of the merge of users A to B-1 into the",
      "                     outputs that --join-placed prepared",
      "",
      "Information:",
      "  -h, --help         show this help and exit",
      "  --version          show the version and exit",
      "",
      "Exit status: 0 success, 1 input or output failure, 2 usage error,",
      "128 + N when ended by signal N (the old outputs stay, no temporaries).",
  };
  for (const std::string_view l : lines) {
    out.put(l);
    out.newline();
  }
}

}  // namespace cellfreq
