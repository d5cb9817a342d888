// Reading the configurable command's traces: format, compression and
// coordinate system are chosen here, and every path ends in the same
// records as the TAB dialect's reader gives.
#include "driver/ingest.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <chrono>
#include <optional>
#include <string_view>

#include "cells/grouping.h"
#include "driver/progress.h"
#include "platform/tempfiles.h"
#include "trace/csvtrace.h"
#include "io/gzsource.h"
#include "io/readahead.h"
#include "trace/scan.h"

namespace cellfreq {
namespace {

// Rows handed from the CSV reader to the transform and the cells at a time:
// large enough for batched transforms, small enough to stay in cache.
constexpr std::size_t batchrows = 1 << 16;

// Whether standard input, a file still at its start, begins with the gzip
// magic bytes; it is left at its start. A pipe cannot be looked into here.
bool stdingzip(std::FILE* f, bool& seekable) {
  seekable = std::ftell(f) == 0;
  if (!seekable) return false;
  unsigned char magic[2] = {0, 0};
  const std::size_t got = std::fread(magic, 1, 2, f);
  seekable = std::fseek(f, 0, SEEK_SET) == 0;
  return got == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
}

// The progress of a source's raw bytes, which for gzip data are fewer than
// the text read, so that the percentage is of the file's size. A CSV trace
// is read on a thread of its own, so there the bytes are only noted, and
// drawn with the records so far by the thread that adds them.
struct rawprogress {
  progressline* line;
  const gzsource* source;
  bool later = false;
  std::atomic<std::uint64_t> bytes{0};
  static void onblock(void* ctx, std::uint64_t) {
    auto* p = static_cast<rawprogress*>(ctx);
    p->bytes = p->source->consumed();
    if (!p->later) p->draw();
  }
  void draw() const { progressline::onblock(line, bytes); }
};

}  // namespace

bool isgzipname(const std::string& path) {
  const std::string_view tail = ".gz";
  return path.size() >= tail.size() && std::string_view(path).substr(path.size() - tail.size()) == tail;
}

std::string tracename(const runconfig& cfg) {
  return cfg.tracepath == stdin_path ? std::string("standard input") : cfg.tracepath;
}

result<void> commandinput::preparecrs(const std::string& grid) {
  if (input_.crs.empty()) return {};
  result<std::unique_ptr<crstransform>> made = crstransform::create(input_.crs, grid.empty() ? input_.gridcrs : grid);
  if (!made) return std::move(made.error());
  crs_ = std::move(made.value());
  return {};
}

result<void> commandinput::read(runconfig& cfg, recordlist& list, std::FILE* err, const char* progname) {
  if (result<void> prepared = preparecrs({}); !prepared) return prepared;
  if (columns_ != nullptr) {
    textin none{std::string_view{}};
    csvreader reader(none, columns(), "columns", err);
    reader.fromcolumns(*columns_);
    const auto total = static_cast<std::int64_t>(columns_->rows);
    auto last = std::chrono::steady_clock::now();
    const auto tick = [&] {
      const auto now = std::chrono::steady_clock::now();
      if (!cfg.onprogress || (now - last < std::chrono::milliseconds(200) && reader.rows() < total)) return;
      last = now;
      cfg.onprogress(reader.rows(), total);
    };
    if (result<void> rows = readopened(reader, cfg, list, err, progname, tick); !rows) return rows;
    // Rows in the TAB dialect's terms end as its reader ends a trace whose
    // last line ends: with the zero-filled record that line end opened,
    // which stays last in its object's order.
    if (columns_->single) {
      list.push({});
      if (unordered_) times_.push(HUGE_VAL);
    }
    return settlecounts(cfg);
  }
  result<std::FILE*> opened = opentrace(cfg);
  if (!opened) return std::move(opened.error());
  std::FILE* f = opened.value();
  bool gzip = isgzipname(cfg.tracepath), seekable = true;
  if (cfg.tracepath == stdin_path) gzip = stdingzip(f, seekable);
  if (!input_.csv && !gzip && seekable) return readtab(cfg, f, list, err, progname);
  const std::int64_t size = regularsize(f);

  // A pipe is looked into by the source itself, which passes plain bytes
  // on; the TAB dialect's blocks are then parsed on every core as a
  // file's are.
  gzsource unpacked(f, !gzip);
  stoppablesource source(unpacked, cfg.stop);
  std::optional<progressline> progress;
  rawprogress raw{nullptr, &unpacked, input_.csv};
  if (cfg.progress) raw.line = &progress.emplace(err, progname, f, list, cfg.onprogress);
  const textin::progressfn onblock = cfg.progress ? &rawprogress::onblock : nullptr;
  result<void> rows;
  std::int64_t nrec = 0;
  int error = 0;
  if (input_.csv) {
    textin in(source);
    if (onblock != nullptr) in.on_progress(onblock, &raw);
    rows = readcsv(cfg, in, list, err, progname, [&raw] {
      if (raw.line != nullptr) raw.draw();
    });
    nrec = static_cast<std::int64_t>(list.size());
    error = in.error();
  } else {
    const result<std::int64_t> r = readtracefile(source, cfg.cellsize, list, onblock, &raw);
    // A failed read keeps the records before it and the one being filled.
    nrec = r ? r.value() : static_cast<std::int64_t>(list.size()) - 1;
    error = r ? 0 : r.error().errnum;
  }
  if (progress) progress->finish(nrec, error == 0);
  if (error != 0 && unpacked.reason() != nullptr) {
    if (cfg.tracepath != stdin_path) std::fclose(f);
    return failure{cannotread(cfg), error, unpacked.reason()};
  }
  if (result<void> closed = closetrace(cfg, f, size, error); !closed) return closed;
  if (!rows) return rows;
  return settlecounts(cfg);
}

result<void> commandinput::readcsv(runconfig& cfg, textin& in, recordlist& list, std::FILE* err,
                                   const char* progname, const std::function<void()>& tick) {
  csvreader reader(in, columns(), tracename(cfg), err);
  result<void> opened = reader.open();
  if (!opened && in.error() != 0) return {};  // a read error is reported as such, by the trace's close
  if (!opened) return opened;
  return readopened(reader, cfg, list, err, progname, tick);
}

// The rows of an opened `reader`, as readrows() reads them, then its
// bad-row total; fails also after a strict failure.
result<void> commandinput::readopened(csvreader& reader, runconfig& cfg, recordlist& list, std::FILE* err,
                                      const char* progname, const std::function<void()>& tick) {
  if (result<void> rows = readrows(reader, cfg, list, err, progname, tick); !rows) return rows;
  reader.finish();
  if (reader.failed())
    return failure{"stopped at the first bad row of " + tracename(cfg) + " (--strict)", 0, {}, status_failed, true};
  ids_.seal();
  if (!unordered_) times_ = {};
  return {};
}

// The rows of `reader` into `list` (and their times into times_), batch by
// batch through the coordinate transform, calling `tick` after each batch.
// A row's id is numbered (in ids_) only once the transform has kept it, so
// a row skipped for any reason leaves no trace. The records kept in memory
// share the budget with the ids. Announces a grid CRS it chooses on `err`;
// fails when it cannot. The rows are read on a thread of
// their own a few batches ahead, except in strict mode, where the first bad
// row must end the reading before any later one is read.
result<void> commandinput::readrows(csvreader& reader, const runconfig& cfg, recordlist& list, std::FILE* err,
                                    const char* progname, const std::function<void()>& tick) {
  const bool timed = columns_ != nullptr ? columns_->time != nullptr : !input_.columns.timecolumn.empty();
  // CSV coordinates stay in double precision: single precision would cost
  // half a metre at a UTM northing.
  const double size = cfg.cellsize;
  // With times, a record costs its time as well until the records are
  // ordered; whether they need it is seen as they come, from each object's
  // latest time so far.
  std::vector<double> latest;
  const std::int64_t budget = memorybudget(cfg.memorylimit);
  const std::size_t recordbytes = sizeof(node) + (timed ? sizeof(double) : 0);
  const auto share = [&](std::int64_t idbytes) {
    const std::size_t limit = readinglimit(budget - idbytes, recordbytes);
    list.limit(limit, scratch_file);
    if (timed) times_.limit(limit, scratch_file);
  };
  share(0);
  // The transform, which also chooses the grid from the first position
  // when it is still to be chosen; the choice is announced by add(), in
  // the order a single thread would have announced it.
  result<void> chosen;
  bool announce = crs_ && !crs_->hasgrid();
  const auto transform = [&](csvbatch& batch) {
    if (crs_ && batch.size() != 0) {
      if (!crs_->hasgrid() && !(chosen = crs_->choosegrid(batch.x[0], batch.y[0]))) return false;
      crs_->forward(batch.x.data(), batch.y.data(), batch.size());
    }
    batch.number(ids_);
    return true;
  };
  const auto add = [&](const csvbatch& batch) {
    if (announce) print_grid_choice(err, progname, crs_->gridname());
    announce = false;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (std::isnan(batch.x[i]) || std::isnan(batch.y[i])) {
        reader.reject(batch.line[i], "position outside the area of the coordinate reference system");
        continue;
      }
      if (batch.object[i] < 0 && !batch.numbered) {
        reader.reject(batch.line[i], "more than 2147483647 distinct ids");
        continue;
      }
      list.push({batch.object[i], cellnumber(batch.x[i], size), cellnumber(batch.y[i], size)});
      // Object numbers outside the objects are never written, so their
      // order does not matter.
      if (timed && (!batch.numbered || (batch.object[i] >= 0 && batch.object[i] < cfg.nobjects))) {
        const auto id = static_cast<std::size_t>(batch.object[i]);
        if (id >= latest.size()) latest.resize(id + 1, -HUGE_VAL);
        unordered_ |= batch.time[i] < latest[id];
        latest[id] = std::max(latest[id], batch.time[i]);
        times_.push(batch.time[i]);
      }
    }
    share(batch.idbytes);
    if (tick) tick();
  };
  // A run asked to stop ends here rather than go on with part of the rows.
  const auto finished = [&]() -> result<void> {
    if (!stopped(cfg)) return {};
    return failure{"interrupted", ECANCELED};
  };
  if (input_.columns.strict) {
    csvbatch batch;
    while (!stopped(cfg) && reader.next(batch, batchrows)) {
      if (!transform(batch)) return chosen;
      add(batch);
      batch.clear();
      if (reader.failed()) break;
    }
    return finished();
  }
  // Three stages on their own threads: reading rows, transforming them,
  // and adding them; batches are swapped from stage to stage, not copied.
  reader.defer();
  // The bad rows met after the last good one come in a batch of no rows.
  bool ended = false;
  readahead<csvbatch> rows(3, [&reader, &ended, &cfg](csvbatch& batch) {
    batch.clear();
    if (ended) return false;
    ended = stopped(cfg) || !reader.next(batch, batchrows);
    return !ended || !batch.bad.empty() || batch.morebad != 0;
  });
  // A batch whose transform failed still goes on, for its bad rows to be
  // named as they would have been, and is the last.
  struct transformedbatch {
    csvbatch rows;
    bool ok = true;
  };
  bool more = true;
  readahead<transformedbatch> moved(2, [&](transformedbatch& batch) {
    csvbatch* read = more ? rows.next() : nullptr;
    if (read == nullptr) return false;
    std::swap(batch.rows, *read);
    rows.done();
    more = batch.ok = transform(batch.rows);
    return true;
  });
  while (const transformedbatch* batch = moved.next()) {
    reader.tally(batch->rows);
    if (!batch->ok) return chosen;
    add(batch->rows);
    moved.done();
  }
  return finished();
}

