# Installs the library into a scratch prefix and builds and runs tests/consumer against it,
# so that the installed headers and package config cannot rot.
add_test(NAME tst_package
    COMMAND ${CMAKE_COMMAND}
        -DBUILD_DIR=${PROJECT_BINARY_DIR}
        -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}/consumer
        -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/package
        -DGENERATOR=${CMAKE_GENERATOR}
        -DCXX_FLAGS=${CMAKE_CXX_FLAGS}
        -DSANITIZE=${ERRAND_SANITIZE}
        -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/consume_package.cmake)
