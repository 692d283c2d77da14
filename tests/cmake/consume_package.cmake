# cmake -P script: install BUILD_DIR into WORK_DIR/prefix, together with OTHER_BUILD_DIR when
# given (a build for the other Qt major version), then configure, build and run the consumer
# project against that prefix alone, once for each package installed there. Proves that the
# Qt 5 and the Qt 6 builds can share a prefix and that each package brings its own library.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "command failed (${rc}): ${ARGN}\n${out}\n${err}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()

set(builds ${BUILD_DIR})
if(OTHER_BUILD_DIR)
    list(PREPEND builds ${OTHER_BUILD_DIR})
endif()
foreach(build ${builds})
    run(${CMAKE_COMMAND} --install ${build} --prefix ${prefix})
endforeach()

set(flags "")
if(SANITIZE)
    set(flags "-fsanitize=${SANITIZE}")
endif()
find_program(READELF readelf)

foreach(build ${builds})
    # The installed names each Qt build promises.
    load_cache(${build} READ_WITH_PREFIX "" ERRAND_QT_MAJOR)
    if(ERRAND_QT_MAJOR STREQUAL "6")
        set(package ErrandQt6)
        set(name errand-qt6)
    else()
        set(package Errand)
        set(name errand)
    endif()
    foreach(header Job.h Task.h TaskSharedObject.h JobInfo.h WorkQueue.h WorkQueuePrivate.h errand_export.h)
        if(NOT EXISTS ${prefix}/include/${name}/${header})
            message(FATAL_ERROR "not installed: include/${name}/${header}")
        endif()
    endforeach()

    set(out ${WORK_DIR}/build-${package})
    run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${out} -G ${GENERATOR} -DERRAND_PACKAGE=${package}
        -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
    run(${CMAKE_COMMAND} --build ${out})
    run(${out}/consumer --quiet ${SOURCE_DIR}/../../examples/common)
    if(READELF)
        # The consumer needs its own package's library and the matching Qt, nothing of the other.
        run(${READELF} -d ${out}/consumer)
        if(NOT output MATCHES "lib${name}\\.so\\.[0-9]" OR NOT output MATCHES "libQt${ERRAND_QT_MAJOR}Core")
            message(FATAL_ERROR "${package} consumer does not link lib${name} and Qt ${ERRAND_QT_MAJOR}:\n${output}")
        endif()
    endif()
    message(STATUS "${package} consumer built and ran against ${prefix}")
endforeach()
