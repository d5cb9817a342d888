// The CSV, JSON Lines and summary report writers.
//
// Cells are printed as the table's codec names them, the way the text report
// prints them, so the formats agree with each other on every code. Numbers
// need no quoting in CSV and no escaping in JSON; ids are quoted and escaped.
#include "analysis/formats.h"

#include <algorithm>
#include <unordered_map>

namespace cellfreq {
namespace {

// "x,y" of a cell.
void putcell(textout& out, cell c) {
  out.putint(c.x);
  out.put(',');
  out.putint(c.y);
}

// ",ids" of a user: its ids separated by blanks, as one CSV field.
void csvids(const objectids& ids, std::int32_t user, textout& out) {
  if (ids.ids == nullptr) return;
  std::string joined;
  for (const std::string_view id : ids.ofuser(user)) joined.append(joined.empty() ? "" : " ").append(id);
  out.put(',');
  putcsv(out, joined);
}

// "User u frequent cell is: C[x][y]  k visits", one line per cell.
void textsummary(std::int32_t user, const std::vector<frequentcell>& cells, textout& out) {
  for (const frequentcell& c : cells) {
    out.put("User ");
    out.putint(user);
    out.put(" frequent cell is: C[");
    out.putint(c.where.x);
    out.put("][");
    out.putint(c.where.y);
    out.put("]  ");
    out.putint(c.visits);
    out.put(c.visits == 1 ? " visit" : " visits");
    out.newline();
  }
}

// "user,x,y,visits[,ids]", one row per cell.
void csvsummary(std::int32_t user, const std::vector<frequentcell>& cells, const objectids& ids, textout& out) {
  for (const frequentcell& c : cells) {
    out.putint(user);
    out.put(',');
    putcell(out, c.where);
    out.put(',');
    out.putint(c.visits);
    csvids(ids, user, out);
    out.newline();
  }
}

// "user,x,y,position[,ids]", one row per visit, in visit order.
void csvvisits(const celltable& table, std::int32_t user, std::int64_t n, std::int32_t threshold,
               freqcounter& counter, const objectids& ids, textout& out) {
  frequentvisits(table, user, n, threshold, counter, [&](std::int64_t index, std::int32_t code, std::int64_t) {
    out.putint(user);
    out.put(',');
    putcell(out, table.codec().decode(code));
    out.put(',');
    out.putint(index);
    csvids(ids, user, out);
    out.newline();
  });
}

// {"user":u[,"ids":[..]],"cells":[{"x":..,"y":..,"visits":..[,"positions":[..]]},..]}
void jsonuser(std::int32_t user, const std::vector<frequentcell>& cells, bool positions, const objectids& ids,
              textout& out) {
  out.put("{\"user\":");
  out.putint(user);
  if (ids.ids != nullptr) {
    out.put(",\"ids\":[");
    bool first = true;
    for (const std::string_view id : ids.ofuser(user)) {
      if (!first) out.put(',');
      first = false;
      putjson(out, id);
    }
    out.put(']');
  }
  out.put(",\"cells\":[");
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const frequentcell& c = cells[i];
    out.put(i == 0 ? "{\"x\":" : ",{\"x\":");
    out.putint(c.where.x);
    out.put(",\"y\":");
    out.putint(c.where.y);
    out.put(",\"visits\":");
    out.putint(c.visits);
    if (positions) {
      out.put(",\"positions\":[");
      for (std::size_t k = 0; k < c.positions.size(); ++k) {
        if (k != 0) out.put(',');
        out.putint(c.positions[k]);
      }
      out.put(']');
    }
    out.put('}');
  }
  out.put("]}");
  out.newline();
}

}  // namespace

void summaryorder(std::vector<frequentcell>& cells) {
  std::sort(cells.begin(), cells.end(), [](const frequentcell& a, const frequentcell& b) {
    return a.visits != b.visits ? a.visits > b.visits : a.code < b.code;
  });
}

idtable::slice objectids::ofuser(std::int32_t u) const {
  if (ids == nullptr) return {};
  const auto first = std::min(ids->size(), static_cast<std::size_t>(u) * static_cast<std::size_t>(groupsize));
  const auto last = std::min(ids->size(), first + static_cast<std::size_t>(groupsize));
  return ids->range(first, last);
}

void putjson(textout& out, std::string_view s) {
  std::string quoted;
  appendjson(quoted, s);
  out.put(quoted);
}

void putcsv(textout& out, std::string_view s) {
  const bool quote = s.find_first_of(",\"\r\n") != std::string_view::npos ||
                     (!s.empty() && (s.front() == ' ' || s.back() == ' '));
  if (!quote) {
    out.put(s);
    return;
  }
  out.put('"');
  for (const char ch : s) {
    if (ch == '"') out.put('"');
    out.put(ch);
  }
  out.put('"');
}

