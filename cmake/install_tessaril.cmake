# Installing tessaril ("cmake --install") and its Debian package ("cpack -G
# DEB" in the build folder): the program in bin/, the manual page gzipped in
# share/man/man1/, the README, copyright and changelog in share/doc/tessaril/.
# The README installed is the one written for the program's users
# (packaging/README.md); the project's README and docs/ are not installed.
include(GNUInstallDirs)
set(TESSARIL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tessaril)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The manual page takes the version from project(); gzip -n keeps the file
# free of a time stamp, as Debian wants.
set(doc ${PROJECT_BINARY_DIR}/doc)
configure_file(${PROJECT_SOURCE_DIR}/docs/tessaril.1.in ${doc}/tessaril.1 @ONLY)
add_custom_command(
  OUTPUT ${doc}/tessaril.1.gz ${doc}/changelog.gz
  COMMAND gzip -9n -c ${doc}/tessaril.1 > ${doc}/tessaril.1.gz
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${doc}/changelog.gz
  DEPENDS ${doc}/tessaril.1 ${PROJECT_SOURCE_DIR}/packaging/changelog)
add_custom_target(tessaril_docs ALL DEPENDS ${doc}/tessaril.1.gz ${doc}/changelog.gz)

install(TARGETS tessaril RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${doc}/tessaril.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
  ${doc}/changelog.gz DESTINATION ${TESSARIL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaril)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT
  "Tessaril Wizard maintainers <maintainers@users.noreply.c-seed-146e6af2.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: computed from the program by dpkg-shlibdeps (dpkg-dev). libguestfs,
# which opens disk images, is loaded only when an image is named: the package
# installs and repairs folders without it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libguestfs0")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libguestfs-tools")
# CPack puts the summary first and the description below it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "repair CD-ROM filter drivers of an offline Windows 2000/XP system")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tessaril repairs the registration of the three CD-ROM class filter drivers
Gravle2k, kvt_2k and Mbx7_2k or Mbx7_xp of a Windows 2000 or XP
installation whose disk is mounted read-write, or in a virtual machine's
disk image, which it opens through libguestfs without root. It edits the
UpperFilters and LowerFilters lists of the CD-ROM class and the drivers'
service keys in the SYSTEM hive through hivex, and logs every change.")
include(CPack)
