// Reading a trace on every core, from a file or a pipe alike.
//
// One thread reads the input in blocks that each begin a line and hands
// each block to a thread of its own, which parses it as if the trace
// started there, with the values carried over from before unknown. The
// blocks are joined in trace order. A block is taken as it was parsed when
// the parse before it ended exactly at its start with a closed record and
// no read pending, and the block used no value from before its start: its
// records are then those of one parse from the start. Otherwise it is parsed
// again, behind the last point at which the parse is known exactly (a
// newline that closed a record with no read pending, where every value
// carried over is known). That point lies in the block before, so only one
// block's bytes are kept beyond those being parsed, and memory stays
// bounded however the trace is made. A line longer than many blocks is not
// held in memory: the rest of the input is then parsed in one go.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>

#include "io/in_order.h"
#include "trace/recordlist.h"

namespace cellfreq {
namespace {

// Bytes of the input in memory, from byte `start` of the trace.
struct bytes {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
  std::size_t capacity = 0;
  std::uint64_t start = 0;
  std::string_view view(std::size_t from = 0) const { return {data.get() + from, size - from}; }
};

// Makes room for `cap` bytes in `b`, keeping its content.
void reserve(bytes& b, std::size_t cap) {
  if (b.capacity >= cap) return;
  auto bigger = std::make_unique_for_overwrite<char[]>(cap);
  if (b.size > 0) std::memcpy(bigger.get(), b.data.get(), b.size);
  b.data = std::move(bigger);
  b.capacity = cap;
}

// A block and what its own parse made of it.
struct block {
  bytes text;
  bool last = false;  // the input ends with it
  parsestate state;
  recordlist list;
  bool ctrlz = false;
  std::thread worker;
};

// Parses `b` alone; the trace's first block starts as the trace does.
void parseblock(block& b, float cellsize) {
  textin in(b.text.view());
  b.state.vknown = b.state.wknown = b.text.start == 0;
  parsetrace(in, cellsize, b.state, b.list);
  b.ctrlz = in.ended_by_ctrlz();
  if (b.last || b.ctrlz) b.list.push(b.state.current);
}

// The bytes kept in memory, then those of a source still to be read.
class restsource final : public textsource {
public:
  restsource(std::string_view head, textsource* rest) : head_(head), rest_(rest) {}
  std::size_t read(char* buf, std::size_t n, int& error) override {
    const std::size_t k = std::min(n, head_.size());
    std::memcpy(buf, head_.data(), k);
    head_.remove_prefix(k);
    if (k == n || rest_ == nullptr) return k;
    return k + rest_->read(buf + k, n - k, error);
  }

private:
  std::string_view head_;
  textsource* rest_;
};

// Joins the blocks in trace order into the run's list.
class joiner {
public:
  joiner(recordlist& list, float cellsize) : list_(list), cellsize_(cellsize) { end_.cleanend = true; }

  bool ended() const { return ended_; }
  std::int64_t nrec() const { return nrec_; }

  // Takes the next block, as parsed or parsed again.
  void take(block& b) {
    if (ended_) return;
    if (!(end_.cleanend && end_.fieldno == 0 && !b.state.guessed)) {
      again(b.text, b.last, nullptr);
      return;
    }
    list_.append(b.list);
    parsestate& s = b.state;
    if (!s.vknown) s.v = end_.v;
    if (!s.wknown) s.w = end_.w;
    // Without a known point of its own, the block's start is one: the
    // parse ended there cleanly, with the values it had then.
    if (s.freshoffset > 0) mark(b.text.start + s.freshoffset, nrec_ + s.freshnrec, s.freshv, s.freshw);
    else mark(b.text.start, nrec_, end_.v, end_.w);
    nrec_ += s.nrec;
    end_ = s;
    keep(b.text);
    ended_ = b.last || b.ctrlz;
  }

  // Parses the rest of the input, from the bytes `head` (which follow the
  // blocks taken) on through the file `rest`, behind the last known point.
  void finish(bytes& head, textsource& rest, int& error) { error = again(head, true, &rest); }

private:
  // Records the last point from which the parse is known exactly.
  void mark(std::uint64_t at, std::int64_t nrec, float v, float w) {
    freshat_ = at;
    freshnrec_ = nrec;
    freshv_ = v;
    freshw_ = w;
  }
  // Keeps the bytes of `text` from the known point on, handing back the
  // storage of those kept before.
  void keep(bytes& text) {
    std::swap(tail_, text);
    text.size = 0;
    tailfrom_ = static_cast<std::size_t>(freshat_ - tail_.start);
  }

  // Parses the kept bytes from the known point on, then `text`, then `rest`
  // when given; returns the read error of `rest`, or 0.
  int again(bytes& text, bool last, textsource* rest) {
    bytes joined;
    joined.start = freshat_;
    reserve(joined, tail_.size - tailfrom_ + text.size);
    joined.size = joined.capacity;
    if (tail_.size > tailfrom_) std::memcpy(joined.data.get(), tail_.data.get() + tailfrom_, tail_.size - tailfrom_);
    if (text.size > 0) std::memcpy(joined.data.get() + tail_.size - tailfrom_, text.data.get(), text.size);
    list_.truncate(static_cast<std::size_t>(freshnrec_));
    parsestate s;
    s.v = freshv_;
    s.w = freshw_;
    restsource src(joined.view(), rest);
    textin in(src);
    parsetrace(in, cellsize_, s, list_);
    const bool ctrlz = in.ended_by_ctrlz();
    if (last || ctrlz) list_.push(s.current);
    nrec_ = freshnrec_ + s.nrec;
    if (s.freshoffset > 0 && rest == nullptr) mark(freshat_ + s.freshoffset, freshnrec_ + s.freshnrec, s.freshv, s.freshw);
    end_ = s;
    keep(joined);
    ended_ = last || ctrlz;
    return in.error();
  }

