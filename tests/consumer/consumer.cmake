# Installs a build without tests into a fresh prefix, then builds and runs a small application
# against it twice: through find_package and through pkg-config. Run with cmake -P and
#   -DSOURCE_DIR=<the project>  -DWORK_DIR=<scratch directory>  -DAPP_DIR=<tests/consumer/app>
#   [-DJOBS=2]
# The library's build directory is kept between runs, so a second run only rebuilds what changed.
cmake_minimum_required(VERSION 3.21)

foreach(_required SOURCE_DIR WORK_DIR APP_DIR)
    if(NOT DEFINED ${_required})
        message(FATAL_ERROR "consumer: ${_required} is not set")
    endif()
endforeach()
if(NOT DEFINED JOBS)
    set(JOBS 2)
endif()

set(_build ${WORK_DIR}/library-build)
set(_prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${_prefix} ${WORK_DIR}/app-cmake ${WORK_DIR}/app-quick ${WORK_DIR}/app-pkgconfig ${WORK_DIR}/home)

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
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=${_prefix}
    -DSENTREL_BUILD_TESTS=OFF -DSENTREL_BUILD_EXAMPLES=OFF -DSENTREL_BUILD_TOOLS=ON -DSENTREL_BUILD_BENCHMARKS=OFF)
run("build the library and the tools" COMMAND ${CMAKE_COMMAND} --build ${_build} -j ${JOBS})
run("install" COMMAND ${CMAKE_COMMAND} --install ${_build} --prefix ${_prefix})

# What the package holds: the public headers only, the library, the tools, the schemas.
include(GNUInstallDirs)
set(_libdir ${_prefix}/${CMAKE_INSTALL_LIBDIR})
foreach(_file
        include/SentrelTracker/qsentreltracker.h
        include/SentrelTracker/sentreltracker_export.h
        ${CMAKE_INSTALL_LIBDIR}/libSentrelTracker.so
        ${CMAKE_INSTALL_LIBDIR}/cmake/SentrelTracker/SentrelTrackerConfig.cmake
        ${CMAKE_INSTALL_LIBDIR}/pkgconfig/sentreltracker.pc
        bin/sentrel-cache
        bin/sentrel-collector
        share/SentrelTracker/schemas/com.tamlor.sentrel/event_click/jsonschema/1-0-1)
    if(NOT EXISTS ${_prefix}/${_file})
        message(FATAL_ERROR "consumer: the installation lacks ${_file}")
    endif()
