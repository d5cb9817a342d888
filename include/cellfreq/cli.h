// cellfreq/cli.h: the command line's whole life, for a program's main().
//
// Unlike cellfreq::run(), this is a front end: it reads the arguments,
// prints the report and any message on the standard streams, catches
// SIGINT, SIGTERM and SIGHUP to remove its temporaries, and returns the exit
// status (0 done, 1 failed, 2 usage, 128 + N after signal N). It is meant
// for a process that is the command, not for a library's callers.
#pragma once

namespace cellfreq {

// Runs `cellfreq` with argv[1] … argv[argc-1] and returns its exit status.
int cli(int argc, const char* const* argv);

}  // namespace cellfreq
