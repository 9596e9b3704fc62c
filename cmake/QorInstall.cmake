# The install: the developer kit (headers, the kernel libqorkernel.so with its
# pkg-config file and CMake package, the schema, the README, the example host
# and qorhost's manual page), qorhost, and the module and the extension as
# private plugins in <libdir>/qorldap. The Debian package (cpack -G DEB) is
# made from the same rules.
#
# The prefix is chosen when installing (cmake --install BUILD --prefix P);
# the library directory when configuring (CMAKE_INSTALL_LIBDIR, relative to
# the prefix). Nothing installed holds an absolute path: the kernel and
# qorhost find the plugins from where they lie themselves, the pkg-config
# file from its own folder (${pcfiledir}) and the CMake package from its own.
include(CMakePackageConfigHelpers)

foreach(dir LIBDIR INCLUDEDIR BINDIR DATADIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    message(FATAL_ERROR "qorldap: CMAKE_INSTALL_${dir} must be relative to the prefix, "
                        "so that the install can be placed anywhere")
  endif()
endforeach()

set(QOR_PLUGIN_DIR ${CMAKE_INSTALL_LIBDIR}/qorldap)
set(QOR_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qorldap)
set(QOR_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The plugins sit in the build tree where they will sit in the install.
set_target_properties(qorldap vqeldap PROPERTIES
  LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${QOR_PLUGIN_DIR})

# The public headers, as a target of their own for hosts that only call the
# module's entry table (qorldap::headers).
add_library(qorldap_headers INTERFACE)
set_target_properties(qorldap_headers PROPERTIES EXPORT_NAME headers)
target_include_directories(qorldap_headers INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS qorldap vqeldap LIBRARY DESTINATION ${QOR_PLUGIN_DIR})
install(TARGETS qorhost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS qorkernel_shared qorldap_headers EXPORT qorldapTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Headers: the module's (qorldap/, qorldap/abi/), the kernel's C API
# (qorkernel/; its C++ headers stay in the build) and the extension's options.
install(DIRECTORY include/qorldap DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES platform/kernel/include/qorkernel/qorkernel.h
              platform/kernel/include/qorkernel/status_text.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qorkernel)
install(FILES platform/vqeldap/include/vqeldap/options.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vqeldap)

# find_package(qorldap): qorldap::kernel and qorldap::headers.
install(EXPORT qorldapTargets NAMESPACE qorldap:: DESTINATION ${QOR_CMAKE_PACKAGE_DIR})
configure_package_config_file(cmake/qorldapConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qorldapConfig.cmake
  INSTALL_DESTINATION ${QOR_CMAKE_PACKAGE_DIR}
  PATH_VARS QOR_PLUGIN_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qorldapConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qorldapConfig.cmake
              ${PROJECT_BINARY_DIR}/qorldapConfigVersion.cmake
        DESTINATION ${QOR_CMAKE_PACKAGE_DIR})

# pkg-config qorldap: the prefix is the way from the .pc file's folder up.
# (file(RELATIVE_PATH) ends the way in a slash, which would double the one
# the .pc file puts after ${prefix}.)
file(RELATIVE_PATH QOR_PC_TO_PREFIX /prefix/${QOR_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" QOR_PC_TO_PREFIX "${QOR_PC_TO_PREFIX}")
configure_file(cmake/qorldap.pc.in ${PROJECT_BINARY_DIR}/qorldap.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qorldap.pc DESTINATION ${QOR_PKGCONFIG_DIR})

# The schema for slapd, and the same written for 389 DS and Active Directory
# (tools/schema writes those two from the first).
install(FILES examples/schema/qorldap.schema examples/schema/qorldap-389.ldif
              examples/schema/qorldap-ad.ldif
        DESTINATION ${CMAKE_INSTALL_DATADIR}/qorldap)
install(FILES doc/qorhost.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The installed README speaks of the kit as installed, not of the source tree.
install(FILES doc/kit-README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME README.md)
install(FILES examples/directory.ldif examples/host/example_host.c examples/host/CMakeLists.txt
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

include(cmake/QorPackage.cmake)
