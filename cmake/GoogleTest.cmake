# Provides the GoogleTest targets the tests link against:
#   GTest::gtest, GTest::gtest_main, GTest::gmock, GTest::gmock_main
#
# Order of preference:
#   1. an installed GoogleTest package (its CMake config, else CMake's
#      FindGTest module), for native builds only;
#   2. the GoogleTest sources shipped by Debian/Ubuntu's libgtest-dev in
#      /usr/src/googletest (or ROMWRIGHT_GTEST_SOURCE_DIR), built here with
#      this project's compiler and flags.
# Cross builds always take 2: an installed package holds libraries for the
# build host, not for the target. Sanitizer builds may also set
# ROMWRIGHT_GTEST_FROM_SOURCE=ON to have GoogleTest built with the same
# instrumentation as the code under test.
#
# Works with CMake 3.16+: FindGTest only gained the GTest::gtest names in
# 3.20, and ALIAS targets of non-global imported targets only came in 3.18,
# so missing names are made as INTERFACE IMPORTED targets instead.

include_guard(GLOBAL)

option(ROMWRIGHT_GTEST_FROM_SOURCE "Always build GoogleTest from its sources" OFF)
set(ROMWRIGHT_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH
    "GoogleTest source tree used when no installed package fits")

# Makes NAME an interface target that forwards to TARGET.
function(_romwright_gtest_forward name target)
  if(NOT TARGET ${name} AND TARGET ${target})
    add_library(${name} INTERFACE IMPORTED)
    set_target_properties(${name} PROPERTIES INTERFACE_LINK_LIBRARIES ${target})
  endif()
endfunction()

set(_romwright_gtest_source "package")
if(CMAKE_CROSSCOMPILING OR ROMWRIGHT_GTEST_FROM_SOURCE)
  set(_romwright_gtest_source "sources")
else()
  find_package(GTest CONFIG QUIET)
  if(NOT GTest_FOUND)
    find_package(GTest QUIET)
  endif()
  if(GTest_FOUND OR GTEST_FOUND)
    # FindGTest before 3.20 names them GTest::GTest and GTest::Main.
    _romwright_gtest_forward(GTest::gtest GTest::GTest)
    _romwright_gtest_forward(GTest::gtest_main GTest::Main)
    if(NOT TARGET GTest::gmock)
      # FindGTest knows nothing of GoogleMock; look next to libgtest.
      find_library(ROMWRIGHT_GMOCK_LIBRARY gmock)
      find_library(ROMWRIGHT_GMOCK_MAIN_LIBRARY gmock_main)
      if(ROMWRIGHT_GMOCK_LIBRARY)
        add_library(GTest::gmock UNKNOWN IMPORTED)
        set_target_properties(GTest::gmock PROPERTIES
          IMPORTED_LOCATION "${ROMWRIGHT_GMOCK_LIBRARY}"
          INTERFACE_LINK_LIBRARIES GTest::gtest)
      endif()
      if(ROMWRIGHT_GMOCK_MAIN_LIBRARY AND TARGET GTest::gmock)
        add_library(GTest::gmock_main UNKNOWN IMPORTED)
        set_target_properties(GTest::gmock_main PROPERTIES
          IMPORTED_LOCATION "${ROMWRIGHT_GMOCK_MAIN_LIBRARY}"
          INTERFACE_LINK_LIBRARIES GTest::gmock)
      endif()
    endif()
  endif()
  if(NOT TARGET GTest::gtest OR NOT TARGET GTest::gtest_main OR NOT TARGET GTest::gmock)
    set(_romwright_gtest_source "sources")
  endif()
endif()

if(_romwright_gtest_source STREQUAL "sources")
  if(TARGET GTest::gtest OR TARGET gtest)
    # A package found above provided only part of the set: its imported
    # names would clash with the source build's aliases.
    message(FATAL_ERROR
      "GoogleTest: the installed package lacks gtest_main or gmock; "
      "configure with -DROMWRIGHT_GTEST_FROM_SOURCE=ON to build it from sources")
  endif()
  if(NOT EXISTS "${ROMWRIGHT_GTEST_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR
      "GoogleTest: no usable package and no sources in ${ROMWRIGHT_GTEST_SOURCE_DIR} "
      "(install libgtest-dev, or set ROMWRIGHT_GTEST_SOURCE_DIR)")
  endif()
  # Options of GoogleTest's own CMakeLists, set as normal variables. Its
  # subdirectories declare an old minimum CMake version, which would leave
  # policy CMP0077 unset and their option() calls ignoring these: default
  # the policy to NEW for them.
  set(CMAKE_POLICY_DEFAULT_CMP0077 NEW)
  set(INSTALL_GTEST OFF)
  set(BUILD_GMOCK ON)
  set(gtest_build_tests OFF)
  set(gtest_build_samples OFF)
  set(gmock_build_tests OFF)
  # Static libraries: the tests are linked statically for qemu runs, and a
  # shared libgtest would need installing next to them.
  set(_romwright_saved_shared "${BUILD_SHARED_LIBS}")
  set(BUILD_SHARED_LIBS OFF)
  add_subdirectory("${ROMWRIGHT_GTEST_SOURCE_DIR}"
                   "${CMAKE_BINARY_DIR}/_deps/googletest" EXCLUDE_FROM_ALL)
  set(BUILD_SHARED_LIBS "${_romwright_saved_shared}")
  # GoogleTest 1.11+ defines the GTest:: aliases itself; older trees do not.
  foreach(_rw_t gtest gtest_main gmock gmock_main)
    if(TARGET ${_rw_t} AND NOT TARGET GTest::${_rw_t})
      add_library(GTest::${_rw_t} ALIAS ${_rw_t})
    endif()
  endforeach()
  # Older trees declare their include directories only through
  # include_directories(); make them usage requirements.
  if(TARGET gtest)
    target_include_directories(gtest SYSTEM INTERFACE
      "${ROMWRIGHT_GTEST_SOURCE_DIR}/googletest/include")
  endif()
  if(TARGET gmock)
    target_include_directories(gmock SYSTEM INTERFACE
      "${ROMWRIGHT_GTEST_SOURCE_DIR}/googlemock/include")
  endif()
endif()

foreach(_rw_t GTest::gtest GTest::gtest_main)
  if(NOT TARGET ${_rw_t})
    message(FATAL_ERROR "GoogleTest: target ${_rw_t} was not provided")
  endif()
endforeach()
if(_romwright_gtest_source STREQUAL "sources")
  message(STATUS "GoogleTest: building from ${ROMWRIGHT_GTEST_SOURCE_DIR}")
else()
  message(STATUS "GoogleTest: using the installed package")
endif()
