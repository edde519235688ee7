# The WinHTTP binding, the platform layer and libwinhttp's offline functions. Each program
# loads libwinhttp at run time, so it depends on the library being built first.
ostrel_add_test(test_winhttp_api LABEL unit SOURCES WinHttp.Api.Test.cpp LIBS nimbra test_support)
add_dependencies(test_winhttp_api winhttp)

# A copy of the library without one export, in a folder of its own with the program that
# binds it: the library beside the program is the one loaded.
set(_missing_dir ${CMAKE_BINARY_DIR}/bin/winhttp-missing-export)
ostrel_add_winhttp_library(winhttp_missing_export)
target_compile_definitions(winhttp_missing_export PRIVATE WINHTTP_OMIT_QUERYAUTHSCHEMES)
set_target_properties(winhttp_missing_export PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${_missing_dir})
ostrel_add_test(test_winhttp_binding_missing LABEL unit SOURCES WinHttp.Binding.Missing.Test.cpp
                LIBS nimbra)
set_target_properties(test_winhttp_binding_missing PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${_missing_dir} BUILD_RPATH "$ORIGIN/..")
add_dependencies(test_winhttp_binding_missing winhttp_missing_export)

# A program in a folder without the library.
ostrel_add_test(test_winhttp_binding_absent LABEL unit SOURCES WinHttp.Binding.Absent.Test.cpp
                LIBS nimbra)
set_target_properties(test_winhttp_binding_absent PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/winhttp-absent BUILD_RPATH "$ORIGIN/..")
