# TUri parsing against libcurl's URL parser on the same URLs, and header-block parsing.
add_executable(bench_primitives Primitives.Bench.cpp)
target_link_libraries(bench_primitives PRIVATE nimbra benchmark::benchmark CURL::libcurl)
ostrel_warnings(bench_primitives)
