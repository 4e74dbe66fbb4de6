# SPDX-License-Identifier: MIT
# Builds the library without tests, configured for one prefix, and installs it twice where
# packagers do: under another prefix (cmake --install --prefix) and into a staging directory
# (DESTDIR). Against each install it builds and runs a small application through find_package
# and through pkg-config. Run with cmake -P and
#   -DSOURCE_DIR=<the project>  -DWORK_DIR=<scratch directory>  -DAPP_DIR=<tests/consumer/app>
#   -DVERSION=<the project version>  [-DJOBS=2]  [-DLAUNCHER=<compiler launcher, such as ccache>]
# The library's build directory is kept between runs, so a second run only rebuilds what changed.
cmake_minimum_required(VERSION 3.21)

foreach(_required SOURCE_DIR WORK_DIR APP_DIR VERSION)
    if(NOT DEFINED ${_required})
        message(FATAL_ERROR "consumer: ${_required} is not set")
    endif()
endforeach()
if(NOT DEFINED JOBS)
    set(JOBS 2)
endif()

set(_build ${WORK_DIR}/library-build)
# Nothing is ever installed here: a file that still names it is not relocatable.
set(_configured ${WORK_DIR}/configured-prefix)
file(REMOVE_RECURSE ${_configured} ${WORK_DIR}/prefix ${WORK_DIR}/destdir ${WORK_DIR}/apps ${WORK_DIR}/home)

