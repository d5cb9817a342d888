// The read-back of a range of users and their report (see readback.h).
#include "analysis/readback.h"

#include <algorithm>
#include <cerrno>

namespace cellfreq {

user_readback::user_readback(textin& in, const grouped& cells, std::int32_t first, std::int32_t last,
                             std::int64_t budget, const readback_extras& extras)
    : in_(in), cells_(cells), extras_(extras), widest_(cellfreq::max(cells.codecount, last, first)) {
  const std::vector<std::int64_t>& counts = cells.codecount;
  const std::int64_t room = tableshare(budget) / static_cast<std::int64_t>(sizeof(std::int32_t));
  ranges_ = table_ranges(counts, widest_, room, first, last);
}

bool user_readback::load(std::int32_t from, std::int32_t to) {
  loaded_ = loadcells(in_, cells_.codecount, widest_, table_, &cells_.box, from, to).ok();
  return loaded_;
}

bool user_readback::read_at_once() {
  return ranges_.empty() || load(ranges_[0].first, ranges_[0].second);
}

bool user_readback::each_range(const std::function<bool()>& more,
                               const std::function<void(std::int32_t, std::int32_t)>& give) {
  for (const auto& [from, to] : ranges_) {
    if (!more()) return true;
    if (stopped() || (!at_once() && !load(from, to))) return false;
    give(from, to);
    if (extras_.frequent != nullptr)
      addfrequent(table_, cells_.codecount, from, to, extras_.threshold, *extras_.frequent);
    if (extras_.mapped != nullptr) extras_.mapped->add(table_, cells_.codecount, from, to, extras_.threshold);
  }
  return true;
}

void user_readback::report(reportwriter& writer, textout& out) {
  const bool all = each_range([&] { return !out.failed(); },
                              [&](std::int32_t from, std::int32_t to) { writer.users(table_, cells_.codecount, from, to); });
  if (!all) out.abandon(stopped() ? ECANCELED : in_.error());
  else if (!out.failed()) writer.finish();
}

}  // namespace cellfreq
