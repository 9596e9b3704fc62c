# The slapd fixture for integration tests: include this file from a test
# folder's CMakeLists.txt and link qortest_slapd. Safe to include from several
# folders.
if(NOT TARGET qortest_slapd)
  add_library(qortest_slapd STATIC ${CMAKE_CURRENT_LIST_DIR}/slapd_server.cpp)
  target_include_directories(qortest_slapd PUBLIC ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(qortest_slapd PUBLIC GTest::gtest)
  target_compile_definitions(qortest_slapd PRIVATE
    QOR_SLAPD_SCRIPTS="${PROJECT_SOURCE_DIR}/scripts")
  qor_warnings(qortest_slapd)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/proxy.cmake)
