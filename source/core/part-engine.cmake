target_sources(nimbra PRIVATE
  Nimbra.Http.Engine.cpp
)
