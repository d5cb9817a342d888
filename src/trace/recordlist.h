// recordlist: the records of a trace, one `node` per record, in trace order.
//
// This is the chief header of the trace stage: it also declares readtrace().
// Records live in fixed-size chunks rather than one allocation each, so a
// trace of a hundred million lines costs 12 bytes a record and a few hundred
// allocations, and a list with a memory limit moves what does not fit to a
// scratch file.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include "io/chunkalloc.h"
#include "io/result.h"
#include "io/textin.h"

namespace cellfreq {

// One record of the trace: the object id and the column and row cell numbers
// of its position. Every node starts zero-filled.
struct node {
  std::int32_t id = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  friend bool operator==(const node&, const node&) = default;
};

// Makes an empty scratch file for the records a list moves out of memory:
// opened for reading and writing (binary), and removed by the system when
// it is closed or the process ends.
using scratchfn = result<std::FILE*> (*)();

// The file transfers behind chunkedlist, shared by every element type:
// writes or reads `bytes` at byte `offset` of `f`.
result<void> scratchwrite(std::FILE* f, std::uint64_t offset, const void* data, std::size_t bytes);
result<void> scratchread(std::FILE* f, std::uint64_t offset, void* data, std::size_t bytes);

// A list of trivially copyable records in push order. Records live in
// fixed-size chunks rather than one allocation each. A list given a limit
// keeps at most about that many records in memory: when a chunk is full and
// the limit reached, the records in memory are appended to the list's
// scratch file, so that the list can hold a trace of any length. The
// records on disk always come before those in memory.
template <class T>
class chunkedlist {
public:
  // Chunks double from `first_chunk_nodes` up to `chunk_nodes`, so that a
  // short trace costs little memory and a long one few allocations.
  static constexpr std::size_t first_chunk_nodes = std::size_t{1} << 10;
  static constexpr std::size_t chunk_nodes = std::size_t{1} << 20;

  void push(const T& n) {
    if (chunks_.empty() || chunks_.back().count == chunks_.back().capacity) grow();
    chunk& c = chunks_.back();
    c.nodes[c.count++] = n;
    ++size_;
  }
  std::size_t size() const { return size_; }

  // Keeps at most about `maxmemory` records in memory from now on, moving
  // the others to a scratch file made by `make`.
  void limit(std::size_t maxmemory, scratchfn make) {
    memcap_ = maxmemory;
    make_ = make;
  }
  // Whether records were moved to disk, and the first error of a scratch
  // file (records then went missing: the list must not be used). The list
  // keeps that error as a stream does, since pushing a record must stay a
  // store and a count.
  bool spilled() const { return ondisk_ > 0; }
  int error() const { return error_; }

  // Drops the records from position `n` on.
  void truncate(std::size_t n) {
    if (n < ondisk_) {
      chunks_.clear();
      ondisk_ = size_ = n;
      return;
    }
    while (size_ > n) {
      chunk& last = chunks_.back();
      const std::size_t drop = std::min(last.count, size_ - n);
      last.count -= drop;
      size_ -= drop;
      if (last.count == 0) chunks_.pop_back();
    }
  }
  // Copies the records of `tail` behind this list's records, keeping this
  // list's limit.
  void append(const chunkedlist& tail) {
    tail.foreachblock([&](const T* p, std::size_t n) {
      while (n > 0) {
        if (chunks_.empty() || chunks_.back().count == chunks_.back().capacity) grow();
        chunk& c = chunks_.back();
        const std::size_t k = std::min(n, c.capacity - c.count);
        std::copy_n(p, k, c.nodes.get() + c.count);
        c.count += k;
        size_ += k;
        p += k;
        n -= k;
      }
    });
  }
  // Empties the list and keeps its largest chunk for the records to come,
  // so that a list filled again and again costs no new memory.
  void clear() {
    if (!chunks_.empty()) chunks_.erase(chunks_.begin(), chunks_.end() - 1);
    if (!chunks_.empty()) chunks_.back().count = 0;
    size_ = ondisk_ = 0;
    disk_.reset();
  }

