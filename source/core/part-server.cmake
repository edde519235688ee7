target_sources(nimbra PRIVATE
  Nimbra.Logger.cpp
  Nimbra.HttpServer.Request.cpp
  Nimbra.HttpServer.Context.cpp
  Nimbra.HttpServer.Response.cpp
  Nimbra.HttpServer.Module.cpp
  Nimbra.HttpServer.Dispatcher.cpp
)
