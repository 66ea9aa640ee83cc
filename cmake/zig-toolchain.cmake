# Cross builds with zig's C++ compiler (the PyPI package `ziglang`): one
# clang for every target, with its own glibc stubs, so a wheel built here
# runs on any Linux with at least that glibc (manylinux). Used by
# scripts/release-wheels; by hand:
#
#   QUORVANE_ZIG_TARGET=aarch64-linux-gnu.2.17 cmake --toolchain cmake/zig-toolchain.cmake ...
#
# The environment (read here, so that CMake's own test builds see it too):
#   QUORVANE_ZIG_TARGET  zig's target triple with the glibc version, e.g.
#                        x86_64-linux-gnu.2.17, arm-linux-gnueabihf.2.17
#   QUORVANE_ZIG_CPU     optional -mcpu, e.g. generic+v7a+vfp3d16-neon
#   QUORVANE_ZIG         the zig program (default: `zig`, else the one of
#                        the `ziglang` package of python3 on PATH)
#
# Small scripts `zig c++ -target ...`, `zig ar` and `zig ranlib` stand in
# for the tools (CMake wants one program per tool); they are written under
# zig's cache folder.

set(QV_ZIG_TARGET "$ENV{QUORVANE_ZIG_TARGET}")
if(QV_ZIG_TARGET STREQUAL "")
  message(FATAL_ERROR "zig-toolchain.cmake: set QUORVANE_ZIG_TARGET, e.g. aarch64-linux-gnu.2.17")
endif()
set(QV_ZIG_CPU "$ENV{QUORVANE_ZIG_CPU}")

set(QV_ZIG "$ENV{QUORVANE_ZIG}")
if(QV_ZIG STREQUAL "")
  find_program(QV_ZIG_FOUND zig)
  if(QV_ZIG_FOUND)
    set(QV_ZIG "${QV_ZIG_FOUND}")
  else()
    execute_process(COMMAND python3 -c "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
                    OUTPUT_VARIABLE QV_ZIG OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE QV_ZIG_RC)
    if(NOT QV_ZIG_RC EQUAL 0 OR NOT EXISTS "${QV_ZIG}")
      message(FATAL_ERROR "zig-toolchain.cmake: no zig found (pip install ziglang, or set QUORVANE_ZIG)")
    endif()
  endif()
endif()

string(REGEX MATCH "^[^-]+" QV_ZIG_ARCH "${QV_ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Linux)
if(QV_ZIG_ARCH STREQUAL "arm")
  set(CMAKE_SYSTEM_PROCESSOR armv7l)
else()
  set(CMAKE_SYSTEM_PROCESSOR "${QV_ZIG_ARCH}")
endif()

if(DEFINED ENV{ZIG_GLOBAL_CACHE_DIR})
  set(QV_ZIG_TOOLS "$ENV{ZIG_GLOBAL_CACHE_DIR}")
else()
  set(QV_ZIG_TOOLS "$ENV{HOME}/.cache/zig")
endif()
string(MAKE_C_IDENTIFIER "${QV_ZIG_TARGET}-${QV_ZIG_CPU}" QV_ZIG_ID)
set(QV_ZIG_TOOLS "${QV_ZIG_TOOLS}/quorvane-tools/${QV_ZIG_ID}")
set(QV_ZIG_FLAGS "-target ${QV_ZIG_TARGET}")
if(NOT QV_ZIG_CPU STREQUAL "")
  string(APPEND QV_ZIG_FLAGS " -mcpu=${QV_ZIG_CPU}")
endif()
foreach(tool "cc;cc ${QV_ZIG_FLAGS}" "c++;c++ ${QV_ZIG_FLAGS}" "ar;ar" "ranlib;ranlib")
  list(GET tool 0 name)
  list(GET tool 1 args)
  file(CONFIGURE OUTPUT "${QV_ZIG_TOOLS}/zig-${name}" CONTENT "#!/bin/sh\nexec \"${QV_ZIG}\" ${args} \"$@\"\n" @ONLY)
  file(CHMOD "${QV_ZIG_TOOLS}/zig-${name}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
       WORLD_READ WORLD_EXECUTE)
endforeach()

set(CMAKE_C_COMPILER "${QV_ZIG_TOOLS}/zig-cc")
set(CMAKE_CXX_COMPILER "${QV_ZIG_TOOLS}/zig-c++")
set(CMAKE_AR "${QV_ZIG_TOOLS}/zig-ar" CACHE FILEPATH "zig ar")
set(CMAKE_RANLIB "${QV_ZIG_TOOLS}/zig-ranlib" CACHE FILEPATH "zig ranlib")

# Nothing of the build machine's libraries or headers.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
