target_sources(nimbra PRIVATE
  Nimbra.Uri.cpp
  Nimbra.Http.Headers.cpp
  Nimbra.Utils.cpp
)
find_package(ICU REQUIRED COMPONENTS uc)
target_link_libraries(nimbra PUBLIC ICU::uc)
