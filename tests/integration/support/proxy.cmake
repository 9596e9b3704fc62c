# A TCP relay that delays each direction (latency_proxy.h), for the tests and
# benchmarks that need a directory some distance away. Safe to include from
# several folders.
if(NOT TARGET qortest_proxy)
  find_package(Threads REQUIRED)
  add_library(qortest_proxy STATIC ${CMAKE_CURRENT_LIST_DIR}/latency_proxy.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ranging_relay.cpp)
  target_include_directories(qortest_proxy PUBLIC ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(qortest_proxy PUBLIC Threads::Threads)
  qor_warnings(qortest_proxy)
endif()
