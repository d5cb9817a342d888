// The command's life as a public entry point: the command line is parsed
// and run by the driver, which owns the standard streams and signals.
#include "cellfreq/cli.h"

#include "driver/command.h"

namespace cellfreq {

int cli(int argc, const char* const* argv) { return runcommand(argc, argv); }

}  // namespace cellfreq
