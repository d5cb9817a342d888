// The report formats: the per-visit text report, CSV and JSON Lines, each
// either per visit or as a summary per user and cell.
//
// All of them are built on frequentvisits(), so every format names exactly
// the visits the text report names. The text report per visit is findx()
// itself, byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/geojson.h"
#include "analysis/report.h"
#include "cells/celltable.h"
#include "trace/idtable.h"
#include "io/in_order.h"
#include "io/textout.h"

namespace cellfreq {

enum class reportformat { text, csv, json, geojson };

// How the report is written: the format, and whether it lists every frequent
// visit or, per user, every frequent cell once with its number of visits.
struct reportstyle {
  reportformat format = reportformat::text;
  bool summary = false;
};

// The objects' own ids, for the formats that carry them: object number i
// has id (*ids)[i], and user u holds objects u * groupsize onward.
struct objectids {
  const idtable* ids = nullptr;  // none: ids are not carried
  std::int32_t groupsize = objects_per_user;
  // The ids of user u's objects that have one.
  idtable::slice ofuser(std::int32_t u) const;
};

// One frequent cell of a user: its code and cell, how often the user visited
// it, and the positions of those visits in the user's row, ascending.
struct frequentcell {
  std::int32_t code = 0;
  cell where;
  std::int64_t visits = 0;
  std::vector<std::int64_t> positions;
};

// The frequent cells of user `user` (its first `n` codes, as findx() counts
// them), in the order of their first visit.
std::vector<frequentcell> frequentcells(const celltable& table, std::int32_t user, std::int64_t n,
                                        std::int32_t threshold, freqcounter& counter);

// Puts a user's frequent cells in the summary's order: most visited first,
// equal counts by ascending code.
void summaryorder(std::vector<frequentcell>& cells);

// Writes the report in `style`, a range of users at a time: the head when
// made, then users() for consecutive ranges from user 0, then finish(). The
// csv and json formats carry each user's object ids when `ids` has them,
// the geojson format always (object numbers when there are no ids) and
// lays its cells out by `layer`. Stops early once a write has failed;
// out.failed() tells. A `fragment` writes the users' part only, without
// the head or the end, for a report put together from pieces: the pieces
// of consecutive ranges go, in order, between what a writer without users
// writes when made and at finish(), a comma between two GeoJSON pieces
// that hold features.
class reportwriter {
public:
  reportwriter(const reportstyle& style, std::int32_t threshold, textout& out, const objectids& ids = {},
               const geojsonlayer& layer = {}, bool fragment = false);
  // The users from … to-1, whose rows `table` holds. Consecutive users of
  // about the plan's piece of codes make a piece, and the pieces are
  // formatted on the plan's threads, each user's lines as one thread writes
  // them (GeoJSON, whose features are joined by commas, on one).
  void users(const celltable& table, const std::vector<std::int64_t>& codecount, std::int32_t from, std::int32_t to);
  void share(const share_plan& plan) { plan_ = plan; }
  // Ends the report; nothing may be added afterwards.
  void finish();
  // The GeoJSON features written (0 in the other formats): whether a
  // fragment needs a comma between it and the next one that has features.
  std::int64_t features() const { return geo_ ? geo_->features() : 0; }

private:
  // Writes user u's lines, from its first n codes, to `out`.
  void user(const celltable& table, std::int32_t u, std::int64_t n, freqcounter& counter, textout& out) const;
  void geojsonuser(std::int32_t u, const std::vector<frequentcell>& cells);

  reportstyle style_;
  std::int32_t threshold_;
  textout& out_;
  objectids ids_;
  std::vector<freqcounter> counters_;  // one a thread
  share_plan plan_ = share_plan::machine();
  std::optional<geojsonwriter> geo_;
  std::vector<std::string> numbers_;  // a user's object numbers, when there are no ids
  std::vector<std::string_view> own_;  // a user's ids or numbers
};

// Adds to `cells` (ascending, no repeats, and kept so) the distinct cells
// that are frequent for at least one of users from … to-1.
void addfrequent(const celltable& table, const std::vector<std::int64_t>& codecount, std::int32_t from,
                 std::int32_t to, std::int32_t threshold, std::vector<cell>& cells);
// Writes `s` as a JSON string, quotes included.
void putjson(textout& out, std::string_view s);

// Writes `s` as one CSV field, quoted (with doubled quotes) when it holds a
// comma, a quote, a line break or blanks at its ends.
void putcsv(textout& out, std::string_view s);

}  // namespace cellfreq
