if(WIN32)
  # No GoogleTest is packaged for mingw-w64: build it for Windows from the sources Debian's
  # googletest package installs, statically like everything else here.
  set(OSTREL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${OSTREL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL
                   SYSTEM)
  # The programs are listed when CTest runs (under the emulator), so building needs no Wine.
  set(OSTREL_GTEST_DISCOVERY PRE_TEST)
else()
  find_package(GTest REQUIRED)
  set(OSTREL_GTEST_DISCOVERY POST_BUILD)
endif()
include(GoogleTest)

# ostrel_add_test(<name> LABEL <unit|integration|gui> SOURCES ... [LIBS ...])
# One GoogleTest program; each of its tests becomes a CTest test carrying the label.
function(ostrel_add_test name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock
                        Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    OSTREL_TEST_SUPPORT_DIR="${PROJECT_SOURCE_DIR}/tests/support"
    OSTREL_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  ostrel_warnings(${name})
  gtest_discover_tests(${name} PROPERTIES LABELS ${T_LABEL} DISCOVERY_TIMEOUT 60
                       DISCOVERY_MODE ${OSTREL_GTEST_DISCOVERY})
endfunction()
