# Cross-thread stress: tasks living in worker threads, and the registry hammered by several
# threads while a plug-in (tests/stress) is loaded and unloaded with QLibrary.
add_library(errand_stress_plugin MODULE ${CMAKE_CURRENT_SOURCE_DIR}/stress/StressPlugin.cpp)
target_link_libraries(errand_stress_plugin PRIVATE Errand::Errand)

errand_add_test(tst_stress LABELS threads)
add_dependencies(tst_stress errand_stress_plugin)
target_compile_definitions(tst_stress PRIVATE ERRAND_STRESS_PLUGIN="$<TARGET_FILE:errand_stress_plugin>")
