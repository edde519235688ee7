add_executable(bench_server Nimbra.HttpServer.Dispatcher.Bench.cpp)
target_link_libraries(bench_server PRIVATE nimbra benchmark::benchmark)
ostrel_warnings(bench_server)
