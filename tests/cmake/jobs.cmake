# The strict message handler in testsupport asks QtTest's log whether a warning was announced
# with QTest::ignoreMessage; that query lives in QtTest's private headers.
target_link_libraries(errand_testsupport PRIVATE Qt5::TestPrivate)