  recordlist& list_;
  float cellsize_;
  parsestate end_;  // where the blocks taken left the parse, v and w known
  bool ended_ = false;
  std::int64_t nrec_ = 0;
  std::uint64_t freshat_ = 0;
  std::int64_t freshnrec_ = 0;
  float freshv_ = 0.0f, freshw_ = 0.0f;
  bytes tail_;
  std::size_t tailfrom_ = 0;
};

// Reads from `src` behind the bytes already in `b` (which hold no line end),
// `want` bytes at a time, until `b` holds a line end or the input ends;
// `lineend` is then the position after the last one. So a block holds about
// `want` bytes past what it started with, and blocks of one byte end at
// every line end. False at the end of the input (or on a read error, which
// sets `error`). Grows `b` up to `most` bytes; true with `lineend` 0 when a
// line does not fit in them.
bool readline_end(textsource& src, bytes& b, std::size_t want, std::size_t most, int& error, std::size_t& lineend) {
  for (;;) {
    if (b.size == b.capacity) {
      if (b.capacity >= most) return true;  // full, no line end: the caller decides
      reserve(b, std::min(most, std::max(b.capacity * 2, want)));
    }
    const std::size_t scanned = b.size, room = std::min(want, b.capacity - b.size);
    const std::size_t got = src.read(b.data.get() + b.size, room, error);
    b.size += got;
    // The last line end read so far, so that the block ends at a line start.
    for (std::size_t i = b.size; i > scanned; --i)
      if (b.data[i - 1] == '\n') {
        lineend = i;
        return got == room;
      }
    if (got < room) return false;
  }
}

}  // namespace

blockplan blockplan::machine() {
  const unsigned cores = usable_cores();
  // About 32 MiB of blocks in flight, in blocks of 256 KiB to 4 MiB.
  const std::size_t size = std::clamp<std::size_t>((std::size_t{32} << 20) / (cores + 1), std::size_t{256} << 10,
                                                   std::size_t{4} << 20);
  return {size, cores};
}

result<std::int64_t> readtraceblocks(textsource& src, float cellsize, recordlist& list, blockplan plan,
                                     textin::progressfn progress, void* progress_ctx) {
  const std::size_t want = std::max<std::size_t>(plan.block, 1);
  const std::size_t most = std::max(want, plan.longest);
  const std::size_t inflight = plan.workers + 1;
  joiner join(list, cellsize);
  std::deque<std::unique_ptr<block>> running;
  // Blocks taken are used again, lists and all, so that their memory is
  // touched once rather than once a block.
  std::vector<std::unique_ptr<block>> spare;
  const auto takeoldest = [&] {
    block& b = *running.front();
    if (b.worker.joinable()) b.worker.join();
    join.take(b);
    b.list.clear();
    b.state = parsestate{};
    b.ctrlz = b.last = false;
    spare.push_back(std::move(running.front()));
    running.pop_front();
  };
  int error = 0;
  std::uint64_t readsofar = 0;
  bytes carry;  // the bytes read after the last block's end
  while (!join.ended()) {
    std::unique_ptr<block> b;
    if (spare.empty()) {
      b = std::make_unique<block>();
    } else {
      b = std::move(spare.back());
      spare.pop_back();
    }
    // The block starts with the bytes carried over, in storage used before.
    bytes& t = b->text;
    t.size = 0;
    reserve(t, std::max(want, carry.size));
    if (carry.size > 0) std::memcpy(t.data.get(), carry.data.get(), carry.size);
    t.size = carry.size;
    t.start = carry.start;
    const std::size_t had = b->text.size;
    std::size_t lineend = 0;
    const bool more = readline_end(src, b->text, want, most, error, lineend);
    readsofar += b->text.size - had;
    if (progress != nullptr) progress(progress_ctx, readsofar);
    if (more && lineend == 0) {
      // A line longer than the blocks may hold: parse the rest in one go.
      while (!running.empty()) takeoldest();
      join.finish(b->text, src, error);
      break;
    }
    b->last = !more;
    if (more) {
      // The bytes after the block's last line end go to the next block.
      carry.start = b->text.start + lineend;
      carry.size = 0;
      reserve(carry, b->text.size - lineend);
      carry.size = b->text.size - lineend;
      if (carry.size > 0) std::memcpy(carry.data.get(), b->text.data.get() + lineend, carry.size);
      b->text.size = lineend;
    }
    if (plan.workers <= 1 || (b->last && running.empty())) {
      parseblock(*b, cellsize);
    } else {
      block* raw = b.get();
      raw->worker = std::thread([raw, cellsize] { parseblock(*raw, cellsize); });
    }
    running.push_back(std::move(b));
    while (running.size() >= inflight || (!running.empty() && !running.front()->worker.joinable())) takeoldest();
    if (!more) break;
  }
  while (!running.empty()) takeoldest();
  if (error != 0) return syserror(error);
  return join.nrec();
}

result<std::int64_t> readtracefile(textsource& src, float cellsize, recordlist& list, textin::progressfn progress,
                                   void* progress_ctx) {
  return readtraceblocks(src, cellsize, list, blockplan::machine(), progress, progress_ctx);
}

}  // namespace cellfreq
