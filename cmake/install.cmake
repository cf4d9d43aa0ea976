# What `cmake --install` puts where, and how CPack turns that into a Debian package.
# Included from CMakeLists.txt after the targets are defined.
include(GNUInstallDirs)

install(TARGETS quorvexa RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES doc/quorvexa.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES completions/quorvexa.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME quorvexa)
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME quorvexa)
set(CPACK_PACKAGE_VENDOR "The Quorvexa developers")
set(CPACK_PACKAGE_CONTACT "The Quorvexa developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "move a DEFLATE stream between GZIP, ZIP, ZLIB and PNG without recompressing it")
# One line of the package's long description per line here, as a Debian control file wants them.
set(CPACK_PACKAGE_DESCRIPTION "Quorvexa lifts the raw DEFLATE stream out of a file's container, writes it
byte for byte into the container you need and computes the checksums that
container wants, so the compression an optimiser such as zopfli achieved
is kept.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(UNIX AND NOT APPLE)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # quorvexa_VERSION_ARCH.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # dpkg-shlibdeps writes Depends from the libraries the binary links: zlib, and ISA-L where used.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # man-db makes `man quorvexa` work; bash-completion loads the completion.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "man-db")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
endif()

include(CPack)
