// Chunk management for recordlist.
#include "trace/recordlist.h"

#include <algorithm>
#include <iterator>

namespace cellfreq {

void recordlist::grow() {
  const std::size_t n =
      chunks_.empty() ? first_chunk_nodes : std::min(chunk_nodes, chunks_.back().capacity * 2);
  chunks_.push_back(chunk{std::unique_ptr<node[]>(new node[n]), 0, n});
}

void recordlist::splice(recordlist&& tail) {
  chunks_.insert(chunks_.end(), std::make_move_iterator(tail.chunks_.begin()),
                 std::make_move_iterator(tail.chunks_.end()));
  size_ += tail.size_;
  tail.chunks_.clear();
  tail.size_ = 0;
}

void recordlist::truncate(std::size_t n) {
  while (size_ > n) {
    chunk& last = chunks_.back();
    const std::size_t drop = std::min(last.count, size_ - n);
    last.count -= drop;
    size_ -= drop;
    if (last.count == 0) chunks_.pop_back();
  }
}

std::vector<node> recordlist::tovector() const {
  std::vector<node> all;
  all.reserve(size_);
  foreach([&](const node& n) { all.push_back(n); });
  return all;
}

}  // namespace cellfreq
