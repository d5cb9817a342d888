// The last resort for failures that no pass could handle where they
// happened: memory that ran out, a thread that could not start, a file
// system call that threw. Such a failure still ends the run with one line
// that says what the run was doing, its temporaries removed, and status 1,
// never an abort without a word.
#pragma once

#include <functional>

namespace cellfreq {

// Names what the run is doing while it lives ("grouping the records"), for
// the line of a failure that escapes; the one it replaced comes back when
// it goes, unless an exception takes it. Set by one thread at a time, the
// one that drives the run.
class activity {
public:
  explicit activity(const char* what);
  ~activity();
  activity(const activity&) = delete;
  activity& operator=(const activity&) = delete;

private:
  const char* before_;
  int unwinding_;  // exceptions already in flight when it began
};

// Runs body() and returns its status. Whatever it throws, and whatever a
// thread it started throws, prints "PROG: out of memory while ACTIVITY"
// (or "PROG: failed while ACTIVITY: WHAT") on standard error, removes the
// registered temporaries and ends with status 1: returned here, or for a
// thread's exception by ending the process from the terminate handler.
int lastresort(const char* progname, const std::function<int()>& body);

}  // namespace cellfreq
