// The files a run in pieces passes on, each in the frame of piecefile.h,
// bound to its run by a fingerprint, and read back validated.
//
// A part file (WORK/part-START.bin) holds the range it parsed, the parser's
// state at its end and a directory of blocks, then (sealed with it) nothing
// else: behind the seal come the index of (object, checksum, count), the
// records grouped by object (trace order within an object), their times
// and, for a CSV trace, its ids, named bad rows and grid CRS. A block is a
// fixed range of object numbers; the directory gives each block's index
// entries, records, and the checksums of its index, records and times, and
// of the CSV section. So a merge reads the directory and only the blocks of
// its own objects, each index block checked against the directory and each
// object's records against its index entry, and the plan reads the
// directory alone (and a CSV part's ids and index), checking the whole
// file's final checksum from the directory's without reading the records.
// A part is written in windows of records that fit the memory budget.
//
// The plan (WORK/plan.bin) lists the parts in order and the records of
// every block of users, from which the merges' ranges are cut.
// A merge writes WORK/merge-FIRST.cells (its cell-file lines), .report (its
// report fragment), both text between the frame's start and its checksum,
// and .heat (its cells' visits, its frequent cells, and the size and
// checksum of the other two), written last, so that a merge whose .heat
// exists is complete and its fragments are known to be the ones it wrote.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cells/celltable.h"
#include "pieces/fingerprint.h"
#include "trace/csvtrace.h"
#include "trace/idtable.h"
#include "trace/recordlist.h"

