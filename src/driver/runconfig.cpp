// The three fixed programs' configurations. The paths are used exactly as
// written; without drive letters they are relative paths.
#include "driver/runconfig.h"

namespace cellfreq {

namespace {
constexpr const char* fixed_trace = "C:/oldenburg(1000).txt";
}

runconfig config400() { return {fixed_trace, "C:/new400.txt", 400.0f, 100, 3, 1000}; }
runconfig config100() { return {fixed_trace, "C:/new1.txt", 100.0f, 100, 3, 1000}; }
runconfig config300() { return {fixed_trace, "C:/new300.txt", 300.0f, 10, 4, 1000}; }

}  // namespace cellfreq