// A header of a part of `cfg`'s trace, read through `in`, that did not
// open (`why`): a read error is the trace's, named as such.
static failure headerfailure(const runconfig& cfg, const textin& in, failure why) {
  if (in.error() != 0) return {cannotread(cfg), in.error()};
  return why;
}

result<void> commandinput::readrange(const runconfig& cfg, std::FILE* f, std::int64_t start, std::int64_t end,
                                     recordlist& list, chunkedlist<double>& times, csvpart& part) {
  if (result<void> prepared = preparecrs({}); !prepared) return prepared;
  // The header, and the first good row for a grid CRS still to be chosen.
  std::fseek(f, 0, SEEK_SET);
  textin head(f);
  csvreader header(head, columns(), tracename(cfg), stderr);
  if (result<void> opened = header.open(); !opened) return headerfailure(cfg, head, std::move(opened.error()));
  part.chosen = crs_ && !crs_->hasgrid();
  if (part.chosen) {
    std::vector<badrow> ignored;
    header.continuefrom(header, &ignored);
    csvbatch first;
    if (header.next(first, 1)) {
      if (result<void> chosen = crs_->choosegrid(first.x[0], first.y[0]); !chosen) return chosen;
    }
  }
  if (crs_) part.gridcrs = crs_->gridname();
  // A part from the trace's start reads the header itself, so that its
  // lines count as the whole trace's do.
  if (fseeko(f, static_cast<off_t>(start), SEEK_SET) != 0) return failure{cannotread(cfg), lasterror().errnum};
  textin in(f);
  in.limit_to(static_cast<std::uint64_t>(end - start));
  csvreader reader(in, columns(), tracename(cfg), stderr);
  if (start == 0) {
    if (result<void> opened = reader.open(); !opened) return headerfailure(cfg, in, std::move(opened.error()));
  }
  reader.continuefrom(start == 0 ? reader : header, &part.named);
  ids_ = {};
  if (result<void> rows = readrows(reader, cfg, list, stderr, "cellfreq"); !rows) return rows;
  if (in.error() != 0) return failure{cannotread(cfg), in.error()};
  part.lines = reader.lines();
  part.clean = reader.endedclean();
  part.bad = reader.badrows();
  part.failed = reader.failed();
  ids_.seal();
  part.ids = std::move(ids_);
  ids_ = {};
  times = std::move(times_);
  return {};
}