  // Reads the records in order into the caller's buffer, a block at a time.
  class reader {
  public:
    explicit reader(const chunkedlist& list) : list_(list) {}
    // Copies the next records, at most `max`, to `to`; how many, 0 at the
    // end or after a read error (which the list's error() then tells).
    std::size_t read(T* to, std::size_t max) {
      if (at_ < list_.ondisk_) {
        const std::size_t n = std::min(max, list_.ondisk_ - at_);
        if (list_.error_ == 0) list_.error_ = errnumof(scratchread(list_.disk_.get(), at_ * sizeof(T), to, n * sizeof(T)));
        if (list_.error_ != 0) return 0;
        at_ += n;
        return n;
      }
      for (; chunk_ < list_.chunks_.size(); ++chunk_, inchunk_ = 0) {
        const chunk& c = list_.chunks_[chunk_];
        if (inchunk_ < c.count) {
          const std::size_t n = std::min(max, c.count - inchunk_);
          std::copy_n(c.nodes.get() + inchunk_, n, to);
          inchunk_ += n;
          return n;
        }
      }
      return 0;
    }

  private:
    const chunkedlist& list_;
    std::size_t at_ = 0, chunk_ = 0, inchunk_ = 0;
  };

  // Calls f(block, n) for consecutive blocks of the records, in order.
  template <class F>
  void foreachblock(F&& f) const {
    if (ondisk_ > 0) {
      const std::size_t step = std::min(ondisk_, readblock);
      const auto buf = std::make_unique_for_overwrite<T[]>(step);
      reader r(*this);
      for (std::size_t left = ondisk_, n; left > 0 && (n = r.read(buf.get(), std::min(step, left))) > 0; left -= n)
        f(static_cast<const T*>(buf.get()), n);
    }
    for (const chunk& c : chunks_) f(static_cast<const T*>(c.nodes.get()), c.count);
  }
  // The records in memory, chunk by chunk in order: all of them when the
  // list has not spilled, for passes that share them out among threads.
  std::vector<std::span<const T>> chunks() const {
    std::vector<std::span<const T>> all;
    all.reserve(chunks_.size());
    for (const chunk& c : chunks_) all.emplace_back(c.nodes.get(), c.count);
    return all;
  }
  // Calls f(record) for every record, in order.
  template <class F>
  void foreach(F&& f) const {
    foreachblock([&](const T* p, std::size_t n) {
      for (std::size_t i = 0; i < n; ++i) f(p[i]);
    });
  }
  std::vector<T> tovector() const {
    std::vector<T> all;
    all.reserve(size_);
    foreachblock([&](const T* p, std::size_t n) { all.insert(all.end(), p, p + n); });
    return all;
  }

private:
  static_assert(std::is_trivially_copyable_v<T>);
  static constexpr std::size_t readblock = std::size_t{1} << 16;

