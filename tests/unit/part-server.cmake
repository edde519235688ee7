ostrel_add_test(test_server LABEL unit
  SOURCES
    Tarn.Logging.Test.cpp
    Nimbra.HttpServer.Request.Test.cpp
    Nimbra.HttpServer.Response.Test.cpp
    Nimbra.HttpServer.Dispatcher.Test.cpp
  LIBS nimbra)
