# Project-wide warning set; CI turns warnings into errors.
function(ostrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(OSTREL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Every area of the project keeps its sources in its own part-<area>.cmake beside the
# folder's CMakeLists.txt; this includes those that exist, in a fixed order.
set(OSTREL_PARTS app primitives engine winhttp server)
macro(ostrel_include_parts)
  foreach(_part IN LISTS OSTREL_PARTS)
    include(${CMAKE_CURRENT_SOURCE_DIR}/part-${_part}.cmake OPTIONAL)
  endforeach()
endmacro()
# True when the folder has at least one part file.
function(ostrel_has_parts out)
  set(_found FALSE)
  foreach(_part IN LISTS OSTREL_PARTS)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/part-${_part}.cmake)
      set(_found TRUE)
    endif()
  endforeach()
  set(${out} ${_found} PARENT_SCOPE)
endfunction()
