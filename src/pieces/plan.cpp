// The plan piece: checks that the parts tile the trace and that each one
// begins where the sequential parse would have been, parses again where
// that cannot be proved, numbers a CSV trace's ids over the parts in
// order, and cuts the users into ranges of about equal work.
//
// The split rule is the two-thread reader's: a part is taken as parsed when
// the part before it ended exactly at its start with a closed record and it
// took no value from before its start (see parsestate). Otherwise the part
// and the one before it are parsed again as one, from the state in which
// the part before that one ended, which the sequential parse shares.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include "cells/grouping.h"
#include "pieces/steps.h"

namespace cellfreq {
namespace {

namespace fs = std::filesystem;

using tracefile = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// The parts of `work`, ordered by their start; a failure when one cannot
// be read or is not of this run, or they do not tile the trace.
result<void> load_parts(const commandline& cl, const fingerprint& fp, std::vector<partinfo>& parts) {
  const std::string& work = cl.piece.work;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(work, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("part-", 0) != 0 || e.path().extension() != ".bin") continue;
    partinfo p;
    if (result<void> read = read_part(cl, fp, e.path().string(), p); !read) return read;
    parts.push_back(std::move(p));
  }
  if (ec) return failure{"cannot read folder " + inquotes(work), ec.value()};
  // Several small ranges can hold no line start, and so all begin at the same one.
  std::sort(parts.begin(), parts.end(), [](const partinfo& a, const partinfo& b) {
    return a.head.start != b.head.start ? a.head.start < b.head.start : a.head.end < b.head.end;
  });
  bool tiled = !parts.empty() && parts.front().head.start == 0 && parts.back().head.end == fp.trace.size;
  for (std::size_t i = 1; tiled && i < parts.size(); ++i) tiled = parts[i].head.start == parts[i - 1].head.end;
  if (!tiled)
    return failure{"the parts in " + inquotes(work) + " do not cover the trace from its start to its end", 0, {},
                   status_failed, true};
  return {};
}

// Whether part `p` is proved to begin where the sequential parse stood,
// after `prev`, the part accepted before it.
bool proved_after(const partinfo& prev, const partinfo& p, bool csv) {
  return csv ? prev.head.clean : prev.head.state.cleanend && prev.head.state.fieldno == 0 && !p.head.state.guessed;
}

// What the steps that build the chain of accepted parts share.
struct chainer {
  const commandline& cl;
  commandinput& input;
  std::FILE* trace;
  const fingerprint& fp;

  // A TAB part that took a value from before its start, after one that
  // ended where the parse can resume, parsed again alone from the state
  // that one ended in: the sequential parse's there.
  result<void> reparse_alone(const partinfo& prev, const partinfo& p, partinfo& again) {
    parsestate state = prev.head.state;
    state.vknown = state.wknown = true;
    state.guessed = false;
    const std::string path = (fs::path(cl.piece.work) / ("reparse-" + std::to_string(p.head.start) + ".bin")).string();
    if (result<void> written = write_part(cl.cfg, input, cl.input.csv, trace, fp, p.head.start, p.head.end, state, path);
        !written)
      return written;
    return read_part(cl, fp, path, again);
  }

  // The last part of `chain` and `p` parsed again as one, from where the
  // sequential parse stands at the start of the first: the part before it
  // ended clean there. A TAB pair is written as two parts split at its
  // last line end from which the parse can be resumed, so that the next
  // boundary that cannot be proved re-parses the short tail and the next
  // part, not the chain.
  result<void> reparse_pair(std::vector<partinfo>& chain, const partinfo& p) {
    const partinfo& prev = chain.back();
    parsestate state;
    if (chain.size() >= 2) {
      const parsestate& before = chain[chain.size() - 2].head.state;
      state.v = before.v;
      state.w = before.w;
      state.nrec = before.nrec;
    }
    const std::string name = "reparse-" + std::to_string(prev.head.start) + "-" + std::to_string(p.head.end);
    const std::string path = (fs::path(cl.piece.work) / (name + ".bin")).string();
    const std::string tailpath = (fs::path(cl.piece.work) / (name + "-tail.bin")).string();
    partinfo joined, tail;
    bool split = false;
    if (result<void> written =
            write_part(cl.cfg, input, cl.input.csv, trace, fp, prev.head.start, p.head.end, state, path, tailpath, &split);
        !written)
      return written;
    if (result<void> read = read_part(cl, fp, path, joined); !read) return read;
    if (split)
      if (result<void> read = read_part(cl, fp, tailpath, tail); !read) return read;
    chain.back() = std::move(joined);
    if (split) chain.push_back(std::move(tail));
    return {};
  }