std::vector<frequentcell> frequentcells(const celltable& table, std::int32_t user, std::int64_t n,
                                        std::int32_t threshold, freqcounter& counter) {
  std::vector<frequentcell> cells;
  std::unordered_map<std::int32_t, std::size_t> slot;
  frequentvisits(table, user, n, threshold, counter, [&](std::int64_t index, std::int32_t code, std::int64_t count) {
    const auto [it, fresh] = slot.try_emplace(code, cells.size());
    if (fresh) cells.push_back({code, table.codec().decode(code), count, {}});
    cells[it->second].positions.push_back(index);
  });
  return cells;
}

reportwriter::reportwriter(const reportstyle& style, std::int32_t threshold, textout& out, const objectids& ids,
                           const geojsonlayer& layer, bool fragment)
    : style_(style), threshold_(threshold), out_(out), ids_(ids) {
  if (style.format == reportformat::geojson) {
    geo_.emplace(layer, out, fragment);
  } else if (style.format == reportformat::csv && !fragment) {
    out.put(style.summary ? "user,x,y,visits" : "user,x,y,position");
    if (ids.ids != nullptr) out.put(",ids");
    out.newline();
  }
}

void reportwriter::users(const celltable& table, const std::vector<std::int64_t>& codecount, std::int32_t from,
                         std::int32_t to) {
  const auto count = [&](std::int32_t u) { return codecount[static_cast<std::size_t>(u)]; };
  counters_.resize(std::max(plan_.threads, 1u));
  if (geo_) {
    for (std::int32_t u = from; u < to && !out_.failed(); ++u) {
      std::vector<frequentcell> cells = frequentcells(table, u, count(u), threshold_, counters_[0]);
      summaryorder(cells);
      geojsonuser(u, cells);
    }
    return;
  }
  const std::vector<std::int64_t> bounds =
      piece_bounds(from, to, plan_, [&](std::int64_t u) { return count(static_cast<std::int32_t>(u)); });
  format_in_order(out_, bounds.size() - 1, [&](std::size_t piece, unsigned worker, textout& out) {
    for (auto u = static_cast<std::int32_t>(bounds[piece]); u < bounds[piece + 1]; ++u)
      user(table, u, count(u), counters_[worker], out);
  }, plan_);
}

void reportwriter::user(const celltable& table, std::int32_t u, std::int64_t n, freqcounter& counter,
                        textout& out) const {
  if (!style_.summary && style_.format == reportformat::text) {
    findx(table, u, n, threshold_, counter, out);
  } else if (!style_.summary && style_.format == reportformat::csv) {
    csvvisits(table, u, n, threshold_, counter, ids_, out);
  } else {
    std::vector<frequentcell> cells = frequentcells(table, u, n, threshold_, counter);
    if (style_.summary) summaryorder(cells);
    if (style_.format == reportformat::json) jsonuser(u, cells, !style_.summary, ids_, out);
    else if (style_.format == reportformat::csv) csvsummary(u, cells, ids_, out);
    else textsummary(u, cells, out);
  }
}

// One GeoJSON feature per frequent cell, in the summary's order, carrying
// the user's ids (object numbers when there are none).
void reportwriter::geojsonuser(std::int32_t u, const std::vector<frequentcell>& cells) {
  if (cells.empty()) return;
  own_.clear();
  if (ids_.ids == nullptr) {
    numbers_.clear();
    for (std::int64_t i = 0; i < ids_.groupsize; ++i)
      numbers_.push_back(std::to_string(static_cast<std::int64_t>(u) * ids_.groupsize + i));
    own_.assign(numbers_.begin(), numbers_.end());
  } else {
    for (const std::string_view id : ids_.ofuser(u)) own_.push_back(id);
  }
  for (const frequentcell& c : cells) geo_->frequent(u, own_, c.where.x, c.where.y, c.visits, c.positions.front());
}

void reportwriter::finish() {
  if (geo_) geo_->finish();
}

void addfrequent(const celltable& table, const std::vector<std::int64_t>& codecount, std::int32_t from,
                 std::int32_t to, std::int32_t threshold, std::vector<cell>& cells) {
  freqcounter counter;
  for (std::int32_t u = from; u < to; ++u)
    frequentvisits(table, u, codecount[static_cast<std::size_t>(u)], threshold, counter,
                   [&](std::int64_t, std::int32_t code, std::int64_t) { cells.push_back(table.codec().decode(code)); });
  std::sort(cells.begin(), cells.end());
  cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
}

}  // namespace cellfreq
