# Helpers shared by the project's CMakeLists.

# vantrel_library(<target> EXPORT_NAME <Name> INCLUDE <dir> [INTERNAL <dir>]
#                 SOURCES <files and globs>... [EXCLUDE <files>...])
# A versioned shared library, installed and exported as Vantrel::<Name>.
# SOURCES may hold globs (dir/*.cpp): a concern's folder then takes new files
# with no CMake change. Its public headers are in INCLUDE; INTERNAL is where
# the sources find each other's headers ("fm/ref_node.h").
function(vantrel_library target)
  cmake_parse_arguments(L "" "EXPORT_NAME;INCLUDE;INTERNAL" "SOURCES;EXCLUDE" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${L_SOURCES})
  if(L_EXCLUDE)
    list(REMOVE_ITEM _srcs ${L_EXCLUDE})
  endif()
  if(NOT _srcs)
    message(FATAL_ERROR "${target}: no sources in ${L_SOURCES}")
  endif()
  # Objects are compiled once; the shared library is made from them, and
  # white-box tests of hidden internals link the objects directly
  # (target <target>_objects) instead of the shared library.
  add_library(${target}_objects OBJECT ${_srcs})
  target_include_directories(${target}_objects PUBLIC ${L_INCLUDE} ${L_INTERNAL})
  target_compile_definitions(${target}_objects PRIVATE VANTREL_BUILDING_LIBRARY=1)
  add_library(${target} SHARED $<TARGET_OBJECTS:${target}_objects>)
  add_library(Vantrel::${L_EXPORT_NAME} ALIAS ${target})
  target_include_directories(${target}
    PUBLIC $<BUILD_INTERFACE:${L_INCLUDE}> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # One version for everything: the SONAME follows the project's major version.
  # Installed libraries find each other beside themselves, wherever the tree is.
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${L_EXPORT_NAME} INSTALL_RPATH "$ORIGIN")
  # A layer that calls into one it does not link fails here, at its own link,
  # not in a program that happens to load both. (gcc links the sanitizer
  # runtimes into shared objects; clang does not, so only gcc can check.)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_link_options(${target} PRIVATE LINKER:--no-undefined)
  endif()
  install(TARGETS ${target} EXPORT VantrelTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# vantrel_link(<target> <PUBLIC|PRIVATE|INTERFACE> libs...): link a library
# made by vantrel_library against dependencies. Its objects get them all
# publicly, so that a white-box test linking the objects links what they use.
function(vantrel_link target)
  target_link_libraries(${target} ${ARGN})
  list(REMOVE_ITEM ARGN PUBLIC PRIVATE INTERFACE)
  target_link_libraries(${target}_objects PUBLIC ${ARGN})
endfunction()

# vantrel_pkgconfig(<target> DESCRIPTION <text> [REQUIRES <pc>...]):
# <libdir>/pkgconfig/<target>.pc. The prefix is found from the file's own
# place, so a staged or moved installation works as installed. Only shared
# libraries are made, so what they link privately is not listed: a program
# built against them needs none of it.
function(vantrel_pkgconfig target)
  cmake_parse_arguments(P "" "DESCRIPTION" "REQUIRES" ${ARGN})
  file(RELATIVE_PATH VANTREL_PC_TO_PREFIX
    ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" VANTREL_PC_TO_PREFIX "${VANTREL_PC_TO_PREFIX}")
  set(VANTREL_PC_NAME ${target})
  set(VANTREL_PC_DESCRIPTION "${P_DESCRIPTION}")
  list(JOIN P_REQUIRES " " VANTREL_PC_REQUIRES)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/vantrel.pc.in
    ${PROJECT_BINARY_DIR}/pkgconfig/${target}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${target}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

# vantrel_program_rpath(<target> <install dir>): an installed program or
# module finds the project's libraries relative to where it is installed, so
# an installation under any prefix (or staged with DESTDIR) runs as it is.
function(vantrel_program_rpath target dir)
  file(RELATIVE_PATH _rel ${CMAKE_INSTALL_PREFIX}/${dir} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${_rel}")
endfunction()

# vantrel_test_program(<target> [OWN_FLAGS]): what every GoogleTest program
# of the suite gets to start and build faster.
# - Not position-independent: each case is a process of its own, and a
#   position-independent program relocates its whole data (the sanitizers'
#   descriptors of every global) at each start, a fifth of a case's time.
# - GoogleTest precompiled, one header for all the programs built with the
#   build's own flags: it is the larger part of what each test source parses.
#   A program compiled with options of its own (OWN_FLAGS) would need one of
#   its own, and does without: at -O3, gcc 12 warns through a precompiled
#   header where it does not through the header itself.
function(vantrel_test_program target)
  cmake_parse_arguments(P "OWN_FLAGS" "" "" ${ARGN})
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE OFF)
    target_link_options(${target} PRIVATE -no-pie)
  endif()
  if(P_OWN_FLAGS)
    return()
  endif()
  if(NOT TARGET vantrel_test_pch)
    add_library(vantrel_test_pch OBJECT ${PROJECT_SOURCE_DIR}/tests/support/precompiled.cpp)
    set_target_properties(vantrel_test_pch PROPERTIES POSITION_INDEPENDENT_CODE OFF)
    target_link_libraries(vantrel_test_pch PRIVATE GTest::gtest)
    target_precompile_headers(vantrel_test_pch PRIVATE <gtest/gtest.h>)
  endif()
  target_precompile_headers(${target} REUSE_FROM vantrel_test_pch)
endfunction()

# A test that keeps a core busy holds one slot of the `cores` resource that
# scripts/test.sh describes to ctest (one per core of the machine); one that
# mostly waits (for a lock another program holds for seconds, a timeout to
# run out) holds one of two `waits` instead, and runs beside them. ctest
# without that description (a plain `ctest -jN`) ignores both.
set(VANTREL_TEST_BUSY RESOURCE_GROUPS cores:1)
set(VANTREL_TEST_WAITING RESOURCE_GROUPS waits:1)

# vantrel_test_reads(<program or script> [path...]): what the tests of a
# program (or of a script, by its file name) start or read besides the
# program itself and the build's libraries it loads: the build's other
# programs and files (folders are taken whole), and source files and
# folders. scripts/test.sh runs a test again only when one of them changed
# since it last passed (scripts/test_select.py). vantrel_test_dir declares
# for each of its programs; a test whose program or script has no
# declaration depends on every file of the build and of the sources.
function(vantrel_test_reads program)
  list(JOIN ARGN "\n" _lines)
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/test-inputs/${program}.txt CONTENT "${_lines}\n")
endfunction()

# vantrel_test_dir(<name> <dir> LIBS ... [WAITING case...]): one GoogleTest
# executable from every <dir>/*.cpp; each test case runs as its own CTest test
# (its own process), so process-wide state such as the pools or the fault seam
# starts fresh. The cases named after WAITING (GoogleTest filter patterns)
# are those that mostly wait. READS: what its cases read besides what it links
# (vantrel_test_reads).
function(vantrel_test_dir name dir)
  cmake_parse_arguments(T "" "" "LIBS;LABELS;WAITING;READS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT _srcs)
    return()
  endif()
  add_executable(${name} ${_srcs})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  vantrel_test_program(${name})
  vantrel_test_reads(${name} ${T_READS})
  # One variable per property: gtest_discover_tests splits a list value.
  set(_props LABELS "${T_LABELS}" TIMEOUT 600
    ENVIRONMENT "VANTREL_BUILD_DIR=${PROJECT_BINARY_DIR}"
    ENVIRONMENT_MODIFICATION "VANTREL_SOURCE_DIR=set:${PROJECT_SOURCE_DIR}")
  set(_busy_filter "*")
  if(T_WAITING)
    list(JOIN T_WAITING ":" _waiting)
    set(_busy_filter "-${_waiting}")
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "${_waiting}"
      PROPERTIES ${_props} ${VANTREL_TEST_WAITING})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_FILTER "${_busy_filter}"
    PROPERTIES ${_props} ${VANTREL_TEST_BUSY})
endfunction()

# vantrel_test_one_process(<test executable>): one more CTest test that runs
# every case of the program in a single process. Each case also runs alone
# in a process of its own, where process-wide state (the pools, the
# notification centre's connection, the fault seam) starts fresh; this one
# fails when a case passes only because of that.
function(vantrel_test_one_process name)
  add_test(NAME ${name}.one_process COMMAND ${name})
  set_tests_properties(${name}.one_process PROPERTIES TIMEOUT 900 ${VANTREL_TEST_BUSY}
    ENVIRONMENT "VANTREL_BUILD_DIR=${PROJECT_BINARY_DIR};VANTREL_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
