// cellfreq/fixed.h: the fixed programs' whole lives, for their main().
//
// Each program has its configuration built in (trace "C:/oldenburg(1000).txt",
// its own cell file, cell size, users and threshold), takes no arguments,
// prints its report on standard output, hands "PAUSE" to the command
// interpreter at its end whatever the outcome, and returns its exit status.
// This needs nothing beyond the standard library: no compression or
// coordinate library is linked.
#pragma once

namespace cellfreq {

enum class fixed_program { cellfreq400, cellfreq100, cellfreq300 };

// Runs the fixed program `which` and returns its exit status (0, or 1
// after a failure it names on standard error).
int run_fixed(fixed_program which);

}  // namespace cellfreq
