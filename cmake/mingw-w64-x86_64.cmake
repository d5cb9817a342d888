# Cross-compiles for 64-bit Windows with the MinGW-w64 GCC that uses the
# posix thread model (Debian: g++-mingw-w64-x86-64-posix). The posix variant
# is required because the win32 one lacks std::thread / std::mutex in GCC 12.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# MINGW_TRIPLET and MINGW_SUFFIX may be overridden on the command line
# (e.g. -DMINGW_SUFFIX= for a toolchain that has no "-posix" names).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET "x86_64-w64-mingw32" CACHE STRING "MinGW-w64 target triplet")
set(MINGW_SUFFIX "-posix" CACHE STRING "Suffix of the compiler driver names")

set(CMAKE_C_COMPILER   ${MINGW_TRIPLET}-gcc${MINGW_SUFFIX})
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++${MINGW_SUFFIX})
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLET}-windres)
# Name the archiver explicitly so the host's is never picked; the gcc-ar
# wrappers (which carry the suffix, unlike plain binutils) also handle LTO.
find_program(CMAKE_AR     ${MINGW_TRIPLET}-gcc-ar${MINGW_SUFFIX} ${MINGW_TRIPLET}-ar)
find_program(CMAKE_RANLIB ${MINGW_TRIPLET}-gcc-ranlib${MINGW_SUFFIX} ${MINGW_TRIPLET}-ranlib)

# Search headers and libraries only in the target sysroot, but keep running
# build tools (programs) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link libgcc, libstdc++ and winpthread statically so each .exe is
# self-contained and runs under Wine without DLLs copied next to it.
# The _INIT variables seed the cache, so users can still append flags.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Lets ctest (and try_run) execute the cross-built programs on the host.
# Debian 12 ships the loader as "wine" (a wrapper that picks the 64-bit
# loader when no 32-bit one is installed); /usr/lib/wine/wine64 is the
# loader itself when only the wine64 package is present. A value given
# with -DCMAKE_CROSSCOMPILING_EMULATOR=... (e.g. tools/wine-run.sh) wins.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(MINGW_WINE_EXECUTABLE NAMES wine wine64
               PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(MINGW_WINE_EXECUTABLE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${MINGW_WINE_EXECUTABLE})
  endif()
endif()
