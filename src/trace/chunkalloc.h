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

void* chunkalloc(std::size_t bytes);
void chunkfree(void* p);

struct chunkrelease {
  void operator()(void* p) const { chunkfree(p); }
};
template <class T>
using chunkarray = std::unique_ptr<T[], chunkrelease>;
template <class T>
chunkarray<T> makechunkarray(std::size_t n) {
  return chunkarray<T>(static_cast<T*>(chunkalloc(n * sizeof(T))));
}
template <class T>
struct hugeallocator {
  using value_type = T;
  hugeallocator() = default;
  template <class U>
  explicit hugeallocator(const hugeallocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(chunkalloc(n * sizeof(T))); }
  void deallocate(T* p, std::size_t) { chunkfree(p); }
  friend bool operator==(const hugeallocator&, const hugeallocator&) { return true; }
};

}  // namespace cellfreq
