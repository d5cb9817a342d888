// The public run: settings and input turned into the command's own
// configuration, the pass sequence run with the results handed to a sink,
// and every failure turned into one cellfreq::error.
//
// The settings are checked by the command line's own parser, from the
// arguments they stand for, so a bad value gets the command's message and
// a run accepts exactly what the command accepts.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <charconv>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/gather.h"
#include "cellfreq/run.h"
#include "driver/ingest.h"
#include "driver/options.h"
#include "driver/pathcheck.h"
#include "driver/runconfig.h"

#ifndef CELLFREQ_VERSION
#error "CELLFREQ_VERSION must be defined by the build"
#endif

namespace cellfreq {
namespace {

constexpr const char* progname = "cellfreq";

[[noreturn]] void usage(const std::string& message) { throw error(error_kind::usage, message); }

std::string number(double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// The columns as the CSV reader takes them; a usage error when their
// lengths differ.
csvcolumns rowsof(const columns& c) {
  csvcolumns rows;
  std::vector<std::size_t> lengths;
  std::visit([&](const auto& ids) { lengths.push_back(ids.size()); }, c.ids);
  if (const auto* n = std::get_if<std::span<const std::int64_t>>(&c.ids)) rows.numberids = n->data();
  else rows.textids = std::get<std::span<const std::string_view>>(c.ids).data();
  const auto coordinate = [&](const auto& column, const double*& d, const float*& f) {
    std::visit([&](const auto& v) { lengths.push_back(v.size()); }, column);
    if (const auto* dv = std::get_if<std::span<const double>>(&column)) d = dv->data();
    else f = std::get<std::span<const float>>(column).data();
  };
  coordinate(c.x, rows.xd, rows.xf);
  coordinate(c.y, rows.yd, rows.yf);
  if (!c.time.empty()) {
    rows.time = c.time.data();
    lengths.push_back(c.time.size());
  }
  if (std::adjacent_find(lengths.begin(), lengths.end(), std::not_equal_to<>()) != lengths.end()) {
    std::string m = "the columns differ in length: ids " + std::to_string(lengths[0]) + ", x " +
                    std::to_string(lengths[1]) + ", y " + std::to_string(lengths[2]);
    if (lengths.size() > 3) m += ", time " + std::to_string(lengths[3]);
    usage(m);
  }
  rows.rows = lengths[0];
  return rows;
}

// The command line that `s` and `in` stand for (after the program name).
std::vector<std::string> arguments(const input& in, const settings& s) {
  std::vector<std::string> a;
  const auto opt = [&a](const char* name, const std::string& value) { a.push_back(std::string("--") + name + "=" + value); };
  opt("cell-size", number(s.cell_size));
  opt("group-size", std::to_string(s.group_size));
  opt("threshold", std::to_string(s.threshold));
  if (s.users) opt("users", std::to_string(*s.users));
  if (s.memory_limit != 0) opt("memory-limit", std::to_string(s.memory_limit));
  if (!s.crs.empty()) opt("crs", s.crs);
  if (!s.grid_crs.empty()) opt("grid-crs", s.grid_crs);
  if (!s.cell_file.empty()) opt("cell-file", s.cell_file);
  std::optional<std::int32_t> objects = s.objects;
  trace_format format = trace_format::tab;
  if (const auto* f = std::get_if<trace_file>(&in)) format = f->format;
  else if (const auto* st = std::get_if<trace_stream>(&in)) format = st->format;
  else if (std::holds_alternative<std::span<const std::string_view>>(std::get<columns>(in).ids)) format = trace_format::csv;
  else if (!s.crs.empty()) {
    // Number ids in a CRS of their own: read as CSV rows are, but the
    // objects are not the trace's to decide.
    format = trace_format::csv;
    if (!objects) objects = defaultconfig().nobjects;
  }
  if (objects) opt("objects", std::to_string(*objects));
  opt("input-format", format == trace_format::csv ? "csv" : "tab");
  if (format == trace_format::csv && !std::holds_alternative<columns>(in)) {
    opt("id-column", s.id_column);
    opt("x-column", s.x_column);
    opt("y-column", s.y_column);
    if (!s.time_column.empty()) opt("time-column", s.time_column);
    opt("delimiter", std::string(1, s.delimiter));
  }
  if (const auto* f = std::get_if<trace_file>(&in)) {
    a.emplace_back("--");
    a.push_back(f->path);
  }
  return a;
}

// The passes' results handed on to the public sink.
class handoff final : public runsink {
public:
  handoff(const wanted& want, sink& out) : want_(want), out_(out) {}
  bool wantsvisits() const override { return want_.visits; }
  bool wantsmap() const override { return want_.map; }
  void users(const celltable& table, const std::vector<std::int64_t>& codecount, std::int32_t from, std::int32_t to,
             std::int32_t threshold) override {
    for (std::int32_t u = from; u < to; ++u) {
      const std::int64_t n = codecount[static_cast<std::size_t>(u)];
      if (want_.frequent)
        frequentvisits(table, u, n, threshold, counter_, [&](std::int64_t q, std::int32_t code, std::int64_t) {
          const cell c = table.codec().decode(code);
          out_.frequent(u, c.x, c.y, q);
        });
      if (want_.summary) {
        std::vector<frequentcell> cells = frequentcells(table, u, n, threshold, counter_);
        summaryorder(cells);
        for (const frequentcell& c : cells) out_.summary(u, c.where.x, c.where.y, c.visits);
      }
    }
  }
  void finish(const runconfig& cfg, const cellvisits& visits, std::string&& page) override {
    settled_ = cfg;
    if (want_.visits) {
      std::vector<std::pair<cell, std::int64_t>> all;
      all.reserve(visits.counts().size());
      for (const auto& [key, n] : visits.counts())
        all.push_back({{static_cast<std::int32_t>(static_cast<std::uint32_t>(key >> 32)),
                        static_cast<std::int32_t>(static_cast<std::uint32_t>(key))},
                       n});
      std::sort(all.begin(), all.end());
      for (const auto& [c, n] : all) out_.visit(c.x, c.y, n);
    }
    if (want_.map) out_.map(std::move(page));
  }
  const runconfig& settled() const { return settled_; }

private:
  wanted want_;
  sink& out_;
  freqcounter counter_;
  runconfig settled_;
};

// The command's input with the results going to a sink.
class apiinput final : public commandinput {
public:
  apiinput(const inputconfig& config, runsink& to) : commandinput(config), to_(to) {}
  apiinput(const inputconfig& config, const csvcolumns& rows, runsink& to) : commandinput(config, rows), to_(to) {}
  runsink* sink() override { return &to_; }

private:
  runsink& to_;
};

// The warnings written to a memory stream, as lines without the program's
// name.
std::vector<std::string> lines(const char* text, std::size_t size) {
  std::vector<std::string> out;
  const std::string_view all(text, size), prefix = "cellfreq: ";
  for (std::size_t at = 0; at < all.size();) {
    const std::size_t end = std::min(all.find('\n', at), all.size());
    std::string_view line = all.substr(at, end - at);
    if (line.substr(0, prefix.size()) == prefix) line.remove_prefix(prefix.size());
    if (!line.empty()) out.emplace_back(line);
    at = end + 1;
  }
  return out;
}

// A memory stream for the run's warnings, freed on every way out.
struct messagestream {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* f = nullptr;
  messagestream() : f(open_memstream(&text, &size)) {
    if (f == nullptr) throw std::bad_alloc();
  }
  ~messagestream() {
    if (f != nullptr) std::fclose(f);
    std::free(text);
  }
  std::vector<std::string> close() {
    std::fclose(f);
    f = nullptr;
    return lines(text, size);
  }
};

}  // namespace

void run(const input& in, const settings& s, const wanted& want, sink& out, const cancel_token* cancel) {
  std::vector<std::string> args = arguments(in, s);
  const std::vector<std::string_view> views(args.begin(), args.end());
  result<commandline> parsed = parseoptions(views);
  if (!parsed) usage(parsed.error().what);
  commandline& cl = parsed.value();
  if (!cl.cfg.cellpath.empty()) {
    if (result<void> distinct = distinctpaths(cl.cfg.tracepath, {{"--cell-file", cl.cfg.cellpath}}); !distinct)
      usage(distinct.error().what);
  }
  runconfig& cfg = cl.cfg;
  cfg.replacecells = true;
  cfg.stop = cancel != nullptr ? &cancel->flag() : nullptr;
  cfg.progress = static_cast<bool>(s.progress);
  cfg.onprogress = s.progress;
  std::optional<csvcolumns> rows;
  if (const auto* c = std::get_if<columns>(&in)) {
    rows = rowsof(*c);
    rows->single = rows->numberids != nullptr && s.crs.empty();  // the TAB dialect's terms
  }
  if (const auto* st = std::get_if<trace_stream>(&in)) {
    if (st->stream == nullptr) usage("no stream to read the trace from");
    cfg.tracestream = st->stream;
  }
  handoff results(want, out);
  std::optional<apiinput> made;
  apiinput& input = rows ? made.emplace(cl.input, *rows, results) : made.emplace(cl.input, results);
  messagestream messages;
  const result<void> ran = runpasses(cfg, nullptr, messages.f, progname, &input);
  const std::vector<std::string> warnings = messages.close();
  if (s.message)
    for (const std::string& line : warnings) s.message(line);
  if (cancel != nullptr && cancel->cancelled()) throw error(error_kind::interrupted, "interrupted", ECANCELED);
  if (!ran) {
    const failure& fail = ran.error();
    throw error(fail.status == status_usage ? error_kind::usage : error_kind::input_output, failuretext(fail),
                fail.errnum);
  }
  const runconfig& settled = results.settled();
  if (want.ids) {
    if (const idtable* ids = input.ids())
      for (std::size_t i = 0; i < ids->size(); ++i) out.id(static_cast<std::int64_t>(i), (*ids)[i]);
    else
      for (std::int32_t i = 0; i < settled.nobjects; ++i) out.id(i, std::to_string(i));
  }
  out.finish({settled.cellsize, settled.groupsize, settled.nusers, settled.nobjects, input.layer(settled).gridcrs});
}

results run(const input& in, const settings& s, const wanted& want, const cancel_token* cancel) {
  results r;
  gather into(r);
  settings own = s;
  own.message = [&r, &s](const std::string& line) {
    r.messages.push_back(line);
    if (s.message) s.message(line);
  };
  run(in, own, want, into, cancel);
  return r;
}

std::string version() { return CELLFREQ_VERSION; }

}  // namespace cellfreq
