// The configurable command, over the passes, the command's input and the
// run in pieces: the library cellfreq_command's one entry.
#pragma once

namespace cellfreq {

// The whole life of the configurable command: parses the arguments after
// argv[0], then prints the help or the version (status 0), or a usage error
// (status 2), or runs with the parsed configuration and pauses if asked to.
int runcommand(int argc, const char* const* argv);

}  // namespace cellfreq
