// The storage of the large arrays: aligned, on huge pages where the system
// has them, the last large block kept for the next request it fits.
#include "io/chunkalloc.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

#ifdef __linux__
#include <sys/mman.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace cellfreq {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

// The large block kept for reuse, if any: blocks from 32 MiB on, taken by
// a request of at least half its size, so that little of it goes unused.
constexpr std::size_t keep_from = std::size_t{32} << 20;
struct kept_block {
  std::mutex mutex;
  void* storage = nullptr;
  std::size_t bytes = 0;
};
kept_block& kept() {
  static kept_block k;
  return k;
}

// Keeps `storage` (null: none) and hands back the block kept before, for
// the caller to free outside the lock.
void* keep(void* storage, std::size_t bytes) {
  kept_block& k = kept();
  const std::lock_guard<std::mutex> lock(k.mutex);
  k.bytes = storage != nullptr ? bytes : 0;
  return std::exchange(k.storage, storage);
}

}  // namespace

void* chunkalloc(std::size_t bytes) {
  void* storage = nullptr;
  if (bytes >= keep_from) {
    kept_block& k = kept();
    const std::lock_guard<std::mutex> lock(k.mutex);
    if (k.storage != nullptr && k.bytes >= bytes && k.bytes / 2 <= bytes) {
      k.bytes = 0;
      return std::exchange(k.storage, nullptr);
    }
  }
#ifdef __GLIBC__
  // Large chunks always come from the system and go back to it when freed.
  // Left to itself the C library raises its threshold for that to the size
  // of the first large block freed, so that a second run in one process
  // (a Python session's) takes its chunks from the heap instead, where they
  // cost some 50 % more resident memory than in the first run.
  static const bool fixed = mallopt(M_MMAP_THRESHOLD, static_cast<int>(huge_page)) != 0;
  (void)fixed;
#endif
#ifdef __linux__
  const std::size_t align = bytes >= huge_page ? huge_page : diskpage;
  storage = std::aligned_alloc(align, (std::max<std::size_t>(bytes, 1) + align - 1) / align * align);
  if (storage != nullptr && align == huge_page) madvise(storage, bytes, MADV_HUGEPAGE);  // a hint; failure is harmless
#endif
  if (storage == nullptr) storage = std::malloc(bytes);
  if (storage == nullptr) throw std::bad_alloc();
  return storage;
}

void chunkfree(void* p, std::size_t bytes) { std::free(p != nullptr && bytes >= keep_from ? keep(p, bytes) : p); }

void chunk_trim() { std::free(keep(nullptr, 0)); }

}  // namespace cellfreq
