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
                 progress, noprogress, pause, help, version };

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

// Applies option `o` with `value` to `result`; false with `error` on a bad value.
bool apply(const optinfo& o, std::string_view value, commandline& result, std::optional<std::string>& usertext,
           std::string& error) {
  runconfig& cfg = result.cfg;
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
      if (!parsecount(value, max_objects, n) || n == 0 || n % objects_per_user != 0) {
        error = invalid(o.name, value, "a multiple of 10 from 10 to 10000000");
        return false;
      }
      cfg.nobjects = static_cast<std::int32_t>(n);
      return true;
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
      else {
        error = invalid(o.name, value, "text, csv or json");
        return false;
      }
      return true;
    case opt::cellfile:
    case opt::heatmap:
      if (value.empty()) {
        error = invalid(o.name, value, "a file name");
        return false;
      }
      (o.id == opt::cellfile ? cfg.cellpath : cfg.heatmappath) = value;
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

runconfig defaultconfig() { return runconfig{.tracepath = stdin_path, .cellpath = {}}; }

bool parseoptions(std::span<const std::string_view> args, commandline& result, std::string& error) {
  result = commandline{};
  result.cfg = defaultconfig();
  std::optional<std::string> usertext;
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
    if (!apply(*o, value.value_or(""), result, usertext, error)) return false;
  }

  const std::int32_t allusers = result.cfg.nobjects / objects_per_user;
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
      "TRACE is read from standard input when it is - or not given.",
      "",
      "  --cell-size N      side of a grid cell in metres (default 400)",
      "  --cell-file PATH   write the cell file to PATH and keep it",
      "                     (default: a temporary file, removed at the end)",
      "  --objects N        object ids 0 to N-1 are used, N a multiple of 10",
      "                     (default 1000); every 10 objects form one user",
      "  --users N          analyse users 0 to N-1 (default: all N/10 users)",
      "  --threshold N      report a cell visited more than N times (default 3)",
      "  -o, --output PATH  write the report to PATH (default: standard output)",
      "  --format FORMAT    text (default), csv or json (one object per user)",
      "  --summary          one line per user and frequent cell with its number",
      "                     of visits, most visited first",
      "  --heatmap PATH     draw an SVG heat map of all visits to PATH",
      "  --progress         show reading progress on standard error",
      "  --no-progress      do not (the default unless it is a terminal)",
      "  --pause            hand PAUSE to the command interpreter at the end",
      "  -h, --help         show this help and exit",
      "  --version          show the version and exit",
      "",
      "Exit status: 0 success, 1 input or output failure, 2 usage error.",
  };
  for (const std::string_view l : lines) {
    out.put(l);
    out.newline();
  }
}

}  // namespace cellfreq
