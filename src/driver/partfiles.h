// The files a run in pieces passes on, each in the frame of piecefile.h,
// bound to its run by a fingerprint, and read back validated.
//
// A part file (WORK/part-START.bin) holds the range it parsed, the parser's
// state at its end, an index of (object, checksum, count), a seal, and its
// records grouped by object (trace order within an object), then their
// times and, for a CSV trace, its ids, named bad rows and grid CRS. A merge
// reads only the index and its own objects' records, each object's checked
// against its index entry; the plan reads and checks all of a part.
//
// The plan (WORK/plan.bin) lists the parts in order and every user's count.
// A merge writes WORK/merge-FIRST.cells (its cell-file lines), .report (its
// report fragment), both text between the frame's start and its checksum,
// and .heat (its cells' visits, its frequent cells, and the size and
// checksum of the other two), written last, so that a merge whose .heat
// exists is complete and its fragments are known to be the ones it wrote.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cells/celltable.h"
#include "driver/fingerprint.h"
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

// A part file as read: its header, index and, read with the whole file,
// a CSV part's ids by its own object numbers, named bad rows and grid CRS.
struct partinfo {
  std::string path;
  partheader head;
  std::vector<indexentry> index;
  std::int64_t records = 0;    // in all
  std::int64_t recordsat = 0;  // where they begin
  idtable ids;
  std::vector<badrow> named;
  std::string gridcrs;
};

// Writes the part file `path`: `head`, the index of `grouped` (the records
// grouped by object, with their `stamps` when timed) and, for a CSV part,
// the ids, named rows and grid CRS of `p`.
bool savepart(const std::string& path, const fingerprint& fp, const partheader& head,
              const std::vector<indexentry>& index, const std::vector<node>& grouped,
              const std::vector<double>& stamps, const partinfo& p, runfailure& fail);
// Reads the part file `path` into `p` through `in`: its header and index,
// whose objects must be below `objects` (a TAB part's) and whose counts must
// add up to its records; with `whole`, after checking all of the file, also
// a CSV part's ids, named rows and grid CRS. False with in.failure() set.
bool loadpart(piecein& in, const std::string& path, const fingerprint& run, std::int32_t objects, bool whole,
              partinfo& p);
// Reads the records of index entry `e`, which starts `at` records into the
// part, and their times when the part has them; checks them against `e`.
bool loadslice(piecein& in, const partinfo& p, const indexentry& e, std::int64_t at, std::vector<node>& records,
               std::vector<double>& times);

// The plan: the parts that hold the records, in order, with the map from
// each CSV part's own object numbers to the run's, and what the counts of
// the whole trace decide: objects, users, each user's count, the ids, the
// grid CRS and the bad rows to name.
struct plan {
  std::vector<std::string> parts;
  std::vector<std::vector<std::int32_t>> objects;  // per CSV part: own number -> run's (-1: not in the run)
  std::int32_t nobjects = 0, nusers = 0;
  std::vector<std::int64_t> codecount;
  std::int64_t maxcount = 0;
  idtable ids;  // CSV: the run's object number -> id
  std::string gridcrs;
  bool chosen = false;           // the grid CRS was chosen from the first position
  std::int64_t bad = 0;
  std::vector<badrow> named;     // with the trace's line numbers
};

bool saveplan(const std::string& path, const fingerprint& fp, const plan& p, runfailure& fail);
// Reads and checks the plan `path`, made for users of `groupsize` objects.
bool loadplan(piecein& in, const std::string& path, const fingerprint& run, std::int32_t groupsize, plan& p);

// A text fragment's size and final checksum, as the .heat records them.
struct fragmentseal {
  std::int64_t size = 0;
  std::uint32_t crc = 0;
};

// A merge's last file: where its users end, its fragments' seals, its
// cells' visits and its frequent cells.
struct heatinfo {
  std::int64_t last = 0;
  fragmentseal cells, report;
  std::vector<std::pair<std::uint64_t, std::int64_t>> visits;
  std::vector<cell> frequent;
};

bool saveheat(const std::string& path, const fingerprint& fp, const heatinfo& h, runfailure& fail);
// Reads and checks the .heat of the merge of users from `first`, among
// `codecount.size()` users: it must end past `first`, and its visits can
// be no more than its users' records.
bool loadheat(piecein& in, const std::string& path, const fingerprint& run, std::int64_t first,
              const std::vector<std::int64_t>& codecount, heatinfo& h);

// Writes the text fragment `path` of `kind` (named as `noun`): the frame's
// start, what write() puts, the checksum; `seal` receives its size and
// checksum, `bodyat` where the text begins.
bool savefragment(const std::string& path, piecekind kind, const char* noun, const fingerprint& fp,
                  const std::function<void(textout&)>& write, fragmentseal& seal, std::int64_t& bodyat,
                  runfailure& fail);
// Opens the fragment `path` and checks it whole: its fingerprint, and its
// size and checksum against `seal`. Its text is then in.at() … in.end().
bool openfragment(piecein& in, const std::string& path, piecekind kind, const fingerprint& run,
                  const fragmentseal& seal);

}  // namespace cellfreq
