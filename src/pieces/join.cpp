// The join piece: the merges put together into the outputs the whole run
// gives. The report and the cell file are the merges' fragments in order of
// their users (copied, or with --join-placed left as gaps that --place
// pieces fill); the heat map comes from the merges' visits and frequent
// cells, and standard error gets what the whole run prints while it reads
// the trace.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>

#include "analysis/formats.h"
#include "cells/cellvisits.h"
#include "driver/outputs.h"
#include "pieces/steps.h"
#include "platform/tempfiles.h"

namespace cellfreq {
namespace {

namespace fs = std::filesystem;

// A merge's users, its fragments' seals and where their text lies, and the
// GeoJSON features of its report fragment.
struct mergeinfo {
  std::int64_t first = 0, last = 0;
  fragmentseal cells, report;
  std::int64_t features = 0;
  std::int64_t cellsat = 0, cellslength = 0, reportat = 0, reportlength = 0;
};

// Puts a merge's fragment into an output: copies it, or leaves its place.
using fragmentfn = std::function<void(const mergeinfo& m, bool cells, textout& to)>;
// Writes an output from the merges' fragments, each put by a fragmentfn.
using outputfn = std::function<void(textout&, const fragmentfn&)>;

// What the steps of the join share: its run and plan, and the merges read.
struct join {
  join(const commandline& c, commandinput& i, bool p) : cl(c), input(i), cfg(c.cfg), placed(p) {}

  const commandline& cl;
  commandinput& input;
  runconfig cfg;
  bool placed;  // --join-placed
  fingerprint fp;
  plan p;
  std::vector<mergeinfo> merges;  // in order of their users
  cellvisits visits;
  std::vector<cell> frequent;     // ascending, no repeats
  std::string missing;            // a fragment whose text could not be copied

