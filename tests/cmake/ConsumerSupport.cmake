# Helpers of the cmake -P scripts that build the README's first program as a user would
# (consume_package.cmake against an installed Errand, consume_subproject.cmake with FetchContent).
include(${CMAKE_CURRENT_LIST_DIR}/DocSnippets.cmake)

# errand_run(<command> [args...]): runs a command, stops the script with its output when it fails,
# and leaves what it printed in `output`.
function(errand_run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "command failed (${rc}): ${ARGN}\n${out}\n${err}")
    endif()
    set(output "${out}${err}" PARENT_SCOPE)
endfunction()

# errand_run_consumer(<program>): runs a build of the README's program and checks that it printed
# what the README says its three jobs print.
function(errand_run_consumer program)
    errand_run(${program})
    if(NOT output MATCHES "10 \"NoError\" 55\n30 \"NoError\" 465\n20 \"NoError\" 210\n$")
        message(FATAL_ERROR "${program} printed:\n${output}")
    endif()
endfunction()

# errand_readme_consumer(<readme> <cpp-var> <cmake-var>): the README's first C++ block (main.cpp)
# and its first CMake block (the consumer's CMakeLists.txt).
function(errand_readme_consumer readme cpp_var cmake_var)
    errand_doc_snippets(${readme} cpp cpp)
    errand_doc_snippets(${readme} cmake cmake)
    list(GET cpp 0 program)
    list(GET cmake 0 project)
    set(${cpp_var} "${cpp_${program}}" PARENT_SCOPE)
    set(${cmake_var} "${cmake_${project}}" PARENT_SCOPE)
endfunction()
