# cmake -P script: install BUILD_DIR into WORK_DIR/prefix, together with OTHER_BUILD_DIR when
# given (a build for the other Qt major version), then build and run the README's first program
# against that prefix alone, once for each package installed there, twice each:
# - with the README's CMakeLists.txt (find_package(Errand), or ErrandQt6 as its comment says);
# - as a Makefile would, with Qt's moc (found through pkg-config) and the compiler flags of
#   `pkg-config --cflags --libs` (when pkg-config and CXX are there).
# Proves that the Qt 5 and the Qt 6 builds can share a prefix, that each package brings its own
# library and its own Qt, and that what the README tells a new user works.
cmake_minimum_required(VERSION 3.16)
include(${CMAKE_CURRENT_LIST_DIR}/DocSnippets.cmake)
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "command failed (${rc}): ${ARGN}\n${out}\n${err}")
    endif()
    set(output "${out}${err}" PARENT_SCOPE)
endfunction()

# Runs a consumer and checks that it printed what the README says its three jobs print.
function(run_consumer program)
    run(${program})
    if(NOT output MATCHES "10 \"NoError\" 55\n30 \"NoError\" 465\n20 \"NoError\" 210\n$")
        message(FATAL_ERROR "${program} printed:\n${output}")
    endif()
endfunction()

set(builds ${BUILD_DIR})
if(OTHER_BUILD_DIR)
    list(PREPEND builds ${OTHER_BUILD_DIR})
endif()
foreach(build ${builds})
    run(${CMAKE_COMMAND} --install ${build} --prefix ${prefix})
endforeach()

errand_doc_snippets(${README} cpp cpp)
errand_doc_snippets(${README} cmake cmake)
list(GET cpp 0 program)
list(GET cmake 0 project)

set(flags "")
if(SANITIZE)
    set(flags "-fsanitize=${SANITIZE}")
endif()
find_program(READELF readelf)
find_program(PKG_CONFIG pkg-config)

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

    set(source ${WORK_DIR}/readme-${name})
    string(REPLACE "find_package(Errand " "find_package(${package} " cmake_text "${cmake_${project}}")
    file(WRITE ${source}/CMakeLists.txt "${cmake_text}")
    file(WRITE ${source}/main.cpp "${cpp_${program}}")
    set(out ${source}/build)
    run(${CMAKE_COMMAND} -S ${source} -B ${out} -G ${GENERATOR}
        -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
    run(${CMAKE_COMMAND} --build ${out})
    run_consumer(${out}/count)
    if(READELF)
        # The consumer needs its own package's library and the matching Qt, nothing of the other.
        run(${READELF} -d ${out}/count)
        if(NOT output MATCHES "lib${name}\\.so\\.[0-9]" OR NOT output MATCHES "libQt${ERRAND_QT_MAJOR}Core")
            message(FATAL_ERROR "${package} consumer does not link lib${name} and Qt ${ERRAND_QT_MAJOR}:\n${output}")
        endif()
    endif()
    message(STATUS "${package}: the README's program built with CMake and ran")

    if(PKG_CONFIG AND CXX)
        file(GLOB_RECURSE pc_file ${prefix}/${name}.pc)
        get_filename_component(pc_dir "${pc_file}" DIRECTORY)
        set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
        run(${PKG_CONFIG} --cflags --libs ${name})
        separate_arguments(pc_flags UNIX_COMMAND "${output}")
        if(ERRAND_QT_MAJOR STREQUAL "6")
            run(${PKG_CONFIG} --variable=libexecdir Qt6Core)
        else()
            run(${PKG_CONFIG} --variable=host_bins Qt5Core)
        endif()
        string(STRIP "${output}" moc_dir)
        run(${moc_dir}/moc ${source}/main.cpp -o ${source}/main.moc)
        separate_arguments(sanitize UNIX_COMMAND "${flags}")
        run(${CXX} ${sanitize} -I${source} ${source}/main.cpp ${pc_flags} -Wl,-rpath,${prefix}/lib
            -o ${source}/count-pkg-config)
        run_consumer(${source}/count-pkg-config)
        message(STATUS "${name}: the README's program built with pkg-config and ran")
    endif()
endforeach()
