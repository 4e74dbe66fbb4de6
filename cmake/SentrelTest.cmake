# sentrel_add_test(NAME SOURCES ... [LIBRARIES ...] [LABELS ...])
#
# Builds one QtTest executable and registers it with CTest. Every test runs offscreen with a
# private HOME and XDG directories under the build tree, so it never touches the user's files.
function(sentrel_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBRARIES;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
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
        $<TARGET_FILE:${name}>)
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
endfunction()
