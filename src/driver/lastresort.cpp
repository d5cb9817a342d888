// One line and a clean exit for whatever escapes a run.
#include "driver/lastresort.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "driver/runconfig.h"
#include "platform/signals.h"

namespace cellfreq {
namespace {

std::atomic<const char*> current{"starting"};
std::atomic<const char*> program{"cellfreq"};

// Prints the line for the exception `e` and removes the temporaries.
void tell(const std::exception_ptr& e) {
  std::string line = program.load();
  const char* during = current.load();
  try {
    std::rethrow_exception(e);
  } catch (const std::bad_alloc&) {
    line.append(": out of memory while ").append(during);
  } catch (const std::exception& x) {
    line.append(": failed while ").append(during).append(": ").append(x.what());
  } catch (...) {
    line.append(": failed while ").append(during).append(" for a reason that cannot be named");
  }
  line += '\n';
  remove_temporaries();
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

[[noreturn]] void onterminate() {
  if (const std::exception_ptr e = std::current_exception()) tell(e);
  else remove_temporaries();
  std::_Exit(status_failed);
}

}  // namespace

activity::activity(const char* what) : before_(current.exchange(what)), unwinding_(std::uncaught_exceptions()) {}
// An exception on its way out leaves the activity it escaped from named.
activity::~activity() {
  if (std::uncaught_exceptions() == unwinding_) current.store(before_);
}

int lastresort(const char* progname, const std::function<int()>& body) {
  program.store(progname);
  std::set_terminate(onterminate);
  try {
    return body();
  } catch (...) {
    tell(std::current_exception());
    return status_failed;
  }
}

}  // namespace cellfreq
