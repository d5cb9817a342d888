// The command line's parse: options in any order, the last of a repeated
// one counting; values as the next argument, or after '=' for the long
// options.
#include "options.h"

#include <cstdio>
#include <string_view>

namespace tracegen {
namespace {

constexpr int exit_usage = 2;

constexpr const char* usage_text =
    "usage: tracegen [--seed S] [--objects N] [--steps T | --bytes B] [--format F] [--gzip]\n"
    "                [-o PATH]\n"
    "  --seed S     random seed (default 1)\n"
    "  --objects N  number of moving objects (default 1000)\n"
    "  --steps T    number of time steps (default 20)\n"
    "  --bytes B    keep adding time steps until at least B bytes are written\n"
    "               (counted before compression)\n"
    "  --format F   tab: the TAB-separated trace in metres (default)\n"
    "               csv: header id,time,lon,lat, then one row per position:\n"
    "                 id    veh- and the object number, zero-padded to 4 digits\n"
    "                       (more when the largest number has more), veh-0173\n"
    "                 time  ISO 8601 UTC, step 0 at 2008-10-23T02:53:04Z, 30 s a step\n"
    "                 lon, lat  WGS 84 degrees with 7 decimals; the city lies in\n"
    "                       UTM zone 32N (EPSG:32632) from easting 440000 m,\n"
    "                       northing 5880000 m, near 8.1 E 53.1 N\n"
    "               csv-metres: header id,time,x,y, the same rows with the UTM\n"
    "                 easting and northing in metres, 2 decimals\n"
    "               Rows come step by step, in the order of the TAB trace.\n"
    "  --gzip       compress the output with gzip (level 1)\n"
    "  -o PATH      write to PATH instead of standard output\n";

// The usage error `message`: reported with the usage, and the exit it
// asks for.
command usage_error(const std::string& message) {
  std::fprintf(stderr, "tracegen: %s\n", message.c_str());
  std::fputs(usage_text, stderr);
  return command{std::nullopt, exit_usage};
}

// Strict: digits only, no sign, no overflow; empty when `s` is none.
// strtoull would quietly accept "-1" and leading blanks.
std::optional<std::uint64_t> parse_count(std::string_view s) {
  if (s.empty() || s.size() > 20) return std::nullopt;
  std::uint64_t v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

// Sets the numeric option `name` to `value`; the fault's message, or
// empty when it is taken.
std::string set_number(options& o, std::string_view name, std::string_view value) {
  const std::optional<std::uint64_t> v = parse_count(value);
  if (!v) return "bad value '" + std::string(value) + "' for " + std::string(name);
  if (name == "--seed") {
    o.seed = *v;
  } else if (name == "--objects") {
    if (*v < 1 || *v > 10000000) return "--objects must be between 1 and 10000000";
    o.objects = static_cast<std::uint32_t>(*v);
  } else if (name == "--steps") {
    if (*v < 1) return "--steps must be at least 1";
    o.steps = *v;
  } else {
    if (*v < 1) return "--bytes must be at least 1";
    o.bytes = *v;
  }
  return {};
}

}  // namespace

command parse_command_line(int argc, char** argv) {
  options o;
  bool have_steps = false;  // --bytes is given when o.bytes is not 0
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(usage_text, stdout);
      return command{std::nullopt, 0};
    }
    std::string_view name = arg;
    std::string_view value;
    bool inline_value = false;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inline_value = true;
    }
    if (name == "--gzip") {
      if (inline_value) return usage_error("option '--gzip' takes no value");
      o.gzip = true;
      continue;
    }
    const bool known = name == "--seed" || name == "--objects" || name == "--steps" || name == "--bytes" ||
                       name == "--format" || name == "-o";
    if (!known) return usage_error("unknown option '" + std::string(arg) + "'");
    if (!inline_value) {
      if (i + 1 >= argc) return usage_error("option '" + std::string(name) + "' needs a value");
      value = argv[++i];
    }
    if (name == "-o") {
      if (value.empty()) return usage_error("empty output path");
      o.path = std::string(value);
    } else if (name == "--format") {
      if (value == "tab") o.format = trace_format::tab;
      else if (value == "csv") o.format = trace_format::csv_degrees;
      else if (value == "csv-metres") o.format = trace_format::csv_metres;
      else return usage_error("bad value '" + std::string(value) + "' for --format (tab, csv or csv-metres)");
    } else if (const std::string fault = set_number(o, name, value); !fault.empty()) {
      return usage_error(fault);
    }
    have_steps = have_steps || name == "--steps";
  }
  if (have_steps && o.bytes != 0) return usage_error("--steps and --bytes are alternatives; give one");
  return command{o, 0};
}

}  // namespace tracegen
