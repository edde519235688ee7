target_sources(runtime PRIVATE
  Runtime.ZStream.cpp
)
