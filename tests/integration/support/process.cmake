# Running a program with its output and exit status captured (process.h), for
# the tests of the command-line host and the cross-server tests: include this
# file and link qortest_process. Safe to include from several folders.
if(NOT TARGET qortest_process)
  add_library(qortest_process STATIC ${CMAKE_CURRENT_LIST_DIR}/process.cpp)
  target_include_directories(qortest_process PUBLIC ${PROJECT_SOURCE_DIR}/tests)
  qor_warnings(qortest_process)
endif()
