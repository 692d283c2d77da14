# cmake -P script: a project that vendors Errand with FetchContent, from this source tree so that
# no network is needed, builds the README's first program against Errand::Errand and runs it.
# Checks what a vendoring project relies on: Errand follows the Qt the project chose
# (QT_VERSION_MAJOR, set by find_package(QT NAMES Qt6 Qt5)), leaves the project's build type alone,
# and adds none of its own tests, examples, benchmarks or documentation targets.
# Arguments: SOURCE_DIR, QT_MAJOR, README, WORK_DIR, GENERATOR, LAUNCHER (a compiler launcher such
# as ccache, or empty).
cmake_minimum_required(VERSION 3.16)
include(${CMAKE_CURRENT_LIST_DIR}/ConsumerSupport.cmake)
file(REMOVE_RECURSE ${WORK_DIR})

errand_readme_consumer(${README} program project)
file(WRITE ${WORK_DIR}/main.cpp "${program}")
file(WRITE ${WORK_DIR}/CMakeLists.txt "cmake_minimum_required(VERSION 3.16)
project(vendoring LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_AUTOMOC ON)

# How Qt's documentation has a project support both: the first call picks the Qt, the second
# loads it (AUTOMOC needs its moc here, in the project's own directory).
find_package(QT NAMES Qt${QT_MAJOR} REQUIRED COMPONENTS Core)
find_package(Qt\${QT_VERSION_MAJOR} REQUIRED COMPONENTS Core)
include(FetchContent)
FetchContent_Declare(errand SOURCE_DIR \"${SOURCE_DIR}\")
FetchContent_MakeAvailable(errand)

if(NOT ERRAND_QT_MAJOR STREQUAL QT_VERSION_MAJOR)
    message(FATAL_ERROR \"Errand chose Qt \${ERRAND_QT_MAJOR}, the project Qt \${QT_VERSION_MAJOR}\")
endif()
if(CMAKE_BUILD_TYPE)
    message(FATAL_ERROR \"Errand set the project's build type to \${CMAKE_BUILD_TYPE}\")
endif()
foreach(target tst_jobs errand_testsupport errand-demo errand_bench fuzz_workqueue docs)
    if(TARGET \${target})
        message(FATAL_ERROR \"Errand added its own target \${target} to the project\")
    endif()
endforeach()

add_executable(count main.cpp)
target_link_libraries(count PRIVATE Errand::Errand)
")

set(build ${WORK_DIR}/build)
errand_run(${CMAKE_COMMAND} -S ${WORK_DIR} -B ${build} -G ${GENERATOR} -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
errand_run(${CMAKE_COMMAND} --build ${build} -j2)
errand_run_consumer(${build}/count)
message(STATUS "Qt ${QT_MAJOR}: the README's program built with Errand from FetchContent and ran")
