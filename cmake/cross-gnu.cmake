# Cross builds of the kernels and their tests with Debian's GNU cross
# compilers, run under qemu-user (scripts/cross-test does all of this):
#
#   cmake -S . -B build/kernel-tests-aarch64 --toolchain cmake/cross-gnu.cmake \
#         -DQUORVANE_CROSS=aarch64-linux-gnu -DQUORVANE_PYTHON=OFF
#   cmake --build build/kernel-tests-aarch64
#   ctest --test-dir build/kernel-tests-aarch64 --output-on-failure
#
# The flags are the module's (CMakeLists.txt): -O3, -ffp-contract=off
# included, which matters most here (ARM compilers contract a*b+c into an
# FMA by default).
#
#   QUORVANE_CROSS       the compilers' triple: aarch64-linux-gnu, or
#                        arm-linux-gnueabihf (ARMv7-A, VFPv3-D16, no NEON
#                        outside the NEON kernels' own functions)
#   QUORVANE_CROSS_CPU   optional: the CPU qemu emulates (qemu-arm -cpu help
#                        lists them), e.g. cortex-r5f, a 32-bit ARM CPU
#                        without NEON
#
# Both are read from -D or, failing that, the environment. The packages:
# g++-aarch64-linux-gnu or g++-arm-linux-gnueabihf, and qemu-user.

if(NOT QUORVANE_CROSS)
  set(QUORVANE_CROSS "$ENV{QUORVANE_CROSS}")
endif()
if(NOT QUORVANE_CROSS_CPU)
  set(QUORVANE_CROSS_CPU "$ENV{QUORVANE_CROSS_CPU}")
endif()
# CMake's own test builds read this file again: hand them the same choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORVANE_CROSS QUORVANE_CROSS_CPU)

if(QUORVANE_CROSS STREQUAL "aarch64-linux-gnu")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(qv_qemu qemu-aarch64)
elseif(QUORVANE_CROSS STREQUAL "arm-linux-gnueabihf")
  set(CMAKE_SYSTEM_PROCESSOR arm)
  set(qv_qemu qemu-arm)
else()
  message(FATAL_ERROR "cross-gnu.cmake: set QUORVANE_CROSS to aarch64-linux-gnu or arm-linux-gnueabihf "
                      "(got '${QUORVANE_CROSS}')")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${QUORVANE_CROSS}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVANE_CROSS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# ctest (and add_test) run the programs under qemu-user.
set(CMAKE_CROSSCOMPILING_EMULATOR ${qv_qemu} -L /usr/${QUORVANE_CROSS})
if(QUORVANE_CROSS_CPU)
  list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -cpu ${QUORVANE_CROSS_CPU})
endif()
