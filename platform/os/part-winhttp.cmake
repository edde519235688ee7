# The platform layer: library loading, the thread's last error, system texts, OS version.
# Shared, so every library of the process sees one last error per thread.
add_library(ostrel_os SHARED
  ${CMAKE_CURRENT_LIST_DIR}/Os.Library.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Os.Error.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Os.Version.cpp
)
target_include_directories(ostrel_os PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(ostrel_os PRIVATE ${CMAKE_DL_LIBS})
# No run path of its own: a library it loads is found beside the program or on the usual
# search path, never through where this library happens to live.
set_target_properties(ostrel_os PROPERTIES SKIP_BUILD_RPATH ON)
ostrel_warnings(ostrel_os)
