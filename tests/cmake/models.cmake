# The list model suite; tests/models/ holds its test-only proxy.
errand_add_test(tst_listmodel SOURCES models/ChildlessProxyModel.h)
