// The sink behind the run that returns its results as columns.
#pragma once

#include "cellfreq/results.h"

namespace cellfreq {

// Appends every result it is handed to `into`'s columns, in the order given.
class gather final : public sink {
public:
  explicit gather(results& into) : into_(into) {}
  void frequent(std::int32_t user, std::int32_t x, std::int32_t y, std::int64_t position) override;
  void summary(std::int32_t user, std::int32_t x, std::int32_t y, std::int64_t visits) override;
  void visit(std::int32_t x, std::int32_t y, std::int64_t visits) override;
  void id(std::int64_t object, std::string_view id) override;
  void map(std::string&& page) override;
  void finish(const runinfo& info) override;

private:
  results& into_;
};

}  // namespace cellfreq
