# Harness of the start-up benchmark; not installed.
add_executable(kavo-bareloader ${CMAKE_CURRENT_LIST_DIR}/kavo-bareloader.cpp)
target_link_libraries(kavo-bareloader PRIVATE Qt5::WebKitWidgets)
set_target_properties(kavo-bareloader PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
