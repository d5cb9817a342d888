// The CSV, JSON Lines and summary report writers.
//
// Cells are printed as the text report prints them, x = code / 1000 and
// y = code % 1000, so the formats agree with each other on every code.
// Numbers need no quoting in CSV and no escaping in JSON, so both are written
// directly.
#include "analysis/formats.h"

#include <algorithm>
#include <unordered_map>

namespace cellfreq {
namespace {

// "x<sep>y" of a code.
void putcell(textout& out, std::int32_t code, char sep) {
  out.putint(code / code_multiplier);
  out.put(sep);
  out.putint(code % code_multiplier);
}

// The summary order: most visited first; equal counts by ascending code.
void summaryorder(std::vector<frequentcell>& cells) {
  std::sort(cells.begin(), cells.end(), [](const frequentcell& a, const frequentcell& b) {
    return a.visits != b.visits ? a.visits > b.visits : a.code < b.code;
  });
}

// "User u frequent cell is: C[x][y]  k visits", one line per cell.
void textsummary(std::int32_t user, const std::vector<frequentcell>& cells, textout& out) {
  for (const frequentcell& c : cells) {
    out.put("User ");
    out.putint(user);
    out.put(" frequent cell is: C[");
    out.putint(c.code / code_multiplier);
    out.put("][");
    out.putint(c.code % code_multiplier);
    out.put("]  ");
    out.putint(c.visits);
    out.put(c.visits == 1 ? " visit" : " visits");
    out.newline();
  }
}

// "user,x,y,visits", one row per cell.
void csvsummary(std::int32_t user, const std::vector<frequentcell>& cells, textout& out) {
  for (const frequentcell& c : cells) {
    out.putint(user);
    out.put(',');
    putcell(out, c.code, ',');
    out.put(',');
    out.putint(c.visits);
    out.newline();
  }
}

// "user,x,y,position", one row per visit, in visit order.
void csvvisits(const celltable& table, std::int32_t user, std::int64_t n, std::int32_t threshold,
               freqcounter& counter, textout& out) {
  frequentvisits(table, user, n, threshold, counter, [&](std::int64_t index, std::int32_t code, std::int64_t) {
    out.putint(user);
    out.put(',');
    putcell(out, code, ',');
    out.put(',');
    out.putint(index);
    out.newline();
  });
}

// {"user":u,"cells":[{"x":..,"y":..,"visits":..[,"positions":[..]]},..]}
void jsonuser(std::int32_t user, const std::vector<frequentcell>& cells, bool positions, textout& out) {
  out.put("{\"user\":");
  out.putint(user);
  out.put(",\"cells\":[");
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const frequentcell& c = cells[i];
    out.put(i == 0 ? "{\"x\":" : ",{\"x\":");
    out.putint(c.code / code_multiplier);
    out.put(",\"y\":");
    out.putint(c.code % code_multiplier);
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

std::vector<frequentcell> frequentcells(const celltable& table, std::int32_t user, std::int64_t n,
                                        std::int32_t threshold, freqcounter& counter) {
  std::vector<frequentcell> cells;
  std::unordered_map<std::int32_t, std::size_t> slot;
  frequentvisits(table, user, n, threshold, counter, [&](std::int64_t index, std::int32_t code, std::int64_t count) {
    const auto [it, fresh] = slot.try_emplace(code, cells.size());
    if (fresh) cells.push_back({code, count, {}});
    cells[it->second].positions.push_back(index);
  });
  return cells;
}

void writereport(const reportstyle& style, const celltable& table, const std::vector<std::int64_t>& codecount,
                 std::int32_t nusers, std::int32_t threshold, textout& out) {
  if (style.format == reportformat::csv) {
    out.put(style.summary ? "user,x,y,visits" : "user,x,y,position");
    out.newline();
  }
  freqcounter counter;
  for (std::int32_t u = 0; u < nusers && !out.failed(); ++u) {
    const std::int64_t n = codecount[static_cast<std::size_t>(u)];
    if (!style.summary && style.format == reportformat::text) {
      findx(table, u, n, threshold, counter, out);
    } else if (!style.summary && style.format == reportformat::csv) {
      csvvisits(table, u, n, threshold, counter, out);
    } else {
      std::vector<frequentcell> cells = frequentcells(table, u, n, threshold, counter);
      if (style.summary) summaryorder(cells);
      if (style.format == reportformat::json) jsonuser(u, cells, !style.summary, out);
      else if (style.format == reportformat::csv) csvsummary(u, cells, out);
      else textsummary(u, cells, out);
    }
  }
}

std::vector<std::int32_t> frequentcodes(const celltable& table, const std::vector<std::int64_t>& codecount,
                                        std::int32_t nusers, std::int32_t threshold) {
  std::vector<std::int32_t> codes;
  freqcounter counter;
  for (std::int32_t u = 0; u < nusers; ++u)
    frequentvisits(table, u, codecount[static_cast<std::size_t>(u)], threshold, counter,
                   [&](std::int64_t, std::int32_t code, std::int64_t) { codes.push_back(code); });
  std::sort(codes.begin(), codes.end());
  codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
  return codes;
}

}  // namespace cellfreq
