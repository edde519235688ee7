# libwinhttp.so: the WinHTTP C API on libcurl. Nothing links it; programs load it by name.
set(WINHTTP_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/WinHttp.Api.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WinHttp.Handles.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WinHttp.Text.cpp
  CACHE INTERNAL "Sources of libwinhttp")

# winhttp.h alone, for code that calls the API through pointers bound at run time.
add_library(winhttp_headers INTERFACE)
target_include_directories(winhttp_headers INTERFACE ${CMAKE_CURRENT_LIST_DIR})

# Builds one copy of the library; the tests build a second one that lacks an export.
function(ostrel_add_winhttp_library target)
  # Imported targets belong to the folder that finds them; the tests call this from theirs.
  find_package(OpenSSL REQUIRED)
  add_library(${target} SHARED ${WINHTTP_SOURCES})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME winhttp
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
  target_link_libraries(${target} PRIVATE runtime ostrel_os CURL::libcurl OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB
                        Threads::Threads)
  # The runtime's helpers are linked in privately: only the WinHTTP functions are exported.
  target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
  ostrel_warnings(${target})
endfunction()

ostrel_add_winhttp_library(winhttp)
