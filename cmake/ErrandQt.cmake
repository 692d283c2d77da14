# Finds the Qt chosen by ERRAND_QT_MAJOR and names everything that differs between the two
# builds, so that a Qt 5 and a Qt 6 build can be installed into one prefix:
#
#                      Qt 5 build                 Qt 6 build
#   package            Errand                     ErrandQt6
#   library            liberrand.so.X.Y           liberrand-qt6.so.X.Y
#   headers            include/errand/            include/errand-qt6/
#   imported target    Errand::Errand             Errand::Errand
#
# ERRAND_QT is the prefix of the Qt targets (Qt5::Core or Qt6::Core); the rest of the build
# refers to Qt only through it.
if(ERRAND_QT_MAJOR STREQUAL "5")
    # The oldest releases this tree is built and tested with; older ones lack APIs it uses.
    set(ERRAND_QT_MIN_VERSION 5.15)
    set(ERRAND_PACKAGE_NAME Errand)
    set(ERRAND_LIBRARY_NAME errand)
elseif(ERRAND_QT_MAJOR STREQUAL "6")
    set(ERRAND_QT_MIN_VERSION 6.4)
    set(ERRAND_PACKAGE_NAME ErrandQt6)
    set(ERRAND_LIBRARY_NAME errand-qt6)
else()
    message(FATAL_ERROR "ERRAND_QT_MAJOR must be 5 or 6, not '${ERRAND_QT_MAJOR}'")
endif()
set(ERRAND_QT Qt${ERRAND_QT_MAJOR})
set(ERRAND_INCLUDE_SUBDIR ${ERRAND_LIBRARY_NAME})

find_package(${ERRAND_QT} ${ERRAND_QT_MIN_VERSION} REQUIRED COMPONENTS Core)
message(STATUS "Errand: building ${ERRAND_PACKAGE_NAME} against Qt ${${ERRAND_QT}Core_VERSION}")

# Nothing deprecated in the oldest supported release may be used, so that the code keeps
# building when a later release removes it.
if(ERRAND_QT_MAJOR STREQUAL "5")
    add_compile_definitions(QT_DISABLE_DEPRECATED_BEFORE=0x050F00)
else()
    add_compile_definitions(QT_DISABLE_DEPRECATED_BEFORE=0x060400)
endif()
