# SPDX-License-Identifier: MIT
# Shared by the Linux cross toolchain files: Debian's cross compiler for SENTREL_TARGET_TRIPLET,
# the target's libraries from a sysroot that tools/debian-sysroot unpacked (SENTREL_SYSROOT,
# its root/ directory), and the host's Qt tools (moc, rcc, the QML compilers) with the
# target's Qt libraries.
if(NOT SENTREL_SYSROOT)
    set(SENTREL_SYSROOT "$ENV{SENTREL_SYSROOT}")
endif()
if(NOT SENTREL_SYSROOT OR NOT EXISTS "${SENTREL_SYSROOT}/usr/lib/${SENTREL_TARGET_MULTIARCH}")
    message(FATAL_ERROR "SENTREL_SYSROOT must name a ${SENTREL_TARGET_MULTIARCH} sysroot "
                        "(tools/debian-sysroot makes one)")
endif()
# try_compile projects read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SENTREL_SYSROOT)
set(ENV{SENTREL_SYSROOT} "${SENTREL_SYSROOT}")

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${SENTREL_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${SENTREL_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${SENTREL_TARGET_MULTIARCH})

# The compiler keeps its own C library and headers; only the rest comes from the sysroot, so
# no CMAKE_SYSROOT (it would hide the compiler's).
set(CMAKE_FIND_ROOT_PATH "${SENTREL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${SENTREL_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${SENTREL_SYSROOT}/usr/lib/${SENTREL_TARGET_MULTIARCH}/pkgconfig:${SENTREL_SYSROOT}/usr/share/pkgconfig")

set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/cmake)

# The sysroot's libraries are found at link time and at run time through DT_RPATH, which
# (unlike DT_RUNPATH) also serves the libraries' own dependencies and the plugins Qt loads.
set(_libdirs "${SENTREL_SYSROOT}/usr/lib/${SENTREL_TARGET_MULTIARCH}:${SENTREL_SYSROOT}/lib/${SENTREL_TARGET_MULTIARCH}")
set(_link "-Wl,--disable-new-dtags -Wl,-rpath-link,${_libdirs} -Wl,-rpath,${_libdirs}")
if(SENTREL_TARGET_LOADER)
    # Run natively with the sysroot's own loader, which matches its C library.
    string(APPEND _link " -Wl,--dynamic-linker=${SENTREL_SYSROOT}/${SENTREL_TARGET_LOADER}")
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_link}")

# Qt finds its plugins and QML modules under the target's prefix, which on this host is the
# sysroot's. Some QML plugins carry a DT_RUNPATH of their own, which hides the programs'
# DT_RPATH from their dependencies: the library path serves them.
set(_qt "${SENTREL_SYSROOT}/usr/lib/${SENTREL_TARGET_MULTIARCH}/qt6")
set(SENTREL_TEST_ENVIRONMENT "QT_PLUGIN_PATH=${_qt}/plugins" "QML_IMPORT_PATH=${_qt}/qml" "LD_LIBRARY_PATH=${_libdirs}")
