// The registry of unfinished files and the handler that removes them when a
// signal ends the run.
//
// The handler does only async-signal-safe work: it reads the registry,
// unlinks its names, writes a line prepared beforehand and calls _Exit.
// A signal that arrives while a file is being created and registered waits
// until that is done: a file never exists unregistered, and no name is
// removed that this run did not create.
#include "platform/signals.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/os.h"
#include "platform/registry.h"

namespace cellfreq {

int registry::free_entry() const {
  for (int i = 0; i < size; ++i)
    if (!entries_[i].armed.load()) return i;
  return -1;
}

bool registry::set_name(int entry, const std::string& name) {
  if (name.size() >= longest) return false;
  std::memcpy(entries_[entry].name, name.c_str(), name.size() + 1);
  return true;
}

int registry::enter(const std::string& name) {
  const int i = free_entry();
  if (i < 0 || !set_name(i, name)) return -1;
  arm(i);
  return i;
}

void registry::remove_all() const {
  for (const entry& e : entries_)
    if (e.armed.load()) os::remove_name(e.name);
}

namespace {

// Constant-initialised, as is run_end below: ready before any constructor
// runs, and read by the handler without a guard.
constinit registry names;

// What the handler reads, all of it set up before a signal can come.
class ending {
public:
  // Composes the line of each signal for `progname`.
  void prepare(const char* progname) {
    for (std::size_t i = 0; i < os::signal_count; ++i) {
      std::string text = progname;
      text.append(": interrupted by ").append(os::ending_signals[i].name);
      text.resize(std::min(text.size(), sizeof lines_[i].text - 1));
      text += '\n';
      std::memcpy(lines_[i].text, text.data(), text.size());
      lines_[i].length = text.size();
    }
  }

  // A signal came: the first ends the run now unless a file is being
  // created, whose hold then ends it; a second ends the process at once.
  void caught(int sig) {
    if (caught_.exchange(sig) != 0) std::_Exit(128 + sig);
    if (creating_.load()) return;
    finish(sig);
  }

  // The hold of a file being created starts (`on`) or ends; a signal caught
  // before or during it ends the run here.
  void hold(bool on) {
    creating_.store(on);
    if (const int sig = caught_.load(); sig != 0) finish(sig);
  }

private:
  // Removes every registered name, prints the signal's line and exits; the
  // first thread to get here does it, any other waits for it.
  [[noreturn]] void finish(int sig) {
    if (ending_.test_and_set()) os::idle();
    temporaries().remove_all();
    for (std::size_t i = 0; i < os::signal_count; ++i)
      if (os::ending_signals[i].number == sig) os::write_error(lines_[i].text, lines_[i].length);
    std::_Exit(128 + sig);
  }

  struct line {
    char text[128];
    std::size_t length;
  };
  line lines_[os::signal_count] = {};
  std::atomic<int> caught_{0};         // the first signal, once one came
  std::atomic<bool> creating_{false};  // a file is being created: the signal waits
  std::atomic_flag ending_;            // clear
  static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
};

constinit ending run_end;

void on_signal(int sig) { run_end.caught(sig); }

}  // namespace

registry& temporaries() { return names; }

creation::creation() { run_end.hold(true); }
creation::~creation() { run_end.hold(false); }

void remove_temporaries() { temporaries().remove_all(); }

void catch_signals(const char* progname) {
  run_end.prepare(progname);
  os::install_handler(on_signal);
}

}  // namespace cellfreq