endforeach()
file(GLOB_RECURSE _private RELATIVE ${_prefix} ${_prefix}/include/*_p.h)
if(_private)
    message(FATAL_ERROR "consumer: private headers were installed: ${_private}")
endif()
# The installed library exports the public interface, not the internals the tests use.
find_program(_nm nm)
if(_nm)
    run("list the library's symbols" COMMAND ${_nm} -D -C --defined-only ${_libdir}/libSentrelTracker.so OUTPUT _symbols)
    if(NOT _symbols MATCHES "QSentrelTracker::transition")
        message(FATAL_ERROR "consumer: the library does not export QSentrelTracker")
    endif()
    if(_symbols MATCHES "QSQLiteStorage|QSentrelReporter::")
        message(FATAL_ERROR "consumer: the installed library exports its internals")
    endif()
endif()

# Runs an application in a private home and checks with the installed inspector what it cached.
function(record_with program name)
    set(_home ${WORK_DIR}/home/${name})
    set(_cache ${_home}/cache)
    file(MAKE_DIRECTORY ${_cache} ${_home}/runtime)
    set(_env ${CMAKE_COMMAND} -E env --unset=SENTREL_CONFIG HOME=${_home} XDG_CONFIG_HOME=${_home}/.config
        XDG_DATA_HOME=${_home}/.local/share XDG_CACHE_HOME=${_home}/.cache XDG_RUNTIME_DIR=${_home}/runtime
        XDG_CONFIG_DIRS=${_home}/etc/xdg QT_QPA_PLATFORM=offscreen)
    run("run the ${name} application" COMMAND ${_env} ${program} ${_cache} OUTPUT _out)
    if(NOT _out MATCHES "consumer: recorded")
        message(FATAL_ERROR "consumer: the ${name} application said: ${_out}")
    endif()
    run("inspect its cache" COMMAND ${_prefix}/bin/sentrel-cache --json ${_cache} OUTPUT _summary)
    # The start-up event, the screen view and the interaction.
    if(NOT _summary MATCHES "\"events\":3[,}]")
        message(FATAL_ERROR "consumer: the ${name} application cached something else: ${_summary}")
    endif()
    run("decode its events" COMMAND ${_prefix}/bin/sentrel-cache --events ${_cache} OUTPUT _events)
    if(NOT _events MATCHES "ConsumerScreen" OR NOT _events MATCHES "consumerButton")
        message(FATAL_ERROR "consumer: the ${name} application's events: ${_events}")
    endif()
endfunction()

# Through the CMake package.
run("configure the application with find_package" COMMAND ${CMAKE_COMMAND} -S ${APP_DIR} -B ${WORK_DIR}/app-cmake
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${_prefix})
run("build it" COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/app-cmake -j ${JOBS})
record_with(${WORK_DIR}/app-cmake/consumer cmake)

# A QML application that only imports the installed module, found through the Quick component.
if(EXISTS ${_prefix}/lib/qml/SentrelTracker/qmldir)
    run("configure the QML application with find_package(... COMPONENTS Quick)" COMMAND ${CMAKE_COMMAND}
        -S ${APP_DIR}/../quickapp -B ${WORK_DIR}/app-quick -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${_prefix})
    run("build it" COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/app-quick -j ${JOBS})
    set(_home ${WORK_DIR}/home/quick)
    file(MAKE_DIRECTORY ${_home}/cache ${_home}/runtime)
    run("run the QML application" COMMAND ${CMAKE_COMMAND} -E env --unset=SENTREL_CONFIG HOME=${_home}
        XDG_CONFIG_HOME=${_home}/.config XDG_DATA_HOME=${_home}/.local/share XDG_CACHE_HOME=${_home}/.cache
        XDG_RUNTIME_DIR=${_home}/runtime QT_QPA_PLATFORM=offscreen
        ${WORK_DIR}/app-quick/quick-consumer ${_home}/cache OUTPUT _out)
    if(NOT _out MATCHES "quick consumer: recorded")
        message(FATAL_ERROR "consumer: the QML application said: ${_out}")
    endif()
    run("decode its events" COMMAND ${_prefix}/bin/sentrel-cache --events ${_home}/cache OUTPUT _events)
    foreach(_expected QuickConsumerScreen QuickConsumerDetails quickInteraction quickMeasured quickContext
            quickDimension "window/quickButton")
        string(FIND "${_events}" "${_expected}" _at)
        if(_at EQUAL -1)
            message(FATAL_ERROR "consumer: the QML application's events lack ${_expected}: ${_events}")
        endif()
    endforeach()
    if(_events MATCHES "_QML")
        message(FATAL_ERROR "consumer: engine-made type names in the QML application's events: ${_events}")
    endif()
endif()

# Through pkg-config.
find_program(_pkgconfig pkg-config REQUIRED)
find_program(_cxx NAMES c++ g++ REQUIRED)
run("ask pkg-config" COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${_libdir}/pkgconfig
    ${_pkgconfig} --cflags --libs sentreltracker Qt6Gui OUTPUT _flags)
string(STRIP "${_flags}" _flags)
separate_arguments(_flags UNIX_COMMAND "${_flags}")
file(MAKE_DIRECTORY ${WORK_DIR}/app-pkgconfig)
run("build the application with pkg-config" COMMAND ${_cxx} -std=c++17 -fPIC -O1 ${APP_DIR}/main.cpp ${_flags}
    -Wl,-rpath,${_libdir} -o ${WORK_DIR}/app-pkgconfig/consumer)
record_with(${WORK_DIR}/app-pkgconfig/consumer pkg-config)

# The installed collector finds the installed schemas.
run("list the collector's schemas" COMMAND ${_prefix}/bin/sentrel-collector --list-schemas OUTPUT _schemas)
string(FIND "${_schemas}" "${_prefix}/share/SentrelTracker/schemas" _at)
if(NOT _at EQUAL 0 OR NOT _schemas MATCHES "iglu:com.tamlor.sentrel/qevent/jsonschema/1-0-1")
    message(FATAL_ERROR "consumer: the installed collector uses other schemas: ${_schemas}")
endif()
message(STATUS "consumer: the installed package works")