  // Adds part `p` to `chain`: as it is when proved, else parsed again.
  result<void> add(std::vector<partinfo>& chain, partinfo& p) {
    if (chain.empty()) {
      chain.push_back(std::move(p));
      return {};
    }
    const partinfo& prev = chain.back();
    if (proved_after(prev, p, cl.input.csv)) {
      // A value the part never read is the one the parse carried into it,
      // which a later re-parse from its end must start from.
      parsestate& s = p.head.state;
      if (!s.vknown) s.v = prev.head.state.v;
      if (!s.wknown) s.w = prev.head.state.w;
      chain.push_back(std::move(p));
      return {};
    }
    if (!cl.input.csv && prev.head.state.cleanend && prev.head.state.fieldno == 0) {
      partinfo again;
      if (result<void> parsed = reparse_alone(prev, p, again); !parsed) return parsed;
      chain.push_back(std::move(again));
      return {};
    }
    return reparse_pair(chain, p);
  }
};

// The parts, in order, as the sequential parse reads the trace: each one
// accepted, or parsed again with the one before it; none past a Ctrl-Z.
result<void> chain_parts(chainer& c, std::vector<partinfo>& parts, std::vector<partinfo>& chain) {
  for (partinfo& p : parts) {
    if (!chain.empty() && chain.back().head.final) break;  // a Ctrl-Z ended the trace
    if (p.head.start == p.head.end && p.head.size != 0) continue;  // an empty range
    if (result<void> added = c.add(chain, p); !added) return added;
  }
  return {};
}

// Lists the chain's parts in the plan `pl`. A CSV trace's ids are numbered
// in order of first appearance over the parts in order, and its lines
// counted from the trace's start. A failure when --strict met a bad row:
// the last one named is printed on `err` as the whole run prints it.
result<void> number_parts(const runconfig& cfg, bool csv, std::vector<partinfo>& chain, plan& pl, std::FILE* err) {
  std::int64_t lines = 0;
  for (partinfo& p : chain) {
    std::vector<std::int32_t> map;
    if (csv) {
      for (const std::string_view id : p.ids) map.push_back(pl.ids.number(id));
      for (const badrow& b : p.named)
        if (static_cast<std::int64_t>(pl.named.size()) < csvreader::named_max) pl.named.push_back({b.line + lines, b.reason});
      pl.bad += p.head.bad;
      lines += p.head.lines;
      if (pl.gridcrs.empty()) {
        pl.gridcrs = p.gridcrs;
        pl.chosen = p.head.chosen;
      }
      if (p.head.failed) {
        if (!pl.named.empty()) print_bad_row(err, tracename(cfg), pl.named.back());
        return failure{"stopped at the first bad row of " + tracename(cfg) + " (--strict)", 0, {}, status_failed, true};
      }
    }
    pl.parts.push_back(p.path);
    pl.objects.push_back(std::move(map));
  }
  return {};
}

// Settles the run's objects and users from the ids counted, and which CSV
// objects are past them; sets the users of each block of the plan.
result<void> settle_users(const commandline& cl, runconfig& cfg, plan& pl) {
  if (result<void> settled = settleobjects(cl.input, static_cast<std::int64_t>(pl.ids.size()), cfg); !settled)
    return settled;
  for (auto& map : pl.objects)
    for (std::int32_t& o : map)
      if (o >= cfg.nobjects) o = -1;
  pl.nobjects = cfg.nobjects;
  pl.nusers = cfg.nusers;
  pl.users = cfg.nobjects / cfg.groupsize;
  // A TAB part's directory gives the records of each block of users; a CSV
  // part's objects are numbered apart, so its index gives each user's.
  pl.blockusers = cl.input.csv ? 1 : std::min<std::int64_t>(blocksize(cfg.groupsize) / cfg.groupsize, pl.users);
  const auto users = static_cast<std::size_t>(pl.users), per = static_cast<std::size_t>(pl.blockusers);
  pl.blockcount.assign((users + per - 1) / per, 0);
  return {};
}

// Counts the records of each block of users over the chain's parts: from
// a TAB part's directory, from a CSV part's index through its object map.
result<void> count_blocks(const runconfig& cfg, bool csv, const std::vector<partinfo>& chain, plan& pl) {
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const partinfo& part = chain[i];
    piecein in;
    std::vector<indexentry> index;
    std::int64_t at = 0;
    for (std::size_t b = 0; b < part.blocks.size(); ++b) {
      if (!csv) {
        pl.blockcount[static_cast<std::size_t>(part.blocks[b].first / cfg.groupsize / pl.blockusers)] += part.blocks[b].records;
        continue;
      }
      if (b == 0)
        if (result<void> opened = in.open(part.path, piecekind::part, false); !opened) return opened;
      if (result<void> loaded = loadblock(in, part, b, index, at); !loaded) return loaded;
      for (const indexentry& e : index) {
        const auto local = static_cast<std::size_t>(e.object);
        const std::int32_t o = local < pl.objects[i].size() ? pl.objects[i][local] : -1;
        if (o >= 0 && o < cfg.nobjects) pl.blockcount[static_cast<std::size_t>(o / cfg.groupsize)] += e.count;
      }
    }
  }
  return {};
}

