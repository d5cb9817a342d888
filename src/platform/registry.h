// The registry of the names that a signal removes, and the hold that keeps
// a signal from ending the run while a file is created and registered.
// Internal to the platform library: its files alone enter names.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace cellfreq {

// A fixed table of names, read by the signal handler with async-signal-safe
// work only: an entry's name is written before it is armed and left alone
// while armed.
class registry {
public:
  // Names registered at once: the cell file and the run's other outputs,
  // which are committed together at the end.
  static constexpr int size = 8;
  static constexpr std::size_t longest = 4096;

  // An entry that is not armed, or -1.
  [[nodiscard]] int free_entry() const;
  // Writes `name` into the unarmed `entry`; false when it does not fit.
  [[nodiscard]] bool set_name(int entry, const std::string& name);
  void arm(int entry) { entries_[entry].armed.store(true); }
  void disarm(int entry) { entries_[entry].armed.store(false); }
  // Registers `name` in a free entry: the entry, or -1 when none is free or
  // the name does not fit.
  [[nodiscard]] int enter(const std::string& name);
  // Removes the file of every armed entry (async-signal-safe).
  void remove_all() const;

private:
  struct entry {
    std::atomic<bool> armed{false};
    char name[longest] = {};
  };
  entry entries_[size];
};

// The process's registry, the one the signal handler reads.
registry& temporaries();

// Holds signals back while a file is created and registered. A signal
// caught before the hold, or during it, ends the run when the hold starts
// or ends: with sequentially consistent order either this thread sees the
// signal or the handler sees the hold, so no handler reads a name that is
// being written.
class creation {
public:
  creation();
  ~creation();
  creation(const creation&) = delete;
  creation& operator=(const creation&) = delete;
};

}  // namespace cellfreq
