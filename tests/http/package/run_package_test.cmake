# Installs the ZnHttp component into a fresh prefix, then configures, builds
# and runs a consumer project that finds it with find_package(ZnHttp).
# Expects BUILD_DIR, WORK_DIR, CONSUMER_DIR, BUILD_TYPE and optionally EXTRA_FLAGS.

function(run step)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${step} failed (${rc}):\n${out}\n${err}")
    endif()
    message(STATUS "${step}: ok")
    set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component ZnHttp)

foreach(header httpserver.h connection.h request.h response.h znhttp_global.h)
    if(NOT EXISTS ${prefix}/include/zn-http/${header})
        message(FATAL_ERROR "public header ${header} was not installed")
    endif()
endforeach()
file(GLOB private_headers ${prefix}/include/zn-http/*_p.h)
if(private_headers)
    message(FATAL_ERROR "private headers were installed: ${private_headers}")
endif()

run("configure consumer" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
    "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}")
run("build consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run("run consumer" ${WORK_DIR}/build/consumer)
if(NOT last_output MATCHES "consumer OK")
    message(FATAL_ERROR "consumer printed: ${last_output}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
