target_sources(tarn PRIVATE
  Tarn.Utils.cpp
)
