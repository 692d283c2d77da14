# Debian packages of the library with CPack: `cmake --build <build> --target package`, or cpack in
# the build directory, writes a runtime and a development package for the Qt the build uses,
# named from the library's SONAME the way Debian names library packages, so that the two Qt
# builds' packages install side by side:
#
#                      Qt 5 build          Qt 6 build
#   runtime            liberrand0.1        liberrand-qt6-0.1      the shared library
#   development        liberrand-dev       liberrand-qt6-dev      headers, CMake and pkg-config files
#
# Configure the build with -DCMAKE_INSTALL_PREFIX=/usr (so that GNUInstallDirs puts the library in
# Debian's multiarch directory) and in Release; scripts/debian-packages.sh does both.
#
# The library reads Qt's private API and so works with the exact Qt release it was built against
# only: the runtime package depends on that release's ABI package, which Debian's Qt Core package
# provides (qtbase-abi-5-15-8, qt6-base-abi (= 6.4.2)), and the development package on Qt's
# private headers, which <WorkQueuePrivate.h> includes; dpkg-shlibdeps adds the shared libraries
# the library links (cmake/debian/ErrandCPack.cmake.in).

set(ERRAND_PACKAGE_MAINTAINER "Errand developers <errand@example.org>" CACHE STRING
    "Maintainer of the Debian packages, as 'Name <address>'")

set(errand_soversion ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
# liberrand.so.0.1 -> liberrand0.1; a name that ends in a digit takes a hyphen: liberrand-qt6-0.1.
if(ERRAND_LIBRARY_NAME MATCHES "[0-9]$")
    set(errand_runtime_package lib${ERRAND_LIBRARY_NAME}-${errand_soversion})
else()
    set(errand_runtime_package lib${ERRAND_LIBRARY_NAME}${errand_soversion})
endif()
set(errand_dev_package lib${ERRAND_LIBRARY_NAME}-dev)

set(ERRAND_DEB_QT_VERSION ${${ERRAND_QT}Core_VERSION})
if(ERRAND_QT_MAJOR STREQUAL "5")
    string(REPLACE "." "-" errand_qt_abi "qtbase-abi-${ERRAND_DEB_QT_VERSION}")
    set(errand_qt_private_dev qtbase5-private-dev)
else()
    set(errand_qt_abi "qt6-base-abi (= ${ERRAND_DEB_QT_VERSION})")
    set(errand_qt_private_dev qt6-base-private-dev)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VENDOR "The Errand developers")
set(CPACK_PACKAGE_CONTACT "${ERRAND_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ErrandRuntime ErrandDevelopment)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Each package's first description line is its own synopsis: an empty project-wide summary keeps
# CPack from putting one shared line in front of both.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")

# Debian shows descriptions on 80-column terminals: lines are kept short here.
set(errand_about "Errand gives Qt applications and their plug-ins a small framework for
asynchronous work: jobs whose Qt properties are their parameters, tasks that
do the work under a state machine the library fixes, a thread-safe registry
of task factories, workers, work queues that run tasks in priority order,
and item models that show a queue in views and QML.")

set(CPACK_DEBIAN_ERRANDRUNTIME_PACKAGE_NAME ${errand_runtime_package})
set(CPACK_DEBIAN_ERRANDRUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_ERRANDRUNTIME_PACKAGE_DEPENDS "${errand_qt_abi}")
set(CPACK_DEBIAN_ERRANDRUNTIME_DESCRIPTION "asynchronous jobs, tasks and work queues for Qt ${ERRAND_QT_MAJOR}
${errand_about}

This package contains the shared library, built against Qt ${ERRAND_DEB_QT_VERSION}.
It uses Qt's private API and works with that Qt release only.")
# What dpkg-shlibdeps and debhelper would give a library package, written here rather than left
# to CPack, whose ldconfig calls in maintainer scripts Debian has replaced by a trigger: the shlibs
# file that tells packages linking the library which package to depend on, and the trigger that
# updates the loader's cache.
set(errand_control ${PROJECT_BINARY_DIR}/debian/${errand_runtime_package})
file(WRITE ${errand_control}/shlibs
     "lib${ERRAND_LIBRARY_NAME} ${errand_soversion} ${errand_runtime_package} (>= ${PROJECT_VERSION})\n")
file(WRITE ${errand_control}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_ERRANDRUNTIME_PACKAGE_CONTROL_EXTRA ${errand_control}/shlibs ${errand_control}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries the library links, from dpkg-shlibdeps, join the Qt ABI package when cpack runs.
find_program(ERRAND_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(ERRAND_DPKG_SHLIBDEPS)
if(ERRAND_DPKG_SHLIBDEPS)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/ErrandCPack.cmake.in
                   ${PROJECT_BINARY_DIR}/debian/ErrandCPack.cmake.in @ONLY)
    file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/debian/ErrandCPack.cmake
                  INPUT ${PROJECT_BINARY_DIR}/debian/ErrandCPack.cmake.in)
    set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/debian/ErrandCPack.cmake)
else()
    message(STATUS "Errand: dpkg-shlibdeps not found; the runtime package depends on the Qt ABI package only")
endif()

set(CPACK_DEBIAN_ERRANDDEVELOPMENT_PACKAGE_NAME ${errand_dev_package})
set(CPACK_DEBIAN_ERRANDDEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_ERRANDDEVELOPMENT_PACKAGE_DEPENDS "${errand_qt_private_dev}")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_ERRANDDEVELOPMENT_DEPENDS ErrandRuntime)  # of the same version
set(CPACK_DEBIAN_ERRANDDEVELOPMENT_DESCRIPTION "asynchronous jobs, tasks and work queues for Qt ${ERRAND_QT_MAJOR} - development files
${errand_about}

This package contains what building against the Qt ${ERRAND_QT_MAJOR} build of the library
needs: the headers, the CMake package ${ERRAND_PACKAGE_NAME} (target Errand::Errand)
and the pkg-config file ${ERRAND_LIBRARY_NAME}.")

# Debian wants the licence as each package's copyright file, and a compressed changelog beside it.
# Installed only by component installs, which is how CPack installs: a plain `cmake --install`
# leaves them out.
find_program(ERRAND_GZIP gzip)
mark_as_advanced(ERRAND_GZIP)
string(TIMESTAMP ERRAND_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)  # honours SOURCE_DATE_EPOCH
set(ERRAND_DEB_VERSION ${CPACK_DEBIAN_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
foreach(component ErrandRuntime ErrandDevelopment)
    string(TOUPPER ${component} upper)
    set(ERRAND_DEB_PACKAGE ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${ERRAND_DEB_PACKAGE})
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${doc_dir} RENAME copyright
            COMPONENT ${component} EXCLUDE_FROM_ALL)
    if(ERRAND_GZIP)
        set(changelog ${PROJECT_BINARY_DIR}/debian/${ERRAND_DEB_PACKAGE}/changelog.Debian)
        configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${changelog} @ONLY)
        # -n: no name or time stamp in the header, so that equal text gives equal bytes.
        execute_process(COMMAND ${ERRAND_GZIP} -9nf ${changelog} RESULT_VARIABLE gzip_result)
        if(NOT gzip_result EQUAL 0)
            message(FATAL_ERROR "gzip could not compress ${changelog}")
        endif()
        install(FILES ${changelog}.gz DESTINATION ${doc_dir} COMPONENT ${component} EXCLUDE_FROM_ALL)
    endif()
endforeach()

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git" "/build[^/]*/" "/\\.cache/")
set(CPACK_VERBATIM_VARIABLES ON)  # the values above reach CPack as written here

include(CPack)
