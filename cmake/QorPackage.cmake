# The Debian package of the install, made by CPack from the build tree:
#
#   cmake --build build/default && (cd build/default && cpack -G DEB)
#
# It installs under /usr: /usr/bin/qorhost, /usr/<libdir>/libqorkernel.so.*,
# the plugins in /usr/<libdir>/qorldap, the headers, qorldap.pc, the CMake
# package, the schema, the manual page and the documentation. Its
# dependencies (the libldap runtime, OpenSSL's libcrypto, utf8proc, the C library) are
# read from the binaries by dpkg-shlibdeps; the C++ runtime is linked into
# them and needs no package. SOURCE_DATE_EPOCH, when set, dates the build.
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
# The binaries go in stripped (about 6 MB installed, not 32): a package is
# for running; the build tree keeps the symbols.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