namespace cellfreq {

// What a part file says about its range, before the index and the records.
struct partheader {
  std::int64_t start = 0, end = 0, size = 0;  // the range parsed, and the trace's size
  parsestate state;                           // at the end of the range
  bool final = false;                         // the trace ends in this range
  bool csv = false;                           // a CSV trace: the fields below count
  bool clean = true;                          // the range ended at a row's start
  bool failed = false;                        // strict mode met a bad row
  bool timed = false;                         // times follow the records
  bool chosen = false;                        // the grid CRS was chosen from the first row
  std::int64_t lines = 0, bad = 0;            // line feeds read, bad rows
};

struct indexentry {
  std::int32_t object = 0;
  std::uint32_t crc = 0;  // of the object's records, then of their times
  std::int64_t count = 0;
};

// One block of a part's index: the objects from `first` to
// first + blockobjects - 1 that have records.
struct indexblock {
  std::int32_t first = 0;
  std::uint32_t indexcrc = 0;  // of its index entries
  std::int64_t entries = 0, records = 0;
  std::uint32_t recordscrc = 0, timescrc = 0;  // of its records, of their times
};

// A part file as read: its header and directory, where its index, records,
// times and CSV section lie, and, read with `whole`, a CSV part's ids by
// its own object numbers, named bad rows and grid CRS.
struct partinfo {
  std::string path;
  partheader head;
  std::int64_t blockobjects = 0;  // object numbers per block
  std::vector<indexblock> blocks;
  std::int64_t entries = 0;    // index entries in all
  std::int64_t records = 0;    // in all
  std::vector<std::int64_t> firstentry, firstrecord;  // per block: its first entry and record
  std::int32_t limit = 0;      // the object numbers its index may hold are below this
  std::int64_t indexat = 0, recordsat = 0, timesat = 0, extrasat = 0;
  std::int64_t extraslength = 0;
  std::uint32_t extrascrc = 0;
  idtable ids;
  std::vector<badrow> named;
  std::string gridcrs;
};

// Writes `n` bytes at `p` to `f` at offset `at`; a failure is the system's.
result<void> writeat(std::FILE* f, std::int64_t at, const void* p, std::size_t n);

// Writes a file's layout at its offsets, keeping the first failure: the
// writes after it are not tried, so that a layout is written as a run of
// put()s and its outcome checked once.
class offset_writer {
public:
  explicit offset_writer(std::FILE* f) : f_(f) {}
  // Writes `n` bytes at `p` at offset `at`; whether nothing has failed.
  bool put(std::int64_t at, const void* p, std::size_t n) {
    if (done_) done_ = writeat(f_, at, p, n);
    return done_.ok();
  }
  // Flushes the stream, its failure kept as a write's.
  void flush() {
    if (done_ && std::fflush(f_) != 0) done_ = lasterror();
  }
  // Success, or the first failure.
  const result<void>& outcome() const { return done_; }

private:
  std::FILE* f_;
  result<void> done_;
};

// The objects per block of a run whose users are `groupsize` objects: a
// whole number of users, so that blocks of objects are blocks of users.
std::int64_t blocksize(std::int32_t groupsize);

// Fills `records` (and `times`, when the part has them) with the part's
// records at positions [first, first + n) of the grouped order: the
// records of each object in trace order, the objects ascending; or the
// failure that kept them from being read.
using windowfill = std::function<result<void>(std::int64_t first, std::size_t n, node* records, double* times)>;

// Writes the part file `path`: `head`, the directory and index of the
// objects with records in `counts` (records per object number), and the
// records that fill() gives, a window of at most `window` records at a
// time, then for a CSV part the ids, named rows and grid CRS of `extras`.
result<void> savepart(const std::string& path, const fingerprint& fp, const partheader& head,
                      const std::vector<std::int64_t>& counts, std::int64_t blockobjects, std::size_t window,
                      const windowfill& fill, const partinfo& extras);
// Reads the part file `path` into `p` through `in`: its header and
// directory, whose objects must be below `objects` (a TAB part's), and
// checks the file's final checksum against the directory's; with `whole`,
// also a CSV part's ids, named rows and grid CRS, checked.
//
// Each load*() here and openfragment() fail with the reader's first
// failure, which `in` keeps; a merge goes on reading blocks and slices of a
// part through the reader that loaded it.
result<void> loadpart(piecein& in, const std::string& path, const fingerprint& run, std::int32_t objects,
                      bool whole, partinfo& p);
// Reads the index entries of block `b` of `p`, checked against the
// directory; `at` receives the position of its first record in the part.
result<void> loadblock(piecein& in, const partinfo& p, std::size_t b, std::vector<indexentry>& index,
                       std::int64_t& at);
// Reads the records of index entry `e`, which starts `at` records into the
// part, and their times when the part has them; checks them against `e`.
result<void> loadslice(piecein& in, const partinfo& p, const indexentry& e, std::int64_t at,
                       std::vector<node>& records, std::vector<double>& times);

// The plan: the parts that hold the records, in order, with the map from
// each CSV part's own object numbers to the run's, and what the counts of
// the whole trace decide: objects, users, the records of each block of
// `blockusers` users, the ids, the grid CRS and the bad rows to name.
struct plan {
  std::vector<std::string> parts;
  std::vector<std::vector<std::int32_t>> objects;  // per CSV part: own number -> run's (-1: not in the run)
  std::int32_t nobjects = 0, nusers = 0;
  std::int64_t users = 0;          // nobjects / the group size
  std::int64_t blockusers = 1;     // users per block
  std::vector<std::int64_t> blockcount;  // records per block of users
  idtable ids;  // CSV: the run's object number -> id
  std::string gridcrs;
  bool chosen = false;           // the grid CRS was chosen from the first position
  std::int64_t bad = 0;
  std::vector<badrow> named;     // with the trace's line numbers
};

// The most records that users first … last-1 can have, by the plan's
// blocks: what bounds a merge's counts.
std::int64_t recordsbound(const plan& p, std::int64_t first, std::int64_t last);

result<void> saveplan(const std::string& path, const fingerprint& fp, const plan& p);
// Reads and checks the plan `path`, made for users of `groupsize` objects.
result<void> loadplan(piecein& in, const std::string& path, const fingerprint& run, std::int32_t groupsize,
                      plan& p);

// A text fragment's size and final checksum, as the .heat records them.
struct fragmentseal {
  std::int64_t size = 0;
  std::uint32_t crc = 0;
};

// A merge's last file: where its users end, its fragments' seals, the
// GeoJSON features its report fragment holds (the join puts a comma
// between two fragments that hold some), its cells' visits and its
// frequent cells.
struct heatinfo {
  std::int64_t last = 0;
  fragmentseal cells, report;
  std::int64_t features = 0;
  std::vector<std::pair<std::uint64_t, std::int64_t>> visits;
  std::vector<cell> frequent;
};

result<void> saveheat(const std::string& path, const fingerprint& fp, const heatinfo& h);
// Reads and checks the .heat of the merge of users from `first`, among the
// plan's users: it must end past `first`, its features can be no more than
// its report fragment's bytes, and its visits no more than its users'
// records.
result<void> loadheat(piecein& in, const std::string& path, const fingerprint& run, std::int64_t first,
                      const plan& p, heatinfo& h);

// Writes the text fragment `path` of `kind` (named as `noun`): the frame's
// start, what write() puts, the checksum; `seal` receives its size and
// checksum, `bodyat` where the text begins.
result<void> savefragment(const std::string& path, piecekind kind, const char* noun, const fingerprint& fp,
                          const std::function<void(textout&)>& write, fragmentseal& seal, std::int64_t& bodyat);
// Opens the fragment `path` and checks it whole: its fingerprint, and its
// size and checksum against `seal`. Its text is then in.at() … in.end().
result<void> openfragment(piecein& in, const std::string& path, piecekind kind, const fingerprint& run,
                          const fragmentseal& seal);

// Where --join-placed leaves the text of one merge's fragment: the output's
// temporary `target` at `at`; `output` is the output's own path, which
// messages name (the temporary is hidden from the user). The placement file (WORK/places.bin) lists
// them all; each --place piece copies its merge's and then writes
// WORK/placed-FIRST.bin, whose presence the commit checks for every merge.
struct textplace {
  std::int64_t first = 0;   // the merge's first user
  bool cells = false;       // its cell-file fragment, else its report fragment
  std::string fragment, target, output;
  fragmentseal seal;        // the fragment's, from its .heat
  std::int64_t textat = 0;  // where its text begins in the fragment
  std::int64_t at = 0;      // and where in the target it goes
};

result<void> saveplaces(const std::string& path, const fingerprint& fp, const std::vector<textplace>& places);
// Reads and checks the placement file `path`: each text lies within its
// fragment's sealed size and goes at an offset of 0 or more.
result<void> loadplaces(piecein& in, const std::string& path, const fingerprint& run,
                        std::vector<textplace>& places);

}  // namespace cellfreq
