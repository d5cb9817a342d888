// result: the one way a function of this program tells that it failed.
//
// A function that can fail returns result<T>: the value, or a `failure`
// that says what went wrong. The class is [[nodiscard]], so an outcome
// cannot be dropped unseen; a deliberate drop is written `(void)`. The
// layers below the driver know only the system's reason (`errnum`); the
// layer that knows what was being done names it (`what`) on the way up, and
// the front ends print it once, as "PROG: what: reason".
//
// A few objects keep their first error inside while they are used, and the
// point where a caller learns the outcome returns a result:
// - textout, because a check at every put would cost the formatting loops
//   their speed; flush() returns it.
// - textin and the byte sources under it (textsource), because a read
//   hands out the bytes before a failure together with the failure, which
//   a value-or-failure cannot carry; the trace readers return it at their
//   end.
// - the record lists (chunkedlist), because a push must stay a store and a
//   count; the pass that takes the list turns error() into a result.
// - the piece file reader (piecein), because a file's layout reads as one
//   chain of small gets; its open(), seal() and the loaders built on it
//   return the outcome.
// The platform calls that stand for one system call each (platform/os.h)
// answer as that call does.
#pragma once

#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace cellfreq {

// Exit statuses of a run.
inline constexpr int status_ok = 0;
inline constexpr int status_failed = 1;
inline constexpr int status_usage = 2;  // a bad option, found late; the configurable command only

// What a failure is: the message's subject (`what`, e.g. "cannot write
// report"), the system's error number, a `reason` that stands instead of
// the system's text when set, the exit status it ends a run with, and
// whether `what` is already the whole message, with no reason after it.
struct failure {
  std::string what{};
  int errnum = 0;
  std::string reason{};
  int status = status_failed;
  bool whole = false;
};

// A failure known by the system's error number alone; 0 stands for EIO,
// so that a failure never reads as success.
inline failure syserror(int errnum) { return {{}, errnum != 0 ? errnum : EIO}; }
// The failure errno tells now: for a call that has just failed.
inline failure lasterror() { return syserror(errno); }

// The value of a successful call, or its failure.
template <class T>
class [[nodiscard]] result {
public:
  result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  result(failure f) : v_(std::in_place_index<1>, std::move(f)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  // Only when ok().
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  // Only when !ok().
  failure& error() { return std::get<1>(v_); }
  const failure& error() const { return std::get<1>(v_); }

private:
  std::variant<T, failure> v_;
};

// The outcome of a call that has no value: `return {};` succeeds.
template <>
class [[nodiscard]] result<void> {
public:
  result() = default;
  result(failure f) : f_(std::move(f)) {}

  bool ok() const { return !f_.has_value(); }
  explicit operator bool() const { return ok(); }
  // Only when !ok().
  failure& error() { return *f_; }
  const failure& error() const { return *f_; }

private:
  std::optional<failure> f_;
};

// Success, or syserror(errnum) when `errnum` is not 0: for the system's
// calls, which answer with an error number.
inline result<void> fromerrno(int errnum) {
  if (errnum == 0) return {};
  return syserror(errnum);
}

// The error number of `r`'s failure, or 0: for the objects that keep a
// first error of their own (see above).
inline int errnumof(const result<void>& r) { return r ? 0 : r.error().errnum; }

// `kept`, or `next` when `kept` succeeded: of several steps that each may
// fail, the first failure is the one told, since the later ones are only
// its consequences.
inline result<void> first(result<void> kept, result<void> next) { return kept ? std::move(next) : std::move(kept); }

}  // namespace cellfreq
