# 32-bit x86 with musl, through zig's Clang and its bundled musl (zig from PyPI's ziglang).
# TOVIMERA_ZIG_WRAPPERS (a CMake or environment variable) is a directory of one-line
# wrappers named cc, c++, ar and ranlib, each running `zig <tool>` for the target, since
# CMake takes a compiler as one program. scripts/check-musl writes them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
if(NOT TOVIMERA_ZIG_WRAPPERS)
  set(TOVIMERA_ZIG_WRAPPERS "$ENV{TOVIMERA_ZIG_WRAPPERS}")
endif()
if(NOT EXISTS "${TOVIMERA_ZIG_WRAPPERS}/c++")
  message(FATAL_ERROR "No zig wrappers in '${TOVIMERA_ZIG_WRAPPERS}': set TOVIMERA_ZIG_WRAPPERS "
    "(scripts/check-musl makes them).")
endif()
set(ENV{TOVIMERA_ZIG_WRAPPERS} "${TOVIMERA_ZIG_WRAPPERS}")
set(CMAKE_C_COMPILER "${TOVIMERA_ZIG_WRAPPERS}/cc")
set(CMAKE_CXX_COMPILER "${TOVIMERA_ZIG_WRAPPERS}/c++")
set(CMAKE_AR "${TOVIMERA_ZIG_WRAPPERS}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${TOVIMERA_ZIG_WRAPPERS}/ranlib" CACHE FILEPATH "")
# SSE2 arithmetic, so that doubles round as on x86-64 rather than through x87's extended
# precision; and static programs, since this host has no musl loader to run dynamic ones.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
