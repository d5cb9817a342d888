// The pass sequence and its failure handling.
//
// The trace is read completely before the cell file is created, so a trace
// that cannot be read never costs the previous cell file. Every write is
// checked up to the close of the file, and the table is only filled from a
// cell file that was written, closed and reopened without error. Optional
// outputs (a report file, the heat map) are created only once everything
// before them succeeded, and each is renamed into place only when complete,
// so a failed or interrupted run leaves no half-made files.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/formats.h"
#include "analysis/heatmap.h"
#include "analysis/readback.h"
#include "analysis/report.h"
#include "cells/celltable.h"
#include "cells/grouping.h"
#include "driver/lastresort.h"
#include "driver/outputs.h"
#include "driver/progress.h"
#include "driver/runconfig.h"
#include "platform/signals.h"
#include "platform/tempfiles.h"
#include "trace/recordlist.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace cellfreq {
namespace {

// Closes `f`: a failed close is a failure, as a failed write is.
result<void> closefile(std::FILE* f) {
  errno = 0;
  if (std::fclose(f) != 0) return lasterror();
  return {};
}

// How messages name the cell file: the path given, or the folder of the
// temporary one, which has no name.
const char* cellnoun(const runconfig& cfg) {
  return cfg.cellpath.empty() ? "temporary cell file in folder" : "cell file";
}

result<void> readpass(runconfig& cfg, recordlist& list, std::FILE* err, const char* progname, runextras* extras) {
  const activity doing("reading the trace");
  if (extras != nullptr) return extras->read(cfg, list, err, progname);
  result<std::FILE*> f = opentrace(cfg);
  if (!f) return std::move(f.error());
  return readtab(cfg, f.value(), list, err, progname);
}

// Writes the cell file from `list` (and `times`, which order each object's
// records when given), emptying them, into `file`, one of `outputs`: a
// nameless temporary when none is configured, else the configured path,
// put in place with the other outputs or, for the fixed programs, written
// in place. `cells` receives what reading it back needs, and the visits
// per cell when a heat map is asked for.
result<void> cellpass(const runconfig& cfg, std::int64_t budget, outputset& outputs, atomic_file*& file,
                      recordlist& list, chunkedlist<double>* times, bool countvisits, grouped& cells) {
  if (result<void> kept = first(spillok(list.error()), spillok(times != nullptr ? times->error() : 0)); !kept)
    return kept;
  const cellform form{cfg.groupsize, cfg.exactcells};
  const placement how = cfg.cellpath.empty() ? placement::temporary
                        : cfg.replacecells  ? placement::replace
                                            : placement::inplace;
  const activity doing("grouping the records");
  result<atomic_file*> opened = outputs.open(cfg.cellpath, how, cellnoun(cfg), true);
  if (!opened) return std::move(opened.error());
  file = opened.value();
  result<void> spilled;
  result<void> written = outputs.finish(*file, [&](textout& out) {
    cells.codecount.assign(static_cast<std::size_t>(cfg.nobjects / cfg.groupsize), 0);
    spilled = groupcells(list, times, 0, cfg.nobjects, form, budget, countvisits, out, cells);
  });
  if (!written) file = nullptr;
  // A scratch file that failed abandoned the cell file: its failure is the one told.
  return first(spillok(errnumof(spilled)), std::move(written));
}

// Reads the cell file back (this run's own, through a descriptor of its
// own) a range of users at a time, as many as the table's share of the
// budget holds, and writes each range's part of the report into
// `outputs` or on `report`. `frequent`, when given, receives the cells that
// are frequent for some user, and `mapped`, when given, every user's
// frequent cells for the map. With a `sink`, the users' rows go there
// instead of the report. A cell file that cannot be read back fails the run
// before any report is written when its table fits at once, and otherwise
// ends the report unfinished; its failure is then the one told, since the
// report's is only its consequence.
result<void> reportpass(const runconfig& cfg, std::int64_t budget, atomic_file& cellfile, const grouped& cells,
                        const objectids& ids, const geojsonlayer& layer, std::vector<cell>* frequent,
                        mapusers* mapped, runsink* sink, std::FILE* report, outputset& outputs) {
  const activity doing("writing the report");
  const std::string& cellpath = cellfile.path();
  result<std::FILE*> back = cellfile.read_back();
  if (!back) return failure{cannot("reopen", cellnoun(cfg), cellpath), back.error().errnum};
  std::FILE* f = back.value();
  textin in(f);
  user_readback users(in, cells, 0, cfg.nusers, budget, {cfg.threshold, frequent, mapped, cfg.stop});
  // Closes the cell file; of its read error, a failed close and the
  // reading's own failure `read`, the first names the cell file.
  const auto finishread = [&](result<void> read) -> result<void> {
    result<void> done = first(first(fromerrno(in.error()), closefile(f)), std::move(read));
    if (done) return done;
    return failure{cannot("read", cellnoun(cfg), cellpath), done.error().errnum, done.error().reason};
  };
  // A table that fits at once is read, and the file closed, before any of
  // the report is written, so that a cell file that fails to read back
  // costs no output; only a larger one is read as the report is written.
  const bool atonce = users.at_once();
  if (atonce)
    if (result<void> loaded = finishread(users.read_at_once()); !loaded) return loaded;
  result<void> read;
  result<void> done;
  if (sink == nullptr) {
    done = writereport(cfg, report, [&](textout& out) {
      reportwriter writer(cfg.style, cfg.threshold, out, ids, layer);
      read = users.report(writer, out);
    }, &outputs);
  } else {
    result<bool> all = users.each_range([] { return true; }, [&](std::int32_t from, std::int32_t to) {
      sink->users(users.table(), cells.codecount, from, to, cfg.threshold);
    });
    if (!all) read = std::move(all.error());
    else if (!all.value()) done = failure{"interrupted", ECANCELED};
  }
  if (!atonce) return first(finishread(std::move(read)), std::move(done));
  return done;
}

}  // namespace

