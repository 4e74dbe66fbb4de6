# SPDX-License-Identifier: MIT
# 32-bit ARM Linux (hard float), run under qemu-user:
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
# -DSENTREL_SYSROOT=<an armhf sysroot from tools/debian-sysroot>/root (make test-armhf does it).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(SENTREL_TARGET_TRIPLET arm-linux-gnueabihf)
set(SENTREL_TARGET_MULTIARCH arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# qemu reads the loader and every absolute path from the sysroot first.
find_program(_qemu_arm qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu_arm} -L ${SENTREL_SYSROOT})
