# Registry, worker and registration suites, their plug-in library and the shutdown program.
set(ERRAND_REGISTRY_TEST_DIR ${CMAKE_CURRENT_SOURCE_DIR}/registry)

errand_add_test(tst_registry SOURCES registry/RegistryTestSupport.h)
target_include_directories(tst_registry PRIVATE ${ERRAND_REGISTRY_TEST_DIR})

# Several threads registering, creating, listing and removing at once; also run under
# ThreadSanitizer (a build configured with -DERRAND_SANITIZE=thread).
find_package(Threads REQUIRED)
errand_add_test(tst_registry_threads SOURCES registry/RegistryTestSupport.h LIBS Threads::Threads LABELS threads)
target_include_directories(tst_registry_threads PRIVATE ${ERRAND_REGISTRY_TEST_DIR})

# Not a QtTest suite: its checks run after main() has returned, once the registry is gone, and
# the exit code is the verdict.
add_executable(tst_registry_shutdown registry/tst_registry_shutdown.cpp registry/RegistryTestSupport.h)
target_include_directories(tst_registry_shutdown PRIVATE ${ERRAND_REGISTRY_TEST_DIR})
target_link_libraries(tst_registry_shutdown PRIVATE errand_testsupport)
add_test(NAME tst_registry_shutdown COMMAND tst_registry_shutdown)

errand_add_test(tst_worker SOURCES registry/RegistryTestSupport.h)
target_include_directories(tst_worker PRIVATE ${ERRAND_REGISTRY_TEST_DIR})

# A plug-in that registers its factories and job from static objects while it is loaded.
add_library(errand_registry_test_plugin MODULE registry/plugin/RegistryTestPlugin.cpp)
target_link_libraries(errand_registry_test_plugin PRIVATE Errand::Errand)

errand_add_test(tst_registration SOURCES registry/RegistryTestSupport.h)
target_include_directories(tst_registration PRIVATE ${ERRAND_REGISTRY_TEST_DIR})
target_compile_definitions(tst_registration PRIVATE
                           ERRAND_TEST_PLUGIN="$<TARGET_FILE:errand_registry_test_plugin>")
add_dependencies(tst_registration errand_registry_test_plugin)
