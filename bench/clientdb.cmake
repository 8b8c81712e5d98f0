# Harness of the client-database benchmark; not installed.
add_executable(kavo-clientdb ${CMAKE_CURRENT_LIST_DIR}/kavo-clientdb.cpp)
target_link_libraries(kavo-clientdb PRIVATE kavo_bridge Qt5::WebKitWidgets)
set_target_properties(kavo-clientdb PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
