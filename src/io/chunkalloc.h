// chunkalloc: the storage of the arrays that are as long as the trace or
// that go to the disk whole: record chunks, grouped codes, the cell
// table's codes and the output's blocks.
//
// The storage is left uninitialised by chunkalloc (every slot is written
// before it is read). On Linux it starts at a whole disk page, so that
// whole pages of it may be written around the page cache, and the large
// arrays are backed by huge pages, so that a long trace costs neither a
// zeroing pass nor a page fault per 4 KiB. `chunkarray` owns such an
// array; `hugeallocator` gives the same storage to a vector.
#pragma once

#include <cstddef>
#include <memory>

namespace cellfreq {

// The unit of a transfer around the page cache: its memory, length and
// file offset are whole multiples of it.
inline constexpr std::size_t diskpage = 4096;

// Storage of `bytes`, and its release (`bytes` as it was asked for). The
// last large block released is kept for the next large request that it
// fits: memory the process has touched then serves again instead of fresh
// pages, which the system must clear (on a virtual machine also fetch from
// its host) at a cost near that of the pass that fills them. So the cell
// file's codes become the cell table's. chunk_trim() gives a kept block
// back, at the end of a run.
void* chunkalloc(std::size_t bytes);
void chunkfree(void* p, std::size_t bytes);
void chunk_trim();

struct chunkrelease {
  std::size_t bytes = 0;
  void operator()(void* p) const { chunkfree(p, bytes); }
};
template <class T>
using chunkarray = std::unique_ptr<T[], chunkrelease>;
template <class T>
chunkarray<T> makechunkarray(std::size_t n) {
  return chunkarray<T>(static_cast<T*>(chunkalloc(n * sizeof(T))), chunkrelease{n * sizeof(T)});
}
template <class T>
struct hugeallocator {
  using value_type = T;
  hugeallocator() = default;
  template <class U>
  explicit hugeallocator(const hugeallocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(chunkalloc(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) { chunkfree(p, n * sizeof(T)); }
  friend bool operator==(const hugeallocator&, const hugeallocator&) { return true; }
};

}  // namespace cellfreq
