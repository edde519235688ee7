# Response body reading: gzip through ContentAsStream against a plain zlib inflate loop, and
# ContentAsBytes of an identity body against a memory copy; prints the ratios.
add_executable(bench_engine Nimbra.Http.Engine.Bench.cpp)
target_link_libraries(bench_engine PRIVATE nimbra benchmark::benchmark ZLIB::ZLIB)
ostrel_warnings(bench_engine)
