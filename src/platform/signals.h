// The end of a run by a signal: the files registered as not the user's to
// keep are removed, one line says which signal came, and the status is
// 128 + its number.
#pragma once

namespace cellfreq {

// From here on SIGINT, SIGTERM and SIGHUP (Ctrl-C, Ctrl-Break and closing the
// console on Windows) remove every registered file, print one line
// "PROGNAME: interrupted by SIGNAL" on standard error and end the process
// with status 128 + the signal's number; a second signal ends it at once.
// A signal ignored when the program started stays ignored.
void catch_signals(const char* progname);

// Removes every registered file now, as a signal would: for a process that
// ends on a failure it could not handle where it happened.
void remove_temporaries();

}  // namespace cellfreq
