target_sources(tarn PRIVATE
  Tarn.Logging.cpp
)
