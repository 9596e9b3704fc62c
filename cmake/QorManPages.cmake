# The manual pages: one page in section 3 for each operation and each kernel
# function, qorkernel(3) and the overview qorldap(7), written at build time by
# qor-manpages from the contracts in the public headers and doc/qorldap.7.txt
# into the build tree's share/man (the install's shape), and installed with
# the kit. The same pages as one Markdown document go beside the README.
#
# doc/manual.md is that document kept in the source tree, for browsing where
# the code is hosted: `cmake --build BUILD --target manual-md` rewrites it,
# and the manual's test fails when it is stale.
set(QOR_MANUAL_HEADERS
    ${PROJECT_SOURCE_DIR}/include/qorldap/table.h
    ${PROJECT_SOURCE_DIR}/platform/kernel/include/qorkernel/qorkernel.h
    ${PROJECT_SOURCE_DIR}/platform/kernel/include/qorkernel/status_text.h)
set(QOR_MANUAL_OVERVIEW ${PROJECT_SOURCE_DIR}/doc/qorldap.7.txt)
set(QOR_MANUAL_INPUTS --version ${PROJECT_VERSION} --overview ${QOR_MANUAL_OVERVIEW}
                      ${QOR_MANUAL_HEADERS})
set(QOR_MAN_DIR ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_MANDIR})
set(QOR_MANUAL_DOCUMENT ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_DOCDIR}/manual.md)

add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/manpages.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${QOR_MAN_DIR}/man3 ${QOR_MAN_DIR}/man7
  COMMAND qor-manpages --man ${QOR_MAN_DIR} --markdown ${QOR_MANUAL_DOCUMENT} ${QOR_MANUAL_INPUTS}
  COMMAND ${CMAKE_COMMAND} -E touch ${PROJECT_BINARY_DIR}/manpages.stamp
  DEPENDS qor-manpages ${QOR_MANUAL_HEADERS} ${QOR_MANUAL_OVERVIEW}
  COMMENT "Writing the manual pages")
add_custom_target(manpages ALL DEPENDS ${PROJECT_BINARY_DIR}/manpages.stamp)

add_custom_target(manual-md
  COMMAND qor-manpages --man ${PROJECT_BINARY_DIR}/manual-md --markdown
          ${PROJECT_SOURCE_DIR}/doc/manual.md ${QOR_MANUAL_INPUTS}
  COMMENT "Rewriting doc/manual.md")

install(DIRECTORY ${QOR_MAN_DIR}/man3 ${QOR_MAN_DIR}/man7 DESTINATION ${CMAKE_INSTALL_MANDIR})
install(FILES ${QOR_MANUAL_DOCUMENT} DESTINATION ${CMAKE_INSTALL_DOCDIR})
