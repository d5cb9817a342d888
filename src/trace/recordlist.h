// recordlist: the records of a trace, one `node` per record, in trace order.
//
// This is the chief header of the trace stage: it also declares readtrace().
// Records live in fixed-size chunks rather than one allocation each, so a
// trace of a hundred million lines costs 12 bytes a record and a few hundred
// allocations. The order of the records is the order in which they were
// closed, which is all that later stages rely on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "trace/textin.h"

namespace cellfreq {

// One record of the trace: the object id and the column and row cell numbers
// of its position. Every node starts zero-filled.
struct node {
  std::int32_t id = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  friend bool operator==(const node&, const node&) = default;
};

class recordlist {
public:
  // Chunks double from `first_chunk_nodes` up to `chunk_nodes`, so that a
  // short trace costs little memory and a long one few allocations.
  static constexpr std::size_t first_chunk_nodes = std::size_t{1} << 10;
  static constexpr std::size_t chunk_nodes = std::size_t{1} << 20;

  void push(const node& n) {
    if (chunks_.empty() || chunks_.back().count == chunks_.back().capacity) grow();
    chunk& c = chunks_.back();
    c.nodes[c.count++] = n;
    ++size_;
  }

  std::size_t size() const { return size_; }

  // Drops the records from position `n` on.
  void truncate(std::size_t n);

  // Moves all records of `tail` behind this list's records.
  void splice(recordlist&& tail);

  // Calls f(node) for every record, in order.
  template <class F>
  void foreach(F&& f) const {
    for (const chunk& c : chunks_)
      for (std::size_t i = 0; i < c.count; ++i) f(c.nodes[i]);
  }

  std::vector<node> tovector() const;

private:
  // Chunk storage is left uninitialised (every slot is written before it
  // is read) and, for the large chunks on Linux, backed by huge pages, so
  // that a long trace costs neither a zeroing pass nor a page fault per
  // 4 KiB of records.
  struct release {
    void operator()(node* p) const;
  };
  struct chunk {
    std::unique_ptr<node[], release> nodes;
    std::size_t count = 0;
    std::size_t capacity = 0;
  };
  void grow();

  std::vector<chunk> chunks_;
  std::size_t size_ = 0;
};

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
// closed a record: its raw byte offset and the values there, from which the
// parse can be resumed exactly.
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

// readtrace() over an open file (binary mode), the way a run reads its
// trace; `progress`, when given, is called with the bytes read so far.
struct traceread {
  std::int64_t nrec = 0;
  int error = 0;  // the system error number of a failed read, or 0
};
//
// Given the file's `path` as well, a large regular file is parsed in two
// halves on two threads: the second half from the first line start after
// the middle, as if the trace started there. The halves are joined when the
// first one ends exactly there with a closed record and the second one took
// no value from before its start; otherwise the second half is parsed again,
// from the first half's last closed record on, so the records are always
// those of one parse from the start.
traceread readtracefile(std::FILE* f, float cellsize, recordlist& list,
                        textin::progressfn progress = nullptr, void* progress_ctx = nullptr,
                        const char* path = nullptr);

// The two-part read of readtracefile() with the second part starting at the
// first line start after byte `middle` (the whole file in one part if there
// is none); the same records for every `middle`. `f` must be seekable.
traceread readtracefile_split(std::FILE* f, const char* path, std::int64_t middle, float cellsize,
                              recordlist& list, textin::progressfn progress = nullptr,
                              void* progress_ctx = nullptr);

}  // namespace cellfreq
