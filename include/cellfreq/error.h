// cellfreq/error.h: the one error type at the library's boundary.
//
// Every failure of a run comes back as a cellfreq::error (or std::bad_alloc
// when memory runs out outside the run's own accounting); nothing is ever
// printed, and a failed run leaves no temporaries and changes no output.
#pragma once

#include <stdexcept>
#include <string>

namespace cellfreq {

// What kind of failure, as the command's exit status tells them apart.
enum class error_kind {
  usage,         // a bad setting or input shape (the command's status 2)
  input_output,  // a trace or output that failed, or data a run cannot hold (status 1)
  interrupted,   // the run was cancelled (cellfreq::cancel_token)
};

class error : public std::runtime_error {
public:
  // `message` is the command's one line without "cellfreq: ", e.g.
  // "cannot open trace 'x.txt': No such file or directory"; `errnum` the
  // system's error number behind it, 0 if none.
  error(error_kind kind, const std::string& message, int errnum = 0)
      : std::runtime_error(message), kind_(kind), errnum_(errnum) {}
  error_kind kind() const noexcept { return kind_; }
  int errnum() const noexcept { return errnum_; }

private:
  error_kind kind_;
  int errnum_;
};

}  // namespace cellfreq
