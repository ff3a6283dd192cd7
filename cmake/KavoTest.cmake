# kavo_add_test(NAME <name> SOURCES <files...> [LIBRARIES <libs...>] [ENVIRONMENT <VAR=value...>] [LABELS <labels...>])
# One Qt Test executable per unit, registered with ctest under the same name.
function(kavo_add_test)
    cmake_parse_arguments(T "" "NAME" "SOURCES;LIBRARIES;ENVIRONMENT;LABELS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt5::Test ${T_LIBRARIES})
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${T_ENVIRONMENT}"
        TIMEOUT 300)
    if(T_LABELS)
        set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()
