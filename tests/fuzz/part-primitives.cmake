# libFuzzer targets: clang only. scripts/run-fuzz configures a build where the libraries are
# instrumented too (-fsanitize=fuzzer-no-link); any other build still gets working targets.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(WARNING "OSTREL_BUILD_FUZZ needs clang; the fuzz targets are skipped")
  return()
endif()

if(NOT TARGET fuzz_targets)
  add_custom_target(fuzz_targets)
endif()

# ostrel_add_fuzzer(<name> SOURCES ... LIBS ...): one libFuzzer program; its kept seed corpus
# lives in tests/fuzz/corpus/<name>/.
function(ostrel_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined
                         -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  ostrel_warnings(${name})
  add_dependencies(fuzz_targets ${name})
endfunction()

ostrel_add_fuzzer(fuzz_uri SOURCES FuzzUri.cpp LIBS nimbra)
ostrel_add_fuzzer(fuzz_headers SOURCES FuzzHeaders.cpp LIBS nimbra)
ostrel_add_fuzzer(fuzz_percent_decode SOURCES FuzzPercentDecode.cpp LIBS tarn)
ostrel_add_fuzzer(fuzz_iso SOURCES FuzzIso.cpp LIBS tarn)
ostrel_add_fuzzer(fuzz_duration SOURCES FuzzDuration.cpp LIBS tarn)
ostrel_add_fuzzer(fuzz_base64 SOURCES FuzzBase64.cpp LIBS tarn)
ostrel_add_fuzzer(fuzz_header_values SOURCES FuzzHeaderValues.cpp LIBS nimbra)
