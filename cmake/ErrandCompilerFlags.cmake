# Flags shared by every target of the project (library, tests, examples).
add_compile_options(-Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual)
if(ERRAND_WERROR)
    add_compile_options(-Werror)
endif()

# Keep the code honest about string encodings.
add_compile_definitions(
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
)

if(ERRAND_SANITIZE)
    add_compile_options(-fsanitize=${ERRAND_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${ERRAND_SANITIZE})
endif()

if(ERRAND_COVERAGE)
    # Atomic counter updates: the threaded suites would otherwise race on the counters and can
    # leave negative counts that gcov's report cannot be read with.
    add_compile_options(--coverage -fprofile-update=atomic -O0 -fno-inline)
    add_link_options(--coverage)
endif()
