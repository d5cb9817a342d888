// The one switch for the SSE2 fast paths of the trace readers. They are
// built where the compiler targets SSE2 (every x86-64 processor has it),
// unless the build asks for the portable code only (CMake option
// CELLFREQ_PORTABLE): that build runs, on x86 too, the code that every other
// processor runs, so that the tests prove it. Each fast path gives exactly
// the results of the portable code it stands in for.
#pragma once

#if defined(__SSE2__) && !defined(CELLFREQ_PORTABLE)
#define CELLFREQ_SSE2 1
#include <emmintrin.h>
#endif

namespace cellfreq {

// Whether the fast paths are built, for the tests that count the fields
// they take (none where they are not).
#if defined(CELLFREQ_SSE2)
inline constexpr bool simd_fastpaths = true;
#else
inline constexpr bool simd_fastpaths = false;
#endif

}  // namespace cellfreq
