# SPDX-License-Identifier: MIT
# 64-bit Windows with Debian's MinGW-w64 (its posix thread model: std::thread, std::mutex):
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/windows.cmake -DSENTREL_WINDOWS_PREFIX=<prefix>
# where the prefix holds a Windows Qt, zstd and SQLite (tools/test-windows builds them). The
# host's Qt tools (moc, rcc, uic) serve the Windows Qt; the programs run under wine.
if(NOT SENTREL_WINDOWS_PREFIX)
    set(SENTREL_WINDOWS_PREFIX "$ENV{SENTREL_WINDOWS_PREFIX}")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SENTREL_WINDOWS_PREFIX)
set(ENV{SENTREL_WINDOWS_PREFIX} "${SENTREL_WINDOWS_PREFIX}")

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH "${SENTREL_WINDOWS_PREFIX}" /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/cmake)

# The programs run under wine, which tools/test-windows sets up (its prefix, and the DLLs'
# directories on WINEPATH).
find_program(SENTREL_WINE wine)
if(SENTREL_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SENTREL_WINE})
endif()
