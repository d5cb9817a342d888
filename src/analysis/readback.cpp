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

result<void> user_readback::load(std::int32_t from, std::int32_t to) {
  return loadcells(in_, cells_.codecount, widest_, table_, &cells_.box, from, to);
}

result<void> user_readback::read_at_once() {
  if (ranges_.empty()) return {};
  return load(ranges_[0].first, ranges_[0].second);
}

result<bool> user_readback::each_range(const std::function<bool()>& more,
                                       const std::function<void(std::int32_t, std::int32_t)>& give) {
  for (const auto& [from, to] : ranges_) {
    if (!more()) return true;
    if (stopped()) return false;
    if (!at_once())
      if (result<void> loaded = load(from, to); !loaded) return std::move(loaded.error());
    give(from, to);
    if (extras_.frequent != nullptr)
      addfrequent(table_, cells_.codecount, from, to, extras_.threshold, *extras_.frequent);
    if (extras_.mapped != nullptr) extras_.mapped->add(table_, cells_.codecount, from, to, extras_.threshold);
  }
  return true;
}

result<void> user_readback::report(reportwriter& writer, textout& out) {
  const result<bool> all = each_range([&] { return !out.failed(); }, [&](std::int32_t from, std::int32_t to) {
    writer.users(table_, cells_.codecount, from, to);
  });
  if (!all) {
    out.abandon(stopped() ? ECANCELED : all.error().errnum);
    return all.error();
  }
  if (!all.value()) out.abandon(ECANCELED);
  else if (!out.failed()) writer.finish();
  return {};
}

}  // namespace cellfreq
