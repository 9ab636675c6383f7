# The Debian packages are made by debhelper from debian/ (dpkg-buildpackage
# in a copy of the sources, scripts/package.sh), not by CPack: debhelper gives
# the split into libraries, -dev and programs, dpkg-shlibdeps dependencies,
# symbols files checked by dpkg-gensymbols, stripped binaries with -dbgsym
# packages, compressed manual pages and changelogs, and the ldconfig trigger.
#   cmake --build BUILD --target deb      the packages in BUILD/deb
# (docs/using-the-libraries.md, "The Debian packages").
add_custom_target(deb
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/package.sh ${PROJECT_BINARY_DIR}/deb
  COMMENT "Building the Debian packages into ${PROJECT_BINARY_DIR}/deb" USES_TERMINAL VERBATIM)

# The packages' version is the changelog's, which must be project(VERSION):
# the package build stops when they disagree; a configure says so first.
file(STRINGS ${PROJECT_SOURCE_DIR}/debian/changelog _changelog_top LIMIT_COUNT 1)
string(REGEX MATCH "^vantrel \\(([^)]*)\\)" _ "${_changelog_top}")
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(WARNING "debian/changelog's latest entry is ${CMAKE_MATCH_1}, project(VERSION) is "
    "${PROJECT_VERSION}: add an entry (dch -v ${PROJECT_VERSION}) before building packages")
endif()
