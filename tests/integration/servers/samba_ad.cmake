# A Samba Active Directory domain controller as a test server, included by
# this folder's CMakeLists.txt. One server per CTest run: the fixture
# samba_ad starts it with scripts/samba-ad-up in ${build}/servers/samba-ad
# (tied to CTest's process with --owner, so it goes when CTest is killed)
# and stops it with scripts/samba-ad-down. Samba's LDAP ports are fixed (389,
# 636, 3268 and 3269 of 127.0.0.1), so every test against it shares the
# resource lock samba_ad; they carry the label samba_ad and read the server
# from the env file named by QOR_DIRECTORY_ENV.
#
# Registered against it: every cross-server test program of this folder
# (servers_*_test, the same cases for every server) and the AD-only cases of
# ad_*.cpp (servers_ad_test).
if(NOT TARGET qorhost)
  return()
endif()

set(QOR_SAMBA_AD_DIR ${PROJECT_BINARY_DIR}/servers/samba-ad)
set(QOR_SAMBA_AD_ENV ${QOR_SAMBA_AD_DIR}/env)
add_test(NAME samba_ad_up
  COMMAND bash -c "\"$0/samba-ad-down\" \"$1\" && exec \"$0/samba-ad-up\" --dir \"$1\" --owner \"$PPID\" >/dev/null"
    ${PROJECT_SOURCE_DIR}/scripts ${QOR_SAMBA_AD_DIR})
add_test(NAME samba_ad_down
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/samba-ad-down ${QOR_SAMBA_AD_DIR})
set_tests_properties(samba_ad_up PROPERTIES FIXTURES_SETUP samba_ad TIMEOUT 300)
set_tests_properties(samba_ad_down PROPERTIES FIXTURES_CLEANUP samba_ad)
set_tests_properties(samba_ad_up samba_ad_down PROPERTIES
  LABELS samba_ad RESOURCE_LOCK samba_ad)

set(QOR_SAMBA_AD_TEST_PROPERTIES
  LABELS samba_ad
  FIXTURES_REQUIRED samba_ad
  RESOURCE_LOCK samba_ad
  ENVIRONMENT QOR_DIRECTORY_ENV=${QOR_SAMBA_AD_ENV})

get_property(cross_programs DIRECTORY PROPERTY BUILDSYSTEM_TARGETS)
list(FILTER cross_programs INCLUDE REGEX "^servers_[a-z0-9_]+_test$")
foreach(program IN LISTS cross_programs)
  gtest_discover_tests(${program} TEST_PREFIX samba_ad: DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
    PROPERTIES ${QOR_SAMBA_AD_TEST_PROPERTIES})
endforeach()

find_program(QOR_LDAPSEARCH ldapsearch REQUIRED)
file(GLOB ad_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ad_*.cpp)
add_executable(servers_ad_test ${ad_sources} ${PROJECT_SOURCE_DIR}/tests/integration/cli/process.cpp)
target_link_libraries(servers_ad_test PRIVATE GTest::gtest GTest::gtest_main
  ${QOR_LDAP_LIBRARY} ${QOR_LBER_LIBRARY})
target_include_directories(servers_ad_test PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(servers_ad_test PRIVATE
  QORHOST_PROGRAM="$<TARGET_FILE:qorhost>"
  QOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  QOR_LDAPSEARCH="${QOR_LDAPSEARCH}")
add_dependencies(servers_ad_test qorhost qorldap)
qor_warnings(servers_ad_test)
gtest_discover_tests(servers_ad_test DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
  PROPERTIES ${QOR_SAMBA_AD_TEST_PROPERTIES})
