# cmake -P script: builds and runs the README's first program against an installed Errand, once
# for each package installed, twice each:
# - with the README's CMakeLists.txt (find_package(Errand), or ErrandQt6 as its comment says);
# - as a Makefile would, with Qt's moc (found through pkg-config) and the compiler flags of
#   `pkg-config --cflags --libs` (when pkg-config and CXX are there).
# Where Errand comes from:
# - BUILD_DIR (and OTHER_BUILD_DIR, a build for the other Qt major version, when given): installs
#   them into WORK_DIR/prefix and uses that prefix alone. Proves that the Qt 5 and the Qt 6 builds
#   can share a prefix, that each package brings its own library and its own Qt, and that what the
#   README tells a new user works.
# - QT_MAJORS (a list of 5 and 6) without BUILD_DIR: the builds installed in the system by the
#   Debian packages (scripts/debian-packages.sh --check).
cmake_minimum_required(VERSION 3.16)
include(${CMAKE_CURRENT_LIST_DIR}/ConsumerSupport.cmake)
file(REMOVE_RECURSE ${WORK_DIR})

if(BUILD_DIR)
    set(prefix ${WORK_DIR}/prefix)
    set(builds ${BUILD_DIR})
    if(OTHER_BUILD_DIR)
        list(PREPEND builds ${OTHER_BUILD_DIR})
    endif()
    set(QT_MAJORS "")
    foreach(build ${builds})
        errand_run(${CMAKE_COMMAND} --install ${build} --prefix ${prefix})
        load_cache(${build} READ_WITH_PREFIX "" ERRAND_QT_MAJOR)
        list(APPEND QT_MAJORS ${ERRAND_QT_MAJOR})
    endforeach()
else()
    set(prefix /usr)
endif()

errand_readme_consumer(${README} program project)

set(flags "")
if(SANITIZE)
    set(flags "-fsanitize=${SANITIZE}")
endif()
find_program(READELF readelf)
find_program(PKG_CONFIG pkg-config)

foreach(major ${QT_MAJORS})
    # The installed names each Qt build promises.
    if(major STREQUAL "6")
        set(package ErrandQt6)
        set(name errand-qt6)
    else()
        set(package Errand)
        set(name errand)
    endif()
    foreach(header Job.h Task.h TaskSharedObject.h JobInfo.h WorkQueue.h WorkQueuePrivate.h errand_export.h)
        if(NOT EXISTS ${prefix}/include/${name}/${header})
            message(FATAL_ERROR "not installed: ${prefix}/include/${name}/${header}")
        endif()
    endforeach()

    set(source ${WORK_DIR}/readme-${name})
    string(REPLACE "find_package(Errand " "find_package(${package} " cmake_text "${project}")
    file(WRITE ${source}/CMakeLists.txt "${cmake_text}")
    file(WRITE ${source}/main.cpp "${program}")
    set(out ${source}/build)
    errand_run(${CMAKE_COMMAND} -S ${source} -B ${out} -G ${GENERATOR}
        -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
    errand_run(${CMAKE_COMMAND} --build ${out})
    errand_run_consumer(${out}/count)
    if(READELF)
        # The consumer needs its own package's library and the matching Qt, nothing of the other.
        errand_run(${READELF} -d ${out}/count)
        if(NOT output MATCHES "lib${name}\\.so\\.[0-9]" OR NOT output MATCHES "libQt${major}Core")
            message(FATAL_ERROR "${package} consumer does not link lib${name} and Qt ${major}:\n${output}")
        endif()
    endif()
    message(STATUS "${package}: the README's program built with CMake and ran")

    if(PKG_CONFIG AND CXX)
        set(rpath "")
        if(BUILD_DIR)
            file(GLOB_RECURSE pc_file ${prefix}/${name}.pc)
            get_filename_component(pc_dir "${pc_file}" DIRECTORY)
            set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
            set(rpath -Wl,-rpath,${prefix}/lib)
        endif()
        errand_run(${PKG_CONFIG} --cflags --libs ${name})
        separate_arguments(pc_flags UNIX_COMMAND "${output}")
        if(major STREQUAL "5")
            list(APPEND pc_flags -fPIC)  # as the README says: Qt 5's headers insist on it
        endif()
        if(major STREQUAL "6")
            errand_run(${PKG_CONFIG} --variable=libexecdir Qt6Core)
        else()
            errand_run(${PKG_CONFIG} --variable=host_bins Qt5Core)
        endif()
        string(STRIP "${output}" moc_dir)
        errand_run(${moc_dir}/moc ${source}/main.cpp -o ${source}/main.moc)
        separate_arguments(sanitize UNIX_COMMAND "${flags}")
        errand_run(${CXX} ${sanitize} -I${source} ${source}/main.cpp ${pc_flags} ${rpath}
            -o ${source}/count-pkg-config)
        errand_run_consumer(${source}/count-pkg-config)
        message(STATUS "${name}: the README's program built with pkg-config and ran")
    endif()
endforeach()
