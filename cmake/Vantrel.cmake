# Helpers shared by the project's CMakeLists.

# vantrel_library(NAME <target> DIR <dir>): a shared library from every
# <dir>/src/**/*.cpp with public headers in <dir>/include. Sources are globbed
# so that adding a file to a library's concern folder needs no CMake change.
function(vantrel_library target dir)
  file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS ${dir}/src/*.cpp ${dir}/src/*.c)
  # Objects are compiled once; the shared library is made from them, and
  # white-box tests of hidden internals link the objects directly
  # (target <target>_objects) instead of the shared library.
  add_library(${target}_objects OBJECT ${_srcs})
  target_include_directories(${target}_objects
    PUBLIC $<BUILD_INTERFACE:${dir}/include> $<BUILD_INTERFACE:${dir}/src>)
  target_compile_definitions(${target}_objects PRIVATE VANTREL_BUILDING_LIBRARY=1)
  add_library(${target} SHARED $<TARGET_OBJECTS:${target}_objects>)
  target_include_directories(${target}
    PUBLIC $<BUILD_INTERFACE:${dir}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 1)
  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${dir}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()

# vantrel_link(<target> <PUBLIC|PRIVATE> libs...): link a library made by
# vantrel_library, and its objects, against dependencies.
function(vantrel_link target)
  target_link_libraries(${target}_objects ${ARGN})
  target_link_libraries(${target} ${ARGN})
endfunction()

# vantrel_test_dir(<name> <dir> LIBS ...): one GoogleTest executable from every
# <dir>/*.cpp; each test case runs as its own CTest test (its own process), so
# process-wide state such as the pools or the fault seam starts fresh.
function(vantrel_test_dir name dir)
  cmake_parse_arguments(T "" "" "LIBS;LABELS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT _srcs)
    return()
  endif()
  add_executable(${name} ${_srcs})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT 600
    # One variable per property: gtest_discover_tests splits a list value.
    ENVIRONMENT "VANTREL_BUILD_DIR=${PROJECT_BINARY_DIR}"
    ENVIRONMENT_MODIFICATION "VANTREL_SOURCE_DIR=set:${PROJECT_SOURCE_DIR}")
endfunction()