# Runs a command, stops the test with its output when it fails, and leaves its standard output
# in the variable named by OUTPUT.
function(run step)
    cmake_parse_arguments(ARG "" "OUTPUT" "COMMAND" ${ARGN})
    string(TIMESTAMP _started "%s")
    execute_process(COMMAND ${ARG_COMMAND} RESULT_VARIABLE _result OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
    string(TIMESTAMP _ended "%s")
    math(EXPR _seconds "${_ended} - ${_started}")
    if(NOT _result EQUAL 0)
        message(FATAL_ERROR "consumer: ${step} failed (${_result}):\n${_out}\n${_err}")
    endif()
    message(STATUS "consumer: ${step} (${_seconds} s)")
    if(ARG_OUTPUT)
        set(${ARG_OUTPUT} "${_out}" PARENT_SCOPE)
    endif()
endfunction()

run("configure the library without tests" COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${_build}
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=${_configured}
    -DSENTREL_BUILD_TESTS=OFF -DSENTREL_BUILD_EXAMPLES=OFF -DSENTREL_BUILD_TOOLS=ON -DSENTREL_BUILD_BENCHMARKS=OFF
    -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
run("build the library and the tools" COMMAND ${CMAKE_COMMAND} --build ${_build} -j ${JOBS})

include(GNUInstallDirs)
find_program(_pkgconfig pkg-config REQUIRED)
find_program(_cxx NAMES c++ g++ REQUIRED)
find_program(_nm nm)

# Runs an application in a private home and checks with the installed inspector what it cached.
function(record_with prefix program name)
    set(_home ${WORK_DIR}/home/${name})
    set(_cache ${_home}/cache)
    file(MAKE_DIRECTORY ${_cache} ${_home}/runtime)
    set(_env ${CMAKE_COMMAND} -E env --unset=SENTREL_CONFIG HOME=${_home} XDG_CONFIG_HOME=${_home}/.config
        XDG_DATA_HOME=${_home}/.local/share XDG_CACHE_HOME=${_home}/.cache XDG_RUNTIME_DIR=${_home}/runtime
        XDG_CONFIG_DIRS=${_home}/etc/xdg QT_QPA_PLATFORM=offscreen)
    run("run the ${name} application" COMMAND ${_env} ${program} ${_cache} OUTPUT _out)
    # The version header it was compiled with, as a string and packed.
    string(REPLACE "." ";" _parts ${VERSION})
    list(GET _parts 0 _major)
    list(GET _parts 1 _minor)
    list(GET _parts 2 _patch)
    math(EXPR _packed "(${_major} << 16) | (${_minor} << 8) | ${_patch}" OUTPUT_FORMAT HEXADECIMAL)
    string(REGEX REPLACE "^0x" "" _packed ${_packed})
    string(LENGTH ${_packed} _digits)
    while(_digits LESS 6)
        string(PREPEND _packed 0)
        math(EXPR _digits "${_digits} + 1")
    endwhile()
    if(NOT _out STREQUAL "consumer: recorded with ${VERSION} (${_packed})\n")
        message(FATAL_ERROR "consumer: the ${name} application said: ${_out}")
    endif()
    run("inspect its cache" COMMAND ${prefix}/bin/sentrel-cache --json ${_cache} OUTPUT _summary)
    # The start-up event, the install event of a first start on this account, the screen view
    # and the interaction.
    if(NOT _summary MATCHES "\"events\":4[,}]")
        message(FATAL_ERROR "consumer: the ${name} application cached something else: ${_summary}")
    endif()
    run("decode its events" COMMAND ${prefix}/bin/sentrel-cache --events ${_cache} OUTPUT _events)
    if(NOT _events MATCHES "ConsumerScreen" OR NOT _events MATCHES "consumerButton"
       OR NOT _events MATCHES "application_install")
        message(FATAL_ERROR "consumer: the ${name} application's events: ${_events}")
    endif()
endfunction()

# Checks what the installation under prefix holds and builds and runs both applications
# against it. name tells the installs apart in the messages and the scratch directories.
function(check_install prefix name)
    # What the package holds: the public headers only, the library, the tools, the schemas.
    set(_libdir ${prefix}/${CMAKE_INSTALL_LIBDIR})
    foreach(_file
            include/SentrelTracker/qsentreltracker.h
            include/SentrelTracker/sentreltracker_export.h
            include/SentrelTracker/sentreltrackerversion.h
            ${CMAKE_INSTALL_LIBDIR}/libSentrelTracker.so
            ${CMAKE_INSTALL_LIBDIR}/cmake/SentrelTracker/SentrelTrackerConfig.cmake
            ${CMAKE_INSTALL_LIBDIR}/pkgconfig/sentreltracker.pc
            bin/sentrel-cache
            bin/sentrel-collector
            share/SentrelTracker/schemas/com.tamlor.sentrel/event_click/jsonschema/1-0-1)
        if(NOT EXISTS ${prefix}/${_file})
            message(FATAL_ERROR "consumer: the ${name} installation lacks ${_file}")
        endif()
    endforeach()
    file(GLOB_RECURSE _private RELATIVE ${prefix} ${prefix}/include/*_p.h)
    if(_private)
        message(FATAL_ERROR "consumer: private headers were installed: ${_private}")
    endif()
    # No installed file may lead back to the prefix the build was configured for.
    file(GLOB_RECURSE _texts ${_libdir}/pkgconfig/* ${_libdir}/cmake/*)
    foreach(_text ${_texts})
        file(STRINGS ${_text} _back REGEX "configured-prefix")
        if(_back)
            message(FATAL_ERROR "consumer: ${_text} names the configured prefix: ${_back}")
        endif()
    endforeach()
    # The installed library exports the public interface, not the internals the tests use.
    if(_nm)
        run("list the library's symbols" COMMAND ${_nm} -D -C --defined-only ${_libdir}/libSentrelTracker.so
            OUTPUT _symbols)
        if(NOT _symbols MATCHES "QSentrelTracker::transition")
            message(FATAL_ERROR "consumer: the library does not export QSentrelTracker")
        endif()
        if(_symbols MATCHES "QSQLiteStorage|QSentrelReporter::")
            message(FATAL_ERROR "consumer: the installed library exports its internals")
        endif()
    endif()

    # Through the CMake package.
    set(_apps ${WORK_DIR}/apps/${name})
    run("configure the application with find_package" COMMAND ${CMAKE_COMMAND} -S ${APP_DIR} -B ${_apps}/cmake
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${prefix})
    run("build it" COMMAND ${CMAKE_COMMAND} --build ${_apps}/cmake -j ${JOBS})
    record_with(${prefix} ${_apps}/cmake/consumer ${name}-cmake)

    # A QML application that only imports the installed module, found through the Quick
    # component, when the library was built with Qt Quick.
    if(EXISTS ${prefix}/${QML_DIR}/SentrelTracker/qmldir AND EXISTS ${APP_DIR}/../quickapp/CMakeLists.txt)
        run("configure the QML application with find_package(... COMPONENTS Quick)" COMMAND ${CMAKE_COMMAND}
            -S ${APP_DIR}/../quickapp -B ${_apps}/quick -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${prefix})
        run("build it" COMMAND ${CMAKE_COMMAND} --build ${_apps}/quick -j ${JOBS})
        set(_home ${WORK_DIR}/home/${name}-quick)
        file(MAKE_DIRECTORY ${_home}/cache ${_home}/runtime)
        run("run the QML application" COMMAND ${CMAKE_COMMAND} -E env --unset=SENTREL_CONFIG HOME=${_home}
            XDG_CONFIG_HOME=${_home}/.config XDG_DATA_HOME=${_home}/.local/share XDG_CACHE_HOME=${_home}/.cache
            XDG_RUNTIME_DIR=${_home}/runtime QT_QPA_PLATFORM=offscreen
            ${_apps}/quick/quick-consumer ${_home}/cache OUTPUT _out)
        if(NOT _out MATCHES "quick consumer: recorded")
            message(FATAL_ERROR "consumer: the ${name} QML application said: ${_out}")
        endif()
        run("decode its events" COMMAND ${prefix}/bin/sentrel-cache --events ${_home}/cache OUTPUT _events)
        foreach(_expected QuickConsumerScreen QuickConsumerDetails quickInteraction quickMeasured quickContext
                quickDimension "window/quickButton")
            string(FIND "${_events}" "${_expected}" _at)
            if(_at EQUAL -1)
                message(FATAL_ERROR "consumer: the ${name} QML application's events lack ${_expected}: ${_events}")
            endif()
        endforeach()
        if(_events MATCHES "_QML")
            message(FATAL_ERROR "consumer: engine-made type names in the ${name} QML application's events: ${_events}")
        endif()
    endif()

    # Through pkg-config, found only by its place.
    run("ask pkg-config" COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${_libdir}/pkgconfig
        ${_pkgconfig} --cflags --libs sentreltracker Qt6Gui OUTPUT _flags)
    string(STRIP "${_flags}" _flags)
    separate_arguments(_flags UNIX_COMMAND "${_flags}")
    file(MAKE_DIRECTORY ${_apps}/pkgconfig)
    run("build the application with pkg-config" COMMAND ${_cxx} -std=c++17 -fPIC -O1 ${APP_DIR}/main.cpp ${_flags}
        -Wl,-rpath,${_libdir} -o ${_apps}/pkgconfig/consumer)
    record_with(${prefix} ${_apps}/pkgconfig/consumer ${name}-pkg-config)

    # The installed collector finds the schemas installed beside it.
    run("list the collector's schemas" COMMAND ${prefix}/bin/sentrel-collector --list-schemas OUTPUT _schemas)
    string(FIND "${_schemas}" "${prefix}/share/SentrelTracker/schemas" _at)
    if(NOT _at EQUAL 0 OR NOT _schemas MATCHES "iglu:com.tamlor.sentrel/qevent/jsonschema/1-0-1")
        message(FATAL_ERROR "consumer: the ${name} collector uses other schemas: ${_schemas}")
    endif()
    message(STATUS "consumer: the ${name} installation works")
endfunction()

# Under another prefix, as staging tools, Conan and vcpkg install.
run("install under another prefix" COMMAND ${CMAKE_COMMAND} --install ${_build} --prefix ${WORK_DIR}/prefix)
check_install(${WORK_DIR}/prefix relocated)

# Into a staging directory, as distribution packages are built.
run("install through DESTDIR" COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${WORK_DIR}/destdir
    ${CMAKE_COMMAND} --install ${_build})
if(EXISTS ${_configured})
    message(FATAL_ERROR "consumer: the DESTDIR install wrote to the configured prefix")
endif()
check_install(${WORK_DIR}/destdir${_configured} destdir)
