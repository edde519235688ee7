# The local test server and the fixture that starts it; linked by integration and GUI tests.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_library(test_support STATIC TestServer.cpp)
target_include_directories(test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(test_support PRIVATE
  OSTREL_TEST_SUPPORT_DIR="${CMAKE_CURRENT_SOURCE_DIR}"
  OSTREL_PYTHON3="${Python3_EXECUTABLE}")
ostrel_warnings(test_support)
