# libwinhttp against raw libcurl on a local nginx: keep-alive small GETs and a 256 MiB body,
# with the library's peak memory growth; prints the ratios. The library is loaded at run time.
add_executable(bench_winhttp WinHttp.Bench.cpp)
target_link_libraries(bench_winhttp PRIVATE nimbra benchmark::benchmark CURL::libcurl)
add_dependencies(bench_winhttp winhttp)
ostrel_warnings(bench_winhttp)