  struct chunk {
    chunkarray<T> nodes;
    std::size_t count = 0;
    std::size_t capacity = 0;
  };
  struct fileclose {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  // Out of line, so that push() stays small enough to be inlined where
  // records are made, once per trace line.
  [[gnu::noinline]] void grow() {
    if (make_ != nullptr && size_ - ondisk_ >= memcap_ && !chunks_.empty()) {
      spill();
      return;
    }
    const std::size_t n =
        chunks_.empty() ? first_chunk_nodes : std::min(chunk_nodes, chunks_.back().capacity * 2);
    chunks_.push_back(chunk{makechunkarray<T>(n), 0, n});
  }
  // Appends the records in memory to the scratch file (made on first use)
  // and keeps the last chunk, emptied, for the records to come. After a
  // failure the records are dropped and error() tells why.
  void spill() {
    if (chunks_.empty()) return;
    if (!disk_ && error_ == 0) {
      result<std::FILE*> f = make_();
      if (f) disk_.reset(f.value());
      else error_ = f.error().errnum;
    }
    for (const chunk& c : chunks_) {
      if (error_ == 0) error_ = errnumof(scratchwrite(disk_.get(), ondisk_ * sizeof(T), c.nodes.get(), c.count * sizeof(T)));
      if (error_ == 0) ondisk_ += c.count;
    }
    size_ = ondisk_;
    chunks_.erase(chunks_.begin(), chunks_.end() - 1);
    chunks_.back().count = 0;
  }
  std::vector<chunk> chunks_;
  std::size_t size_ = 0;
  std::size_t ondisk_ = 0;  // records [0, ondisk_) are in the scratch file
  std::size_t memcap_ = SIZE_MAX;
  scratchfn make_ = nullptr;
  std::unique_ptr<std::FILE, fileclose> disk_;
  mutable int error_ = 0;
};

// The records of a trace, one `node` per record, in trace order. The order
// of the records is the order in which they were closed, which is all that
// later stages rely on.
using recordlist = chunkedlist<node>;

// The state of the character-driven trace parser between two characters.
// `current` is the record being filled; `fieldno` counts the TABs that the
// character step has read on the current line (only 0, 3 and 4 trigger
// anything); `v` and `w` keep the last numbers read for a field and for the
// row coordinate, since a read that converts nothing leaves them as they
// were and the record takes the old value.
//
// A part of a trace may be parsed from its middle, as if a line started
// there, before the values of `v` and `w` at that point are known; then
// `vknown`/`wknown` start false and `guessed` records whether any record
// could have taken an unknown value (a read that converted nothing before
// the first one that did). `fresh*` keep the last point at which a newline
// closed a record with no read pending and `v` and `w` known: its raw byte
// offset (0 for none yet) and the values there, from which the parse can be
// resumed exactly.
struct parsestate {
  node current{};
  std::int64_t fieldno = 0;
  float v = 0.0f;
  float w = 0.0f;
  std::int64_t nrec = 0;  // newlines handled by the character step
  bool vknown = true;
  bool wknown = true;
  bool guessed = false;
  bool cleanend = false;  // the input ended at a character step, no read pending
  std::uint64_t freshoffset = 0;
  std::int64_t freshnrec = 0;
  float freshv = 0.0f;
  float freshw = 0.0f;
};

// Runs the parser over `in` until the input ends, pushing every record that a
// newline closes onto `out`. The record still being filled at the end stays
// in `state.current`.
void parsetrace(textin& in, float cellsize, parsestate& state, recordlist& out);

// Reads a whole trace into `list` (which is expected to be empty): every
// record closed by a newline, then the record that was being filled when the
// input ended, so the list holds exactly nrec + 1 records. Returns nrec.
std::int64_t readtrace(textin& in, float cellsize, recordlist& list);

// readtrace() over a source of the trace's bytes (a file, a pipe, or the
// text decompressed from either), the way a run reads its trace, the
// blocks parsed on every core; `progress`, when given, is called with the
// bytes read so far. Returns nrec; a read error ends the records where it
// struck (the list then holds those read, and the one being filled) and
// fails the call.
result<std::int64_t> readtracefile(textsource& src, float cellsize, recordlist& list,
                        textin::progressfn progress = nullptr, void* progress_ctx = nullptr);

// How readtracefile() cuts the input: into blocks of about `block` bytes,
// each ending at a line end, parsed by up to `workers` threads at once.
struct blockplan {
  std::size_t block = 0;
  unsigned workers = 1;
  // A line longer than this ends the blocks: the rest of the input is then
  // parsed in one go, so that memory stays bounded by it.
  std::size_t longest = longest_line;
  // One worker per core, with blocks sized so that those in flight stay
  // within a few tens of MiB.
  static blockplan machine();
};

// readtracefile() with the blocks of `plan`: the same records for every
// plan, since a block is parsed again behind the last point known exactly
// wherever its own parse cannot be proved to be the sequential one's.
result<std::int64_t> readtraceblocks(textsource& src, float cellsize, recordlist& list, blockplan plan,
                                     textin::progressfn progress = nullptr, void* progress_ctx = nullptr);

// The first line start at or after byte `at` of the seekable `f`: 0 for 0,
// the file's size when no line starts there or later. Ranges between such
// points tile a trace into parts that each begin a line.
std::int64_t linestart(std::FILE* f, std::int64_t at);

// Parses bytes [start, end) of `f`, continuing `state` (for a part whose
// predecessor is not known yet, a fresh state with v and w unknown; see
// parsestate), and pushes every record a newline closes; when the part is
// the `last` one (it reaches the end of the file) or a Ctrl-Z ends the
// trace within it (`ctrlz`), also the record being filled. Fails with the
// read error.
result<void> parserange(std::FILE* f, std::int64_t start, std::int64_t end, bool last, float cellsize, parsestate& state,
               recordlist& list, bool& ctrlz);

}  // namespace cellfreq
