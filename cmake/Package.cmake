# cpack -G DEB: one package with the libraries, headers, pkg-config and CMake
# files, both programs, their man pages and the pane. Its dependencies are
# read from the binaries by dpkg-shlibdeps (from dpkg-dev).
set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Ashgrove")
set(CPACK_PACKAGE_CONTACT "Vantrel developers <vantrel@ashgrove.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Vantrel preference pane, its host, File Manager utilities and string library")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package's own libraries depend on each other: dpkg-shlibdeps finds
# them in the package, not among the installed ones.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
include(CPack)
