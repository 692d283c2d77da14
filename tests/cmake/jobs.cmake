# The strict message handler in testsupport asks QtTest's log whether a warning was announced
# with QTest::ignoreMessage; that query lives in QtTest's private headers.
target_link_libraries(errand_testsupport PRIVATE Qt5::TestPrivate)

# JobInfo's payload class is private, so every inline member of JobInfo has to compile where
# only the public header is seen: application code returns descriptions by value, moves them
# and takes them out of a QVariant. Built on demand by the test, so a failure shows as a failed
# test rather than a broken build.
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/jobinfo_moves.cpp CONTENT [=[
#include <JobInfo.h>

#include <QtCore/QVariant>

#include <utility>

JobInfo movedAround(JobInfo info)
{
    JobInfo target;
    target = std::move(info);
    JobInfo other(std::move(target));
    return other;
}

JobInfo fromVariant(const QVariant &value)
{
    return value.value<JobInfo>();
}
]=])
add_library(jobinfo_moves OBJECT EXCLUDE_FROM_ALL ${CMAKE_CURRENT_BINARY_DIR}/jobinfo_moves.cpp)
target_link_libraries(jobinfo_moves PRIVATE Errand::Errand)
add_test(NAME tst_jobinfo_moves COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target jobinfo_moves)
