// Chunk management for recordlist.
#include "trace/recordlist.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace cellfreq {

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

}  // namespace

void recordlist::release::operator()(node* p) const { std::free(p); }

void recordlist::grow() {
  const std::size_t n =
      chunks_.empty() ? first_chunk_nodes : std::min(chunk_nodes, chunks_.back().capacity * 2);
  const std::size_t bytes = n * sizeof(node);
  void* storage = nullptr;
#ifdef __linux__
  if (bytes >= huge_page) {
    storage = std::aligned_alloc(huge_page, (bytes + huge_page - 1) / huge_page * huge_page);
    if (storage != nullptr) madvise(storage, bytes, MADV_HUGEPAGE);  // a hint; failure is harmless
  }
#endif
  if (storage == nullptr) storage = std::malloc(bytes);
  if (storage == nullptr) throw std::bad_alloc();
  // node is an implicit-lifetime type: the storage holds its objects.
  chunks_.push_back(chunk{std::unique_ptr<node[], release>(static_cast<node*>(storage)), 0, n});
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
