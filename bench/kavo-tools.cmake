# Harness programs of the HTTP and unzip benchmarks; not installed.
add_executable(kavo-httpd ${CMAKE_CURRENT_LIST_DIR}/kavo-httpd.cpp)
target_link_libraries(kavo-httpd PRIVATE kavo_httpserver)
add_executable(kavo-unzip ${CMAKE_CURRENT_LIST_DIR}/kavo-unzip.cpp)
target_link_libraries(kavo-unzip PRIVATE kavo_zip)
set_target_properties(kavo-httpd kavo-unzip PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
