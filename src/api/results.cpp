// The public sink's defaults, and the sink that gathers results as columns.
#include "api/gather.h"

namespace cellfreq {

// A sink takes only what it overrides: the rest is ignored.
void sink::frequent(std::int32_t, std::int32_t, std::int32_t, std::int64_t) {}
void sink::summary(std::int32_t, std::int32_t, std::int32_t, std::int64_t) {}
void sink::visit(std::int32_t, std::int32_t, std::int64_t) {}
void sink::id(std::int64_t, std::string_view) {}
void sink::map(std::string&&) {}
void sink::finish(const runinfo&) {}

void gather::frequent(std::int32_t user, std::int32_t x, std::int32_t y, std::int64_t position) {
  into_.frequent.user.push_back(user);
  into_.frequent.x.push_back(x);
  into_.frequent.y.push_back(y);
  into_.frequent.position.push_back(position);
}

void gather::summary(std::int32_t user, std::int32_t x, std::int32_t y, std::int64_t visits) {
  into_.summary.user.push_back(user);
  into_.summary.x.push_back(x);
  into_.summary.y.push_back(y);
  into_.summary.visits.push_back(visits);
}

void gather::visit(std::int32_t x, std::int32_t y, std::int64_t visits) {
  into_.visits.x.push_back(x);
  into_.visits.y.push_back(y);
  into_.visits.visits.push_back(visits);
}

void gather::id(std::int64_t, std::string_view id) { into_.ids.emplace_back(id); }
void gather::map(std::string&& page) { into_.map = std::move(page); }
void gather::finish(const runinfo& info) { into_.info = info; }

}  // namespace cellfreq