  const std::string& work() const { return cl.piece.work; }
  std::string fragment(const mergeinfo& m, bool cells) const {
    return merge_name(work(), m.first, cells ? ".cells" : ".report");
  }
};

// Where a fragment's text begins: after its kind, version and fingerprint.
std::int64_t text_start(const fingerprint& fp) {
  pieceout start(piecekind::cells);
  putfingerprint(start, fp);
  return static_cast<std::int64_t>(start.bytes().size());
}

// Checks the fragment `path` whole against the seal its .heat holds; `at`
// and `length` receive where its text lies.
result<void> check_fragment(const std::string& path, piecekind kind, const fingerprint& fp, const fragmentseal& seal,
                            std::int64_t& at, std::int64_t& length) {
  piecein in;
  if (result<void> opened = openfragment(in, path, kind, fp, seal); !opened) return opened;
  at = in.at();
  length = in.end() - in.at();
  return {};
}

// Finds where the text of merge `m`'s fragments lies: checked whole now,
// or, when they are placed, by the sizes their .heat (read by `in`) gives,
// the --place pieces checking them.
result<void> locate_fragments(const join& j, piecein& in, const heatinfo& h, mergeinfo& m) {
  if (!j.placed) {
    if (result<void> cells = check_fragment(j.fragment(m, true), piecekind::cells, j.fp, h.cells, m.cellsat,
                                            m.cellslength);
        !cells)
      return cells;
    return check_fragment(j.fragment(m, false), piecekind::report, j.fp, h.report, m.reportat, m.reportlength);
  }
  const std::int64_t textat = text_start(j.fp);
  if (h.cells.size < textat + 4 || h.report.size < textat + 4) return in.damaged("its fragments' sizes are out of range");
  m.cellsat = m.reportat = textat;
  m.cellslength = h.cells.size - textat - 4;
  m.reportlength = h.report.size - textat - 4;
  return {};
}

// Reads the merge of the users from `first`: its .heat, its fragments'
// places, its visits and frequent cells.
result<void> load_merge(join& j, std::int64_t first) {
  piecein in;
  heatinfo h;
  mergeinfo m;
  m.first = first;
  if (result<void> loaded = loadheat(in, merge_name(j.work(), first, ".heat"), j.fp, first, j.p, h); !loaded) {
    if (loaded.error().errnum != ENOENT) return loaded;
    return failure{"no merge of the users from " + std::to_string(first) + " in " + inquotes(j.work()), 0, {},
                   status_failed, true};
  }
  m.cells = h.cells;
  m.report = h.report;
  m.features = h.features;
  m.last = h.last;
  if (result<void> located = locate_fragments(j, in, h, m); !located) return located;
  for (const auto& [k, v] : h.visits) j.visits.addcount(k, v);
  j.frequent.insert(j.frequent.end(), h.frequent.begin(), h.frequent.end());
  j.merges.push_back(m);
  return {};
}

// The merges, each starting where the one before it ended, over all users.
result<void> load_merges(join& j) {
  for (std::int64_t a = 0; a < j.p.users; a = j.merges.back().last)
    if (result<void> loaded = load_merge(j, a); !loaded) return loaded;
  std::sort(j.frequent.begin(), j.frequent.end());
  j.frequent.erase(std::unique(j.frequent.begin(), j.frequent.end()), j.frequent.end());
  return {};
}

// What the whole run prints while it reads a CSV trace, from the plan: the
// grid CRS chosen, the bad rows named and their count.
void print_reader_messages(const join& j, std::FILE* err) {
  const std::string name = tracename(j.cfg);
  if (j.p.chosen) print_grid_choice(err, "cellfreq", j.p.gridcrs);
  for (const badrow& b : j.p.named) print_bad_row(err, name, b);
  print_bad_count(err, name, j.p.bad);
}

// Copies a merge's fragment text into `to`; one that cannot be read all
// abandons `to` and is named in j.missing.
void copy_fragment(join& j, const mergeinfo& m, bool cells, textout& to) {
  const std::string path = j.fragment(m, cells);
  std::int64_t length = cells ? m.cellslength : m.reportlength;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  char buf[1 << 16];
  errno = 0;
  if (f != nullptr && fseeko(f.get(), static_cast<off_t>(cells ? m.cellsat : m.reportat), SEEK_SET) == 0)
    for (std::size_t n; length > 0 && (n = std::fread(buf, 1, std::min<std::size_t>(sizeof buf, static_cast<std::size_t>(length)), f.get())) > 0;) {
      to.put(std::string_view(buf, n));
      length -= static_cast<std::int64_t>(n);
    }
  if (length != 0 || f == nullptr) {
    j.missing = path;
    to.abandon(errno);
  }
}

// What copies the merges' fragments into an output.
fragmentfn copier(join& j) {
  return [&j](const mergeinfo& m, bool cells, textout& to) { copy_fragment(j, m, cells, to); };
}

// The report: a writer's head and end around the analysed users' fragments,
// a comma between two GeoJSON fragments that hold features.
void write_report(const join& j, textout& to, const fragmentfn& fragment) {
  const objectids ids{j.cl.input.csv ? &j.p.ids : nullptr, j.cfg.groupsize};
  reportwriter writer(j.cfg.style, j.cfg.threshold, to, ids, j.input.layer(j.cfg));
  bool features = false;
  for (const mergeinfo& m : j.merges) {
    if (m.first >= j.cfg.nusers) break;
    if (j.cfg.style.format == reportformat::geojson && m.features != 0 && features) to.put(',');
    features |= m.features != 0;
    fragment(m, false, to);
  }
  writer.finish();
}

// The cell file: every merge's fragment, in order.
void write_cell_file(const join& j, textout& to, const fragmentfn& fragment) {
  for (const mergeinfo& m : j.merges) fragment(m, true, to);
}

// Writes an output into the shared temporary `file`: the text write()
// puts, with a gap of each fragment's length where write() leaves one for
// a --place piece, listed in `places`. The file gets its whole size now.
result<void> write_placed(const join& j, atomic_file& file, const char* noun, const outputfn& write,
                          std::vector<textplace>& places) {
  std::string text;
  std::vector<std::pair<std::size_t, textplace>> gaps;
  {
    textout to(text);
    write(to, [&](const mergeinfo& m, bool cells, textout& out) {
      (void)out.flush();  // a string takes every byte
      textplace t;
      t.first = m.first;
      t.cells = cells;
      t.fragment = j.fragment(m, cells);
      t.target = fs::absolute(file.temp_name()).string();  // the same for pieces in other folders
      t.output = file.path();
      t.seal = cells ? m.cells : m.report;
      t.textat = cells ? m.cellsat : m.reportat;
      t.at = cells ? m.cellslength : m.reportlength;  // the length, until the offsets are known
      gaps.emplace_back(text.size(), t);
    });
    (void)to.flush();  // a string takes every byte
  }
  offset_writer writes(file.file());
  std::int64_t shift = 0;
  std::size_t from = 0;
  for (auto& [pos, t] : gaps) {
    const std::int64_t length = t.at;
    writes.put(static_cast<std::int64_t>(from) + shift, text.data() + from, pos - from);
    t.at = static_cast<std::int64_t>(pos) + shift;
    shift += length;
    from = pos;
    places.push_back(t);
  }
  const auto total = static_cast<std::int64_t>(text.size()) + shift;
  writes.put(static_cast<std::int64_t>(from) + shift, text.data() + from, text.size() - from);
  // A file that ends in a gap is made its full size by its last byte, which its place overwrites.
  if (from == text.size() && total > 0) writes.put(total - 1, "", 1);
  writes.flush();
  if (const result<void>& wrote = writes.outcome(); !wrote)
    return failure{cannot("write", noun, file.path()), wrote.error().errnum};
  return {};
}

// Writes the output `path` through `write` into `outputs`: its fragments
// copied, or, placed, left as gaps listed in `places` when it is a file.
result<void> write_output(join& j, outputset& outputs, const std::string& path, const char* noun,
                          const outputfn& write, std::vector<textplace>& places) {
  const auto copied = [&](textout& to) { write(to, copier(j)); };
  if (!j.placed) return outputs.write(path, noun, copied);
  result<atomic_file*> shared = outputs.openshared(path, noun);
  if (!shared) return std::move(shared.error());
  atomic_file& file = *shared.value();
  if (file.temp_name().empty()) return outputs.finish(file, copied);  // a device or a pipe
  if (result<void> placed = write_placed(j, file, noun, write, places); !placed) return placed;
  return outputs.finish(file, [](textout&) {});
}

// Writes every output of the run into `outputs`, not yet in place.
result<void> write_outputs(join& j, outputset& outputs, std::FILE* out, std::vector<textplace>& places) {
  const outputfn report = [&](textout& to, const fragmentfn& fragment) { write_report(j, to, fragment); };
  const outputfn cellfile = [&](textout& to, const fragmentfn& fragment) { write_cell_file(j, to, fragment); };
  result<void> done = j.cfg.outputpath.empty()
                          ? writereport(j.cfg, out, [&](textout& to) { write_report(j, to, copier(j)); }, &outputs)
                          : write_output(j, outputs, j.cfg.outputpath, "report", report, places);
  if (done && !j.cfg.cellpath.empty()) done = write_output(j, outputs, j.cfg.cellpath, "cell file", cellfile, places);
  const geojsonlayer layer = j.input.layer(j.cfg);
  const objectids ids{j.cl.input.csv ? &j.p.ids : nullptr, j.cfg.groupsize};
  if (done) done = writeheatmap(j.cfg, j.visits, j.frequent, layer, &outputs);
  if (done) done = writeidmapfile(j.cfg, ids, &outputs);
  // A fragment that could not be copied abandoned its output: its failure is the one told.
  if (!j.missing.empty()) return failure{"cannot read " + inquotes(j.missing), errno != 0 ? errno : EIO};
  return done;
}

// How the one who ran the pieces answered on standard input.
enum class answer { commit, abandon };

// Lists the places for the --place pieces, then waits for the word on
// standard input: "commit" puts the outputs in place, "abandon" ends the
// join quietly (its caller names the failure), anything else fails it.
result<answer> await_commit(const join& j, const std::vector<textplace>& places) {
  char line[16] = {};
  if (result<void> saved = saveplaces(places_name(j.work()), j.fp, places); !saved) return std::move(saved.error());
  if (std::fgets(line, sizeof line, stdin) != nullptr && std::string_view(line) == "commit\n") return answer::commit;
  if (std::string_view(line) == "abandon\n") return answer::abandon;
  return failure{"no 'commit' on standard input: no outputs were written", 0, {}, status_failed, true};
}

// Checks every merge's mark that its text is in place.
result<void> all_placed(const join& j) {
  const std::vector<mergeinfo>& merges = j.merges;
  for (std::size_t i = 0; i < merges.size(); ++i) {
    piecein in;
    std::int64_t first = -1;
    if (!in.open(placed_name(j.work(), merges[i].first), piecekind::placed, true) || !checkfingerprint(in, j.fp) ||
        !in.get(first, "merge") || (first != merges[i].first && !in.damaged("it names another merge"))) {
      result<void> failed = in.outcome();
      if (failed.error().errnum != ENOENT) return failed;
      return failure{"the merge of the users from " + std::to_string(merges[i].first) +
                         " was not placed: no outputs were written",
                     0, {}, status_failed, true};
    }
  }
  return {};
}

// The join's steps in order; an "abandon" on standard input ends it with
// status_failed and no message, which `abandoned` tells.
result<void> run_join(join& j, std::FILE* out, std::FILE* err, bool& abandoned) {
  if (result<void> started = start_from_plan(j.cl, j.input, j.cfg, j.fp, j.p); !started) return started;
  if (result<void> loaded = load_merges(j); !loaded) return loaded;
  print_reader_messages(j, err);
  std::vector<textplace> places;
  outputset outputs;
  if (result<void> written = write_outputs(j, outputs, out, places); !written) return written;
  if (j.placed) {
    result<answer> a = await_commit(j, places);
    if (!a) return std::move(a.error());
    abandoned = a.value() == answer::abandon;
    if (abandoned) return {};
    if (result<void> placed = all_placed(j); !placed) return placed;
  }
  return outputs.commit();
}

}  // namespace

int join_piece(const commandline& cl, commandinput& input, std::FILE* out, std::FILE* err, bool placed) {
  join j(cl, input, placed);
  bool abandoned = false;
  const result<void> done = run_join(j, out, err, abandoned);
  return abandoned ? status_failed : piece_status(done, err);
}

}  // namespace cellfreq
