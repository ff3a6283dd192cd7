# kavo_add_xvfb_test(NAME <name> SOURCES <files...> [LIBRARIES <libs...>]
#                    [ENVIRONMENT <VAR=value...>] [LABELS <labels...>])
#
# Like kavo_add_test, but ctest runs the test under tests/tools/with-xvfb: each
# run gets its own X server, never the machine's DISPLAY. The environment also
# carries KAVO_XTEXTWINDOW, the path of the xtextwindow tool, which is built
# before the test.
include_guard(GLOBAL)
include(KavoTest)

# A cache entry, so the function finds it in every directory, not only in the
# first one that includes this file.
get_filename_component(_kavo_with_xvfb ${CMAKE_CURRENT_LIST_DIR}/../tests/tools/with-xvfb ABSOLUTE)
set(KAVO_WITH_XVFB ${_kavo_with_xvfb} CACHE INTERNAL "tests/tools/with-xvfb")

function(kavo_add_xvfb_test)
    cmake_parse_arguments(T "" "NAME" "SOURCES;LIBRARIES;ENVIRONMENT;LABELS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt5::Test ${T_LIBRARIES})
    add_dependencies(${T_NAME} xtextwindow)
    add_test(NAME ${T_NAME} COMMAND ${KAVO_WITH_XVFB} $<TARGET_FILE:${T_NAME}>)
    set_tests_properties(${T_NAME} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;KAVO_XTEXTWINDOW=$<TARGET_FILE:xtextwindow>;${T_ENVIRONMENT}"
        LABELS "xvfb;${T_LABELS}"
        TIMEOUT 300)
endfunction()
