# The list model's differential suite: the library's model against the literal version of its
# algorithms kept in tests/models/, over long randomized scripts.
errand_add_test(tst_listmodel_diff LIBS Qt5::CorePrivate
    SOURCES models/ReferenceListModel.h models/ReferenceListModel.cpp)
target_include_directories(tst_listmodel_diff PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/models)
