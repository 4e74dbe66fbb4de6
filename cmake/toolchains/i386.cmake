# SPDX-License-Identifier: MIT
# 32-bit x86 Linux, run natively: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i386.cmake
# -DSENTREL_SYSROOT=<an i386 sysroot from tools/debian-sysroot>/root (make test-i386 does it).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SENTREL_TARGET_TRIPLET i686-linux-gnu)
set(SENTREL_TARGET_MULTIARCH i386-linux-gnu)
set(SENTREL_TARGET_LOADER lib/ld-linux.so.2)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
