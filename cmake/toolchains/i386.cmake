# SPDX-License-Identifier: MIT
# 32-bit x86 Linux: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i386.cmake
# -DSENTREL_SYSROOT=<an i386 sysroot from tools/debian-sysroot>/root (make test-i386 does it).
# The programs run natively, or under the emulator named by SENTREL_I386_EMULATOR (qemu-i386)
# where the kernel refuses 32-bit x86 programs; the same build serves both.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SENTREL_TARGET_TRIPLET i686-linux-gnu)
set(SENTREL_TARGET_MULTIARCH i386-linux-gnu)
set(SENTREL_TARGET_LOADER lib/ld-linux.so.2)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SENTREL_I386_EMULATOR)
if(SENTREL_I386_EMULATOR)
    find_program(_qemu_i386 ${SENTREL_I386_EMULATOR} REQUIRED)
    # The programs name the sysroot's loader by its absolute path, which qemu finds as it is.
    set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu_i386} -L ${SENTREL_SYSROOT})
else()
    unset(CMAKE_CROSSCOMPILING_EMULATOR CACHE)
    unset(CMAKE_CROSSCOMPILING_EMULATOR)
endif()
