// idtable: the text ids of a trace's objects, numbered 0, 1, 2, ... in the
// order they were added, held compactly.
//
// All ids lie end to end in one arena of bytes, with the end of each in an
// array of offsets; a hash index into the arena (eight bytes a slot: a tag
// from the id's hash and its number) finds an id's number. An id costs its
// bytes, eight for its offset and 10.7 to 21.3 for its slots, and nothing
// per id is allocated on its own, so a trace of many millions of ids stays
// small and bytes() tells how much it holds. The arena and the offsets grow
// by fixed blocks, never by copying, so growing costs no second copy of
// them. Once no more ids are to be numbered, seal() frees the index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

namespace cellfreq {

class idtable {
public:
  // Reads the ids in number order.
  class iterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;
    iterator() = default;
    iterator(const idtable* t, std::size_t i) : t_(t), i_(i) {}
    std::string_view operator*() const { return (*t_)[i_]; }
    iterator& operator++() {
      ++i_;
      return *this;
    }
    // A forward iterator's postfix form returns a plain copy; a const one
    // would not satisfy std::incrementable.
    iterator operator++(int) {  // NOLINT(cert-dcl21-cpp)
      iterator was = *this;
      ++i_;
      return was;
    }
    bool operator==(const iterator& o) const { return i_ == o.i_; }

  private:
    const idtable* t_ = nullptr;
    std::size_t i_ = 0;
  };
  // The ids numbered [first, last), as a range.
  struct slice {
    iterator first, last;
    iterator begin() const { return first; }
    iterator end() const { return last; }
  };

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // An id starts where the one before it ends, or at the next block of the
  // arena when it did not fit in the rest of that one: then it ends in a
  // later block.
  std::string_view operator[](std::size_t i) const {
    const std::uint64_t end = endof(i), before = i == 0 ? 0 : endof(i - 1);
    const std::uint64_t start = (end - 1) >> block_bits == before >> block_bits ? before : roundup(before);
    return {block_[start >> block_bits].get() + (start & (block - 1)), static_cast<std::size_t>(end - start)};
  }
  iterator begin() const { return {this, 0}; }
  iterator end() const { return {this, size()}; }
  slice range(std::size_t first, std::size_t last) const { return {{this, first}, {this, last}}; }

  // The number of `id`: the one it was given, or the next one; -1 once
  // INT32_MAX ids are held. The bytes from id.data() up to `limit` may be
  // read (the row the id lies in), which lets a short id be hashed in one
  // load.
  std::int32_t number(std::string_view id, const char* limit);
  std::int32_t number(std::string_view id) { return number(id, id.data() + id.size()); }
  // Adds an id known to be new, numbered next.
  void push_back(std::string_view id);
  // Frees the index; number() builds it again if called later.
  void seal();
  // The bytes of memory held, capacity included.
  std::int64_t bytes() const;

private:
  // The arena's blocks, and the offsets' (whose entries are the ends of
  // the ids in the arena's bytes, counted over its blocks).
  static constexpr int block_bits = 20;
  static constexpr std::uint64_t block = std::uint64_t{1} << block_bits;
  static constexpr std::size_t ends_per_block = std::size_t{1} << 16;
  static std::uint64_t roundup(std::uint64_t at) { return (at + block - 1) & ~(block - 1); }
  std::uint64_t endof(std::size_t i) const { return ends_[i / ends_per_block][i % ends_per_block]; }
  void append(std::string_view id);
  void insert(std::uint64_t hash, std::size_t object);
  void rebuild(std::size_t slots);

  // Block k of the arena covers bytes [k * block, (k + 1) * block); an id
  // longer than a block starts a block of its own, as long as the id, the
  // blocks it reaches into stay empty, and the next id starts a new one.
  std::vector<std::unique_ptr<char[]>> block_;
  std::vector<std::unique_ptr<std::uint64_t[]>> ends_;
  std::size_t size_ = 0;
  std::uint64_t used_ = 0;            // the arena's bytes, from its start
  std::uint64_t room_ = 0;            // the end of the last block
  std::int64_t held_ = 0;             // bytes allocated for the arena and offsets
  std::vector<std::uint64_t> slots_;  // tag << 32 | (number + 1), 0 when free
  std::int32_t last_ = -1;            // the id last numbered, checked first
};

}  // namespace cellfreq
