# The Debian packages of the install, made by CPack from the build tree:
#
#   cmake --build build/default && (cd build/default && cpack -G DEB)
#
# qorldap installs under /usr: /usr/bin/qorhost, /usr/<libdir>/libqorkernel.so.*,
# the plugins in /usr/<libdir>/qorldap, the headers, qorldap.pc, the CMake
# package, the schema, the manual page and the documentation; qorldap-dbgsym
# holds the debug symbols of its binaries. The dependencies (the libldap
# runtime, OpenSSL's libcrypto, utf8proc, the C library) are read from the
# binaries by dpkg-shlibdeps; the C++ runtime is linked into them and needs
# no package. SOURCE_DATE_EPOCH, when set, dates the build.
#
# Debian puts libraries in the multiarch folder /usr/lib/<multiarch>. The
# package is made from the configured tree, whose library folder qorhost
# has compiled in (the way from bin/ to the plugins), so <libdir> can only
# be chosen when configuring: say so when it is not the multiarch one.
if(CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version
   AND NOT CMAKE_INSTALL_LIBDIR STREQUAL "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  message(WARNING "qorldap: the library folder is ${CMAKE_INSTALL_LIBDIR}, so the Debian package "
                  "puts the libraries in /usr/${CMAKE_INSTALL_LIBDIR}, not in the multiarch folder "
                  "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}; configure with "
                  "-DCMAKE_INSTALL_LIBDIR=lib/${CMAKE_LIBRARY_ARCHITECTURE}")
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qorldap)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "qorldap developers <qorldap@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "directory-services provider module with its host kernel, extension and developer kit")
set(CPACK_PACKAGE_DESCRIPTION
    "libqorldap.so, loaded into a host's process, gives the host's components one small\n"
    "interface to an LDAP directory. The package holds the module and its LDAP extension\n"
    "(private plugins), the host kernel libqorkernel.so with a C API, the command-line host\n"
    "qorhost, and the headers, pkg-config file and CMake package for building hosts.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The binaries go in stripped: a package is for running. Their debug
# symbols go the Debian way into a second package, qorldap-dbgsym (a .ddeb
# beside the .deb), as /usr/lib/debug/.build-id/NN/REST.debug files that
# gdb finds by each binary's build id. CPACK_STRIP_FILES would strip before
# the symbols are split off, so it stays unset.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