// Each user's share of its block's records.
std::vector<std::int64_t> user_counts(const plan& pl) {
  const auto users = static_cast<std::size_t>(pl.users), bu = static_cast<std::size_t>(pl.blockusers);
  std::vector<std::int64_t> counts(users, 0);
  for (std::size_t b = 0; b < pl.blockcount.size(); ++b) {
    const std::size_t in = std::min(bu, users - b * bu);
    for (std::size_t k = 0; k < in; ++k)
      counts[b * bu + k] = pl.blockcount[b] / static_cast<std::int64_t>(in) +
                           (static_cast<std::int64_t>(k) < pl.blockcount[b] % static_cast<std::int64_t>(in) ? 1 : 0);
  }
  return counts;
}

// Prints at most `merges` user ranges "FIRST:LAST" of about equal numbers
// of visits by `counts`, each at least one user, on `out`.
bool print_ranges(std::FILE* out, const std::vector<std::int64_t>& counts, std::int64_t merges) {
  const std::size_t users = counts.size();
  std::int64_t total = 0;
  for (const std::int64_t c : counts) total += c;
  const std::int64_t pieces = std::clamp<std::int64_t>(merges, 1, static_cast<std::int64_t>(users));
  std::size_t from = 0;
  std::int64_t seen = 0;
  for (std::int64_t k = 1; k <= pieces; ++k) {
    std::size_t to = from + 1;
    seen += counts[from];
    const std::int64_t goal = total / pieces * k;
    while (to < users && static_cast<std::int64_t>(users - to) > pieces - k && (k == pieces || seen + counts[to] <= goal))
      seen += counts[to++];
    if (k == pieces) to = users;
    std::fprintf(out, "%zu:%zu\n", from, to);
    from = to;
    if (from >= users) break;
  }
  return std::fflush(out) == 0;
}

// The plan's steps on the open trace `f`, which stays open for the parts to
// parse again; `pl` receives the plan, saved.
result<void> make_plan(const commandline& cl, commandinput& input, std::FILE* f, std::FILE* err, plan& pl) {
  runconfig cfg = cl.cfg;
  result<fingerprint> fp = fingerprint_of(cl, f);
  if (!fp) return std::move(fp.error());
  std::vector<partinfo> parts, chain;
  if (result<void> loaded = load_parts(cl, fp.value(), parts); !loaded) return loaded;
  chainer c{cl, input, f, fp.value()};
  if (result<void> chained = chain_parts(c, parts, chain); !chained) return chained;
  if (result<void> numbered = number_parts(cfg, cl.input.csv, chain, pl, err); !numbered) return numbered;
  if (result<void> settled = settle_users(cl, cfg, pl); !settled) return settled;
  if (result<void> counted = count_blocks(cfg, cl.input.csv, chain, pl); !counted) return counted;
  return saveplan(plan_name(cl.piece.work), fp.value(), pl);
}

}  // namespace

int plan_piece(const commandline& cl, commandinput& input, std::FILE* out, std::FILE* err) {
  const result<std::FILE*> f = opentrace(cl.cfg);
  if (!f) return piece_status(f.error(), err);
  const tracefile trace(f.value(), std::fclose);
  plan pl;
  if (const result<void> made = make_plan(cl, input, trace.get(), err, pl); !made) return piece_status(made, err);
  return print_ranges(out, user_counts(pl), cl.piece.merges) ? status_ok : status_failed;
}

}  // namespace cellfreq
