// The frame of every file that one piece of a run hands to another, and the
// one reader that takes such a file apart.
//
// A piece file is
//   KIND (6 bytes) VERSION (1 digit) '\n'    what the file is, which format
//   the fingerprint of the run (fingerprint.h) that wrote it
//   the body, of its kind's own layout
//   the CRC-32 of every byte before it (4 bytes)
// A body may hold seals of its own: the CRC-32 of every byte of the file
// before the seal, so that a reader of only the start of a file (a merge
// reads a part's index and then its own objects' records) knows that start
// intact without reading all of the file.
//
// The files come from other processes, other machines, earlier runs, and
// the disk: the reader trusts nothing in them. Every count is checked against
// the bytes left in the file and against its format's limit before anything
// is allocated or sized from it, every flag is a byte of 0 or 1, and every
// failure is one `failure` naming the file and what is wrong with it.
//
// Numbers are in the host's byte order: the machines of one run must share
// it (all of today's common ones are little-endian).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "driver/runconfig.h"

namespace cellfreq {

enum class piecekind { part, plan, heat, cells, report, places, placed };

// The file's kind as messages name it: "part file", "plan file", "merge
// file", "placement file".
const char* piecenoun(piecekind kind);

// The CRC-32 (zlib's) of `n` bytes at `p`, going on from `crc` (0 to begin).
std::uint32_t crc32of(std::uint32_t crc, const void* p, std::size_t n);
// The CRC-32 of bytes A then bytes B, from `a` (A's) and `b` (B's, of
// `blength` bytes): how a file written out of order gets its checksum.
std::uint32_t crc32join(std::uint32_t a, std::uint32_t b, std::int64_t blength);

// A piece file built in memory and written under a fresh name, then
// renamed into place. The caller puts the fingerprint first.
class pieceout {
public:
  // Starts with the kind's frame, or with `framed` false holds a section
  // of a file only.
  explicit pieceout(piecekind kind, bool framed = true);
  template <class T>
  void put(const T& v) {
    static_assert(std::is_trivially_copyable_v<T> && !std::is_same_v<T, bool>);
    bytes_.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  void putflag(bool b) { put(static_cast<std::uint8_t>(b ? 1 : 0)); }
  template <class T>
  void putall(const T* v, std::size_t n) {
    static_assert(std::is_trivially_copyable_v<T> && !std::is_same_v<T, bool>);
    bytes_.append(reinterpret_cast<const char*>(v), n * sizeof(T));
  }
  void putstring(std::string_view s);
  // A seal: the CRC-32 of every byte so far.
  void seal() { put(crc32of(0, bytes_.data(), bytes_.size())); }
  // The bytes so far (the start of a text file that a textout writes on).
  const std::string& bytes() const { return bytes_; }
  // Seals the file and writes it to `path`, replaced when complete.
  result<void> save(const std::string& path);

private:
  piecekind kind_;
  std::string bytes_;
};

// Reads a piece file, sequentially from its start or at checked offsets.
//
// A file's layout is read as many small gets (a count, a flag, a string),
// each of which may find the file damaged. The reader keeps the first
// failure inside, as textout keeps its first write error: a get answers
// only whether it may go on, later gets fail at once, and a layout reads
// as one chain of gets rather than a check after each. The points where a
// caller learns the outcome return it: open(), seal(), damaged(), fails()
// and outcome(), and the loaders built on the reader (partfiles.h).
class piecein {
public:
  piecein() = default;
  ~piecein();
  piecein(const piecein&) = delete;
  piecein& operator=(const piecein&) = delete;

  // Opens `path` as a file of `kind`: of this format version and, with
  // `whole`, with a final checksum that matches all it holds (one pass over
  // the file). Reading goes on after the kind and version.
  result<void> open(const std::string& path, piecekind kind, bool whole);

  template <class T>
  bool get(T& v, const char* what) {
    static_assert(std::is_trivially_copyable_v<T> && !std::is_same_v<T, bool>);
    return bytes(&v, sizeof v, what);
  }
  // A flag: one byte that must be 0 or 1.
  bool getflag(bool& b, const char* what);
  // A count of items of at least `each` bytes that must all fit in the
  // rest of the file, and at most `limit`.
  bool getcount(std::int64_t& n, std::int64_t limit, std::int64_t each, const char* what);
  // `n` items, counted by getcount().
  template <class T>
  bool getall(T* v, std::size_t n, const char* what) {
    static_assert(std::is_trivially_copyable_v<T> && !std::is_same_v<T, bool>);
    return bytes(v, n * sizeof(T), what);
  }
  // A string of at most `limit` bytes.
  bool getstring(std::string& s, std::int64_t limit, const char* what);
  // Checks the seal that comes next against the bytes read so far, which
  // must have been read in order from the file's start.
  result<void> seal();
  // Goes on reading at `offset`, which must lie within the body.
  bool seek(std::int64_t offset, const char* what);
  // Checks that the CRC-32 of the `length` bytes at `offset` is `crc`,
  // reading them, and goes on reading at `offset`.
  bool checkspan(std::int64_t offset, std::int64_t length, std::uint32_t crc, const char* what);
  // Reads `n` bytes at `offset` and goes on from their end.
  bool readat(std::int64_t offset, void* p, std::size_t n, const char* what) {
    return seek(offset, what) && bytes(p, n, what);
  }

  std::int64_t at() const { return at_; }          // where the next read starts
  std::int64_t end() const { return size_ - 4; }   // where the final checksum starts
  std::int64_t size() const { return size_; }
  std::uint32_t checksum() const { return final_; }  // the final checksum, as the file holds it
  std::uint32_t running() const { return running_; }  // of the bytes read in order from the start
  std::FILE* file() const { return f_; }
  const std::string& path() const { return path_; }
  piecekind kind() const { return kind_; }

  // Fails with "NOUN 'PATH' is damaged: WHAT", or with a failure of its
  // own; either returns outcome(), which keeps a failure from before.
  result<void> damaged(const std::string& what);
  result<void> fails(failure f);
  bool ok() const { return !fail_.has_value(); }
  // Success, or the first failure.
  result<void> outcome() const;

  // A seam for the fuzz target: final checksums and seals are not compared,
  // so that fuzzing reaches the checks behind them.
  static bool trustchecksums;

private:
  // open()'s work: the frame, with its failure kept.
  bool readframe(const std::string& path, piecekind kind, bool whole);
  bool bytes(void* p, std::size_t n, const char* what);
  // Keeps `f` when nothing failed before; false, for the gets to answer.
  bool stick(failure f);
  bool broken(const std::string& what);  // damaged(), for the gets
  bool unreadable(int errnum);  // "cannot read NOUN 'PATH'" and the system's reason

  std::FILE* f_ = nullptr;
  std::string path_;
  piecekind kind_ = piecekind::part;
  std::int64_t size_ = 0, at_ = 0;
  std::uint32_t running_ = 0;  // CRC-32 of the bytes read in order from the start
  bool inorder_ = true;        // every byte so far read in order from the start
  std::uint32_t final_ = 0;
  std::optional<failure> fail_;
};

}  // namespace cellfreq
