// The run's fingerprint: which options go in, how it is stored, and how a
// difference is named.
#include "pieces/fingerprint.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <ctime>

namespace cellfreq {
namespace {

constexpr std::int64_t head_bytes = std::int64_t{64} << 10;
constexpr std::int64_t max_options = 64;
constexpr std::int64_t max_value = std::int64_t{1} << 20;

// A modification time as messages show it, to the nanosecond, in UTC.
std::string showtime(std::int64_t ns) {
  const std::time_t s = static_cast<std::time_t>(ns / 1'000'000'000);
  std::tm t{};
  gmtime_r(&s, &t);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%09lld UTC", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<long long>(ns % 1'000'000'000));
  return text;
}

// An option as the message shows it when the other side differs in more
// than its value: "--heatmap svg", "--summary" or "no --summary".
std::string show(const runoption& o) {
  if (!o.given) return "no " + o.name;
  return o.value.empty() ? o.name : o.name + " " + o.value;
}

}  // namespace

result<traceidentity> identifytrace(std::FILE* f) {
  struct stat st {};
  if (::fstat(::fileno(f), &st) != 0) return failure{{}, errno};
  traceidentity id;
  id.size = static_cast<std::int64_t>(st.st_size);
  id.mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  const std::int64_t head = std::min(id.size, head_bytes), tail = std::max(head, id.size - head_bytes);
  std::string bytes(static_cast<std::size_t>(head + id.size - tail), '\0');
  errno = 0;
  if (fseeko(f, 0, SEEK_SET) != 0 || std::fread(bytes.data(), 1, static_cast<std::size_t>(head), f) != static_cast<std::size_t>(head) ||
      fseeko(f, static_cast<off_t>(tail), SEEK_SET) != 0 ||
      std::fread(bytes.data() + head, 1, bytes.size() - static_cast<std::size_t>(head), f) !=
          bytes.size() - static_cast<std::size_t>(head))
    return lasterror();
  id.hash = crc32of(0, bytes.data(), bytes.size());
  return id;
}

fingerprint runfingerprint(const commandline& cl, const traceidentity& trace) {
  const runconfig& cfg = cl.cfg;
  const inputconfig& in = cl.input;
  char size[32];
  const auto sized = std::to_chars(size, size + sizeof size, cfg.cellsize);
  const std::string delimiter = in.columns.delimiter == '\t' ? "tab" : std::string(1, in.columns.delimiter);
  static constexpr const char* formats[] = {"text", "csv", "json", "geojson"};
  // With a CSV trace and no --objects, the trace decides the objects, and
  // the users unless --users was given.
  const bool objects = !in.csv || in.objectsgiven;
  fingerprint fp;
  fp.trace = trace;
  fp.options = {
      {"--input-format", true, in.csv ? "csv" : "tab"},
      {"--delimiter", true, delimiter},
      {"--id-column", true, in.columns.idcolumn},
      {"--x-column", true, in.columns.xcolumn},
      {"--y-column", true, in.columns.ycolumn},
      {"--time-column", !in.columns.timecolumn.empty(), in.columns.timecolumn},
      {"--strict", in.columns.strict, ""},
      {"--crs", !in.crs.empty(), in.crs},
      {"--grid-crs", !in.gridcrs.empty(), in.gridcrs},
      {"--cell-size", true, std::string(size, sized.ptr)},
      {"--group-size", true, std::to_string(cfg.groupsize)},
      {"--objects", objects, objects ? std::to_string(cfg.nobjects) : ""},
      {"--users", objects || in.usersgiven, objects || in.usersgiven ? std::to_string(cfg.nusers) : ""},
      {"--threshold", true, std::to_string(cfg.threshold)},
      {"--format", true, formats[static_cast<int>(cfg.style.format)]},
      {"--summary", cfg.style.summary, ""},
      {"--heatmap", !cfg.heatmappath.empty(), cfg.heatmappath.empty() ? "" : isgeojson(cfg.heatmappath) ? "geojson" : "svg"},
      {"--id-map", !cfg.idmappath.empty(), ""},
      {"exact cell names", cfg.exactcells, ""},
  };
  return fp;
}

void putfingerprint(pieceout& out, const fingerprint& fp) {
  out.put(static_cast<std::int64_t>(fp.options.size()));
  for (const runoption& o : fp.options) {
    out.putstring(o.name);
    out.putflag(o.given);
    out.putstring(o.value);
  }
  out.put(fp.trace.size);
  out.put(fp.trace.mtime);
  out.put(fp.trace.hash);
}

bool getfingerprint(piecein& in, fingerprint& fp) {
  std::int64_t n = 0;
  in.getcount(n, max_options, 17, "number of options");
  fp.options.resize(in.ok() ? static_cast<std::size_t>(n) : 0);
  for (runoption& o : fp.options)
    in.getstring(o.name, 64, "option name") && in.getflag(o.given, "option flag") &&
        in.getstring(o.value, max_value, "option value");
  in.get(fp.trace.size, "trace size") && in.get(fp.trace.mtime, "trace time") && in.get(fp.trace.hash, "trace hash");
  return in.ok() && (fp.trace.size >= 0 || in.damaged("its trace size is negative"));
}

result<void> checkfingerprint(piecein& in, const fingerprint& run) {
  fingerprint file;
  if (!getfingerprint(in, file)) return in.outcome();
  const std::string from = std::string(piecenoun(in.kind())) + " " + inquotes(in.path()) + " is from ";
  const auto differs = [&](const std::string& what) {
    return in.fails({from + what, 0, {}, status_failed, true});
  };
  if (file.options.size() != run.options.size()) return differs("another version of cellfreq");
  for (std::size_t i = 0; i < run.options.size(); ++i) {
    const runoption &a = file.options[i], &b = run.options[i];
    if (a.name != b.name) return differs("another version of cellfreq");
    if (a == b) continue;
    return differs("a run with " + (a.given && b.given && !a.value.empty() ? a.name + " " + a.value + "; this run has " + b.value
                                                                          : show(a) + "; this run has " + show(b)));
  }
  const traceidentity &a = file.trace, &b = run.trace;
  if (a.size != b.size)
    return differs("a trace of " + std::to_string(a.size) + " bytes; this run's has " + std::to_string(b.size));
  if (a.hash != b.hash) return differs("another trace");
  if (a.mtime != b.mtime)
    return differs("the trace as modified at " + showtime(a.mtime) + "; it was modified again at " + showtime(b.mtime));
  return {};
}

}  // namespace cellfreq
