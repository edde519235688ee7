target_sources(runtime PRIVATE
  Runtime.DateTime.cpp
  Runtime.Guid.cpp
)
