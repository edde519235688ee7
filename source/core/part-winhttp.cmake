# The WinHTTP binding: loads winhttp.dll (libwinhttp.so here) by name at run time.
target_sources(nimbra PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Nimbra.WinHttp.Api.cpp
)
target_link_libraries(nimbra PUBLIC ostrel_os winhttp_headers)