// Settles the object and user counts that a CSV trace decides: as many
// objects as distinct ids, in whole users, unless --objects was given.
result<void> commandinput::settlecounts(runconfig& cfg) const {
  return settleobjects(input_, static_cast<std::int64_t>(ids_.size()), cfg);
}

result<void> settleobjects(const inputconfig& input, std::int64_t distinct, runconfig& cfg) {
  if (!input.csv || input.objectsgiven) return {};
  const auto group = static_cast<std::int64_t>(cfg.groupsize);
  const std::int64_t objects = std::max<std::int64_t>((distinct + group - 1) / group * group, group);
  if (objects > max_objects)
    return failure{"the trace has " + std::to_string(distinct) + " distinct ids, more than the 10000000 objects a run holds",
                   0, {}, status_failed, true};
  cfg.nobjects = static_cast<std::int32_t>(objects);
  const auto users = static_cast<std::int32_t>(objects / group);
  if (cfg.nusers > users)
    return failure{"invalid --users '" + std::to_string(cfg.nusers) + "': expected an integer from 1 to " +
                       std::to_string(users) + ", the number of users of the trace's " + std::to_string(distinct) +
                       " ids",
                   0, {}, status_usage, true};
  if (cfg.nusers == 0) cfg.nusers = users;
  return {};
}

csvoptions commandinput::columns() const {
  csvoptions opts = input_.columns;
  opts.degrees = crs_ && crs_->geographic();
  return opts;
}

void print_grid_choice(std::FILE* err, const char* progname, const std::string& grid) {
  std::fprintf(err, "%s: grid CRS %s, the UTM zone of the first position (--grid-crs chooses another)\n", progname,
               grid.c_str());
}

geojsonlayer commandinput::layer(const runconfig& cfg) const {
  geojsonlayer l;
  l.cellsize = cfg.cellsize;
  if (crs_) {
    l.gridcrs = crs_->gridname();
    const crstransform* t = crs_.get();
    l.project = [t](double* x, double* y, std::size_t n) { t->togeographic(x, y, n); };
  }
  return l;
}

}  // namespace cellfreq
