# A Samba Active Directory domain controller as a test server, included by
# this folder's CMakeLists.txt: the cross-server cases against it (label
# samba_ad), and the AD-only cases of ad_*.cpp (servers_ad_test) under the
# same fixture and resource lock. Samba's LDAP ports are fixed (389, 636,
# 3268 and 3269 of 127.0.0.1), so one such server runs at a time.
if(NOT TARGET qorhost)
  return()
endif()

qor_cross_server_tests(samba-ad samba_ad ${PROJECT_SOURCE_DIR}/scripts/samba-ad-up
  ${PROJECT_SOURCE_DIR}/scripts/samba-ad-down)

include(${CMAKE_CURRENT_SOURCE_DIR}/../support/proxy.cmake)
find_program(QOR_LDAPSEARCH ldapsearch REQUIRED)
file(GLOB ad_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ad_*.cpp)
qor_add_test(servers_ad_test
  SOURCES ${ad_sources}
  LIBS qortest_process qortest_proxy ${QOR_LDAP_LIBRARY} ${QOR_LBER_LIBRARY}
  NO_DISCOVERY)
add_dependencies(servers_ad_test qorhost qorldap)
target_compile_definitions(servers_ad_test PRIVATE
  QORHOST_PROGRAM="$<TARGET_FILE:qorhost>"
  QOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  QOR_LDAPSEARCH="${QOR_LDAPSEARCH}")
gtest_discover_tests(servers_ad_test DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
  PROPERTIES LABELS samba_ad
  ENVIRONMENT "QOR_DIRECTORY_ENV=${PROJECT_BINARY_DIR}/servers/samba-ad/env"
  FIXTURES_REQUIRED server_samba-ad RESOURCE_LOCK server_samba-ad)
