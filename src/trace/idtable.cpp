// The id table's index: open addressing over slots that carry a 32-bit tag
// of the id's hash beside its number, so that a probe reads the arena only
// when the tags agree, nearly always for the id itself.
#include "trace/idtable.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace cellfreq {
namespace {

// The first eight bytes of s (fewer, zero-filled, for a shorter id), read in
// one load where the bytes up to `limit` allow it.
std::uint64_t headkey(std::string_view s, const char* limit) {
  std::uint64_t w = 0;
  if constexpr (std::endian::native == std::endian::little) {
    if (limit - s.data() >= 8) {
      std::memcpy(&w, s.data(), 8);
      return s.size() >= 8 ? w : w & ((std::uint64_t{1} << (8 * s.size())) - 1);
    }
  }
  std::memcpy(&w, s.data(), std::min<std::size_t>(s.size(), 8));
  return w;
}

// A 64-bit hash of s, whose first eight bytes are `head`.
std::uint64_t hashid(std::uint64_t head, std::string_view s) {
  std::uint64_t h = (0x9E3779B97F4A7C15u ^ s.size() ^ head) * 0xBF58476D1CE4E5B9u;
  for (std::size_t at = 8; at < s.size(); at += 8) {
    std::uint64_t w = 0;
    std::memcpy(&w, s.data() + at, std::min<std::size_t>(8, s.size() - at));
    h = (h ^ (h >> 31) ^ w) * 0xBF58476D1CE4E5B9u;
  }
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDu;
  return h ^ (h >> 33);
}

std::uint64_t hashof(std::string_view s) { return hashid(headkey(s, s.data() + s.size()), s); }

constexpr std::size_t first_slots = 1024;

}  // namespace

// Checks the id numbered last, which a trace sorted by object repeats row
// after row, before the index.
std::int32_t idtable::number(std::string_view id, const char* limit) {
  if (last_ >= 0 && (*this)[static_cast<std::size_t>(last_)] == id) return last_;
  if (slots_.empty()) rebuild(first_slots);
  const std::uint64_t h = hashid(headkey(id, limit), id);
  const std::uint64_t tag = h >> 32;
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = h & mask;
  for (; slots_[i] != 0; i = (i + 1) & mask) {
    const std::size_t o = (slots_[i] & 0xFFFFFFFFu) - 1;
    if ((slots_[i] >> 32) == tag && (*this)[o] == id) {
      last_ = static_cast<std::int32_t>(o);
      return last_;
    }
  }
  if (size() == static_cast<std::size_t>(INT32_MAX)) return -1;
  append(id);
  slots_[i] = tag << 32 | size();
  last_ = static_cast<std::int32_t>(size() - 1);
  if (size() * 4 > slots_.size() * 3) rebuild(slots_.size() * 2);
  return last_;
}

// Puts the id behind the last one, in a new block when it does not fit in
// the rest of the current one, and notes its end.
void idtable::append(std::string_view id) {
  const std::uint64_t n = id.size();
  std::uint64_t at = used_;
  if (at + n > room_ || block_.empty()) {
    at = roundup(at);
    const std::uint64_t size = std::max(n, block);
    block_.resize(static_cast<std::size_t>(at >> block_bits) + 1);
    block_.back() = std::make_unique_for_overwrite<char[]>(size);
    held_ += static_cast<std::int64_t>(size);
    room_ = at + size;
  }
  std::memcpy(block_[at >> block_bits].get() + (at & (block - 1)), id.data(), id.size());
  used_ = at + n;
  if (size_ % ends_per_block == 0) {
    ends_.push_back(std::make_unique_for_overwrite<std::uint64_t[]>(ends_per_block));
    held_ += static_cast<std::int64_t>(ends_per_block * sizeof(std::uint64_t));
  }
  ends_.back()[size_ % ends_per_block] = used_;
  ++size_;
}

void idtable::push_back(std::string_view id) {
  append(id);
  if (slots_.empty()) return;
  insert(hashof(id), size() - 1);
  if (size() * 4 > slots_.size() * 3) rebuild(slots_.size() * 2);
}

void idtable::seal() {
  std::vector<std::uint64_t>().swap(slots_);
  last_ = -1;
}

std::int64_t idtable::bytes() const {
  return held_ + static_cast<std::int64_t>(slots_.capacity() * sizeof(std::uint64_t));
}

void idtable::insert(std::uint64_t hash, std::size_t object) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = (hash >> 32) << 32 | (object + 1);
}

// An index of at least `slots` slots, at most three quarters full, built
// from the arena once the old one is freed: the hashes are computed again,
// which costs less than keeping them, and the two never take memory at once.
void idtable::rebuild(std::size_t slots) {
  while (size() * 4 > slots * 3) slots *= 2;
  std::vector<std::uint64_t>().swap(slots_);
  slots_.assign(slots, 0);
  for (std::size_t o = 0; o < size(); ++o) insert(hashof((*this)[o]), o);
}

}  // namespace cellfreq
