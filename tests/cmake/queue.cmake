# Work queue and object worker suites. Both reach into Qt's private headers: the queue suite
# inspects and subclasses WorkQueuePrivate, the object worker suite uses the signal spy hook.
errand_add_test(tst_workqueue LIBS Qt5::CorePrivate LABELS threads)
errand_add_test(tst_objectworker LIBS Qt5::CorePrivate)
