# sentrel_program_path(TARGET VARIABLE)
#
# The path by which a test or script starts the program TARGET. Where the build's programs
# run under an emulator (CMAKE_CROSSCOMPILING_EMULATOR), that is a script which starts it
# there, since the host cannot execute it itself.
function(sentrel_program_path target variable)
    if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
        set(${variable} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
        return()
    endif()
    set(_script ${PROJECT_BINARY_DIR}/emulated/${target})
    set(${variable} ${_script} PARENT_SCOPE)
    # One script per program, however many tests start it.
    get_property(_done GLOBAL PROPERTY SENTREL_EMULATED_PROGRAMS)
    if(target IN_LIST _done)
        return()
    endif()
    set_property(GLOBAL APPEND PROPERTY SENTREL_EMULATED_PROGRAMS ${target})
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "\" \"" _emulator)
    file(GENERATE OUTPUT ${_script}
        CONTENT "#!/bin/sh\nexec \"${_emulator}\" \"$<TARGET_FILE:${target}>\" \"$@\"\n"
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endfunction()

# sentrel_add_probe(NAME SOURCES ... [LIBRARIES ...])
#
# Builds a helper program that a test starts as a process of its own.
function(sentrel_add_probe name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
    target_compile_definitions(${name} PRIVATE QT_NO_KEYWORDS)
endfunction()

# sentrel_add_test(NAME SOURCES ... [LIBRARIES ...] [LABELS ...] [PROGRAMS MACRO=TARGET ...])
#
# Builds one QtTest executable and registers it with CTest. Every test runs offscreen with a
# private HOME and XDG directories under the build tree, so it never touches the user's files.
# Each of PROGRAMS is built before the test, which finds its path in MACRO.
function(sentrel_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBRARIES;LABELS;PROGRAMS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    if(TARGET sentrel-qemu-forkshim)
        add_dependencies(${name} sentrel-qemu-forkshim)
    endif()
    foreach(_program ${ARG_PROGRAMS})
        string(REPLACE "=" ";" _pair ${_program})
        list(GET _pair 0 _macro)
        list(GET _pair 1 _target)
        # A Windows test starts a Windows program itself, under wine as well.
        if(WIN32)
            set(_path "$<TARGET_FILE:${_target}>")
        else()
            sentrel_program_path(${_target} _path)
        endif()
        target_compile_definitions(${name} PRIVATE ${_macro}="${_path}")
        add_dependencies(${name} ${_target})
    endforeach()
    target_link_libraries(${name} PRIVATE SentrelTrackerInternals SentrelTestSupport Qt6::Test ${ARG_LIBRARIES})
    target_compile_definitions(${name} PRIVATE
        QT_NO_KEYWORDS
        SENTREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        SENTREL_BINARY_DIR="${PROJECT_BINARY_DIR}")
    set(_home ${CMAKE_CURRENT_BINARY_DIR}/home-${name})
    add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E env
        HOME=${_home}
        XDG_CONFIG_HOME=${_home}/.config
        XDG_DATA_HOME=${_home}/.local/share
        XDG_CACHE_HOME=${_home}/.cache
        XDG_RUNTIME_DIR=${_home}/.runtime
        XDG_CONFIG_DIRS=${_home}/etc/xdg
        XDG_DATA_DIRS=${_home}/usr/share
        QT_QPA_PLATFORM=offscreen
        SENTREL_TEST_HOME_SET=1
        ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}>)
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
    # Qt's own DLLs, for a Qt that is not on PATH already (the library's are beside the test).
    if(WIN32 AND QT6_INSTALL_PREFIX AND CMAKE_VERSION VERSION_GREATER_EQUAL 3.22)
        set_tests_properties(${name} PROPERTIES ENVIRONMENT_MODIFICATION
            "PATH=path_list_prepend:${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}")
    endif()
endfunction()
