# ERRAND_HAVE_COROUTINES: whether the compiler builds C++20 coroutines, which the header-only
# ErrandCoro.h needs. It decides whether that header is installed and whether its tests and
# example are built; the library itself stays C++17.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_FLAGS ${CMAKE_CXX20_STANDARD_COMPILE_OPTION})
check_cxx_source_compiles([[
#include <coroutine>
struct Done {
    struct promise_type {
        Done get_return_object() { return {}; }
        std::suspend_never initial_suspend() { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() {}
    };
};
Done run() { co_await std::suspend_never{}; }
int main() { run(); }
]] ERRAND_HAVE_COROUTINES)
unset(CMAKE_REQUIRED_FLAGS)

# QCoro, optional: its QCoro::Task<> coroutines are tested (and the example built) with co_await.
set(ERRAND_QCORO_TARGET "")
if(ERRAND_HAVE_COROUTINES AND (ERRAND_BUILD_TESTS OR ERRAND_BUILD_EXAMPLES))
    find_package(QCoro${ERRAND_QT_MAJOR} QUIET COMPONENTS Core)
    if(QCoro${ERRAND_QT_MAJOR}_FOUND)
        set(ERRAND_QCORO_TARGET QCoro${ERRAND_QT_MAJOR}::Core)
    endif()
endif()
message(STATUS "Errand: C++20 coroutines ${ERRAND_HAVE_COROUTINES}, QCoro ${ERRAND_QCORO_TARGET}")
