# Compiles with zig's clang for a given target and glibc version, the way the
# release wheels are built (tools/wheels):
#
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake
#   -DTEMBREL_ZIG=/path/to/zig                       (the ziglang package's binary)
#   -DTEMBREL_ZIG_TARGET=aarch64-linux-gnu.2.17      (architecture, OS, ABI.glibc)
#
# zig brings the C library headers and link stubs of the glibc version named
# in the target, so the module needs no symbol newer than that version.  The
# Python headers are not the system's: the caller passes Python_INCLUDE_DIR,
# a folder holding only the headers with the target's pyconfig.h, so that
# /usr/include never comes before zig's own libc headers.
if(NOT TEMBREL_ZIG OR NOT TEMBREL_ZIG_TARGET)
  message(FATAL_ERROR "zig-toolchain.cmake needs TEMBREL_ZIG and TEMBREL_ZIG_TARGET")
endif()
# try_compile projects read this file again: hand them the two settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TEMBREL_ZIG TEMBREL_ZIG_TARGET)

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${TEMBREL_ZIG_TARGET}")

# `zig c++` is the compiler driver; the target is part of the command.
set(CMAKE_CXX_COMPILER "${TEMBREL_ZIG}" c++ -target "${TEMBREL_ZIG_TARGET}")
set(CMAKE_C_COMPILER "${TEMBREL_ZIG}" cc -target "${TEMBREL_ZIG_TARGET}")

# Nothing of the build machine's own libraries and headers.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