result<std::FILE*> opentrace(const runconfig& cfg) {
  if (cfg.tracepath == stdin_path && cfg.tracestream != nullptr) return cfg.tracestream;
  if (cfg.tracepath == stdin_path) {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);  // line ends are translated by the reader
#endif
#ifdef F_SETPIPE_SZ
    // A pipe of 1 MiB rather than 64 KiB: the writer and the reader then
    // take turns a sixteenth as often. Where the system refuses, the pipe
    // simply stays as it is.
    (void)fcntl(fileno(stdin), F_SETPIPE_SZ, 1 << 20);
#endif
    return stdin;
  }
  errno = 0;
  std::FILE* f = std::fopen(cfg.tracepath.c_str(), "rb");
  if (f == nullptr) return failure{"cannot open trace " + inquotes(cfg.tracepath), errno};
  return f;
}

std::string cannotread(const runconfig& cfg) {
  return cfg.tracepath == stdin_path ? std::string("cannot read trace from standard input")
                                     : "cannot read trace " + inquotes(cfg.tracepath);
}

std::int64_t regularsize(std::FILE* f) {
#ifdef _WIN32
  struct _stat64 st {};
  return _fstat64(_fileno(f), &st) == 0 && (st.st_mode & _S_IFREG) != 0 ? st.st_size : -1;
#else
  struct stat st {};
  return ::fstat(::fileno(f), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : -1;
#endif
}

result<void> closetrace(const runconfig& cfg, std::FILE* f, std::int64_t startsize, int errnum) {
  // A trace written to, cut or replaced in place while it was read gives
  // records of neither version: its size is the sign that tells.
  const std::int64_t endsize = errnum == 0 && startsize >= 0 ? regularsize(f) : startsize;
  result<void> read = fromerrno(errnum);
  if (cfg.tracepath != stdin_path) read = first(std::move(read), closefile(f));
  if (!read) return failure{cannotread(cfg), read.error().errnum};
  if (endsize == startsize) return {};
  std::string what = cfg.tracepath == stdin_path ? std::string("the trace on standard input")
                                                  : "trace " + inquotes(cfg.tracepath);
  what.append(" changed while it was read: ").append(std::to_string(startsize)).append(" bytes at the start, ");
  what.append(std::to_string(endsize)).append(" at the end");
  return failure{what, 0, {}, status_failed, true};
}

result<void> readtab(const runconfig& cfg, std::FILE* f, recordlist& list, std::FILE* err, const char* progname) {
  const std::int64_t size = regularsize(f);
  std::optional<progressline> progress;
  if (cfg.progress) progress.emplace(err, progname, f, list, cfg.onprogress);
  filesource file(f);
  stoppablesource src(file, cfg.stop);
  const result<std::int64_t> nrec = readtracefile(src, cfg.cellsize, list, progress ? &progressline::onblock : nullptr,
                                                   progress ? &*progress : nullptr);
  // A failed read keeps the records before it and the one being filled.
  if (progress) progress->finish(nrec ? nrec.value() : static_cast<std::int64_t>(list.size()) - 1, nrec.ok());
  return closetrace(cfg, f, size, nrec ? 0 : nrec.error().errnum);
}

int run(const runconfig& cfg, std::FILE* report, std::FILE* err, const char* progname, runextras* extras) {
  const result<void> ran = runpasses(cfg, report, err, progname, extras);
  return ran ? status_ok : reportfailure(ran.error(), err, progname);
}

result<void> runpasses(const runconfig& config, std::FILE* report, std::FILE* err, const char* progname,
                       runextras* extras) {
  runconfig cfg = config;
  const std::int64_t budget = memorybudget(cfg.memorylimit);
  runsink* sink = extras != nullptr ? extras->sink() : nullptr;
  const bool mapwanted = !cfg.mappath.empty() || (sink != nullptr && sink->wantsmap());
  const bool countvisits = !cfg.heatmappath.empty() || mapwanted || (sink != nullptr && sink->wantsvisits());
  grouped cells;
  outputset outputs(cfg.stop);
  atomic_file* cellfile = nullptr;
  result<void> done;
  {
    recordlist list;
    list.limit(readinglimit(budget, sizeof(node)), scratch_file);
    done = readpass(cfg, list, err, progname, extras);
    if (done)
      done = cellpass(cfg, budget, outputs, cellfile, list, extras != nullptr ? extras->times() : nullptr,
                      countvisits, cells);
  }
  const objectids ids{extras != nullptr ? extras->ids() : nullptr, cfg.groupsize};
  std::vector<cell> frequent;
  if (done) {
    geojsonlayer layer;
    if (extras != nullptr) layer = extras->layer(cfg);
    else layer.cellsize = cfg.cellsize;
    const bool svg = !cfg.heatmappath.empty() && !isgeojson(cfg.heatmappath);
    mapusers mapped(ids);
    done = reportpass(cfg, budget, *cellfile, cells, ids, layer, svg ? &frequent : nullptr,
                      mapwanted ? &mapped : nullptr, sink, report, outputs);
    const activity doing("writing the outputs");
    if (done) done = writeheatmap(cfg, cells.visits, frequent, layer, &outputs);
    if (done) done = writemap(cfg, cells.visits, mapped, layer, &outputs);
    if (done) done = writeidmapfile(cfg, ids, &outputs);
    if (done && sink != nullptr) {
      std::string page;
      if (sink->wantsmap()) {
        textout out(page);
        writemappage(aggregate(cells.visits, {}, maplimits), cells.visits, mapped, layer, out);
        (void)out.flush();  // a string takes every byte
      }
      sink->finish(cfg, cells.visits, std::move(page));
    }
    // A run asked to stop puts nothing in place, however far it got.
    if (done && stopped(cfg)) done = failure{"interrupted", ECANCELED};
    if (done) done = outputs.commit();
  }
  chunk_trim();
  return done;
}

std::string failuretext(const failure& fail) {
  if (fail.whole) return fail.what;
  return fail.what + ": " +
         (!fail.reason.empty() ? fail.reason : std::string(std::strerror(fail.errnum != 0 ? fail.errnum : EIO)));
}

int reportfailure(const failure& fail, std::FILE* err, const char* progname) {
  std::fprintf(err, "%s: %s\n", progname, failuretext(fail).c_str());
  std::fflush(err);
  return fail.status;
}

bool isgeojson(const std::string& path) {
  const std::string_view ext = ".geojson";
  return path.size() >= ext.size() && path.compare(path.size() - ext.size(), ext.size(), ext) == 0;
}

std::string cannot(const char* verb, const char* noun, const std::string& path) {
  std::string w = "cannot ";
  w.append(verb).append(" ").append(noun).append(" ").append(inquotes(path));
  return w;
}

std::string inquotes(const std::string& path) {
  std::string q = "'";
  q.append(path).append("'");
  return q;
}

result<void> spillok(int errnum) {
  if (errnum == 0) return {};
  return failure{"cannot spill records to folder " + inquotes(temp_folder()), errnum};
}

result<void> writeheatmap(const runconfig& cfg, const cellvisits& visits, const std::vector<cell>& frequent,
                          const geojsonlayer& layer, outputset* outputs) {
  if (cfg.heatmappath.empty()) return {};
  if (isgeojson(cfg.heatmappath))
    return writeoutput(outputs, cfg.heatmappath, "heat map", [&](textout& out) {
      geojsonwriter writer(layer, out);
      writeheat(visits, writer);
      writer.finish();
    });
  const heatgrid grid = aggregate(visits, frequent);
  return writeoutput(outputs, cfg.heatmappath, "heat map", [&](textout& out) { writesvg(grid, cfg.cellsize, out); });
}

result<void> writemap(const runconfig& cfg, const cellvisits& visits, const mapusers& users,
                      const geojsonlayer& layer, outputset* outputs) {
  if (cfg.mappath.empty()) return {};
  const heatgrid grid = aggregate(visits, {}, maplimits);
  return writeoutput(outputs, cfg.mappath, "map", [&](textout& out) { writemappage(grid, visits, users, layer, out); });
}

result<void> writeidmapfile(const runconfig& cfg, const objectids& ids, outputset* outputs) {
  if (cfg.idmappath.empty()) return {};
  return writeoutput(outputs, cfg.idmappath, "id map", [&](textout& out) {
    out.put("object,id");
    out.newline();
    if (ids.ids == nullptr) return;
    for (std::size_t i = 0; i < ids.ids->size() && !out.failed(); ++i) {
      out.putint(static_cast<std::int64_t>(i));
      out.put(',');
      putcsv(out, (*ids.ids)[i]);
      out.newline();
    }
  });
}

result<void> replacefile(const std::string& path, const char* noun, const std::function<void(textout&)>& write) {
  outputset one;
  if (result<void> written = one.write(path, noun, write); !written) return written;
  return one.commit();
}

result<void> writeoutput(outputset* outputs, const std::string& path, const char* noun,
                         const std::function<void(textout&)>& write) {
  return outputs != nullptr ? outputs->write(path, noun, write) : replacefile(path, noun, write);
}

result<void> writereport(const runconfig& cfg, std::FILE* report, const std::function<void(textout&)>& write,
                         outputset* outputs) {
  if (!cfg.outputpath.empty()) return writeoutput(outputs, cfg.outputpath, "report", write);
  result<void> written = writeall(report, write);
  if (written) return written;
  return failure{"cannot write report", written.error().errnum};
}

void prepare_standard_streams() {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#else
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // Read-only, so that writing to a closed standard output still fails.
      const int placeholder = open("/dev/null", O_RDONLY);
      if (placeholder >= 0 && placeholder != fd) {
        dup2(placeholder, fd);
        close(placeholder);
      }
    }
  }
#endif
}

void pause() {
  // The report must stand before the interpreter's prompt in redirected output.
  std::fflush(stdout);
  const int ignored = std::system("PAUSE");
  (void)ignored;
}

int runfixed(const runconfig& cfg, const char* progname) {
  prepare_standard_streams();
  catch_signals(progname);
  const int status = lastresort(progname, [&] { return run(cfg, stdout, stderr, progname); });
  pause();
  return status;
}

}  // namespace cellfreq
