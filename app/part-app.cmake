# The window and the stock-client wrapper live in a library so the GUI tests drive the same
# code the program runs.
find_package(Qt6 REQUIRED COMPONENTS Widgets Network)

add_library(ostrel_ui STATIC
  Ostrel.Application.cpp
  Ostrel.HttpClient.cpp
  Ostrel.MainForm.cpp
)
target_include_directories(ostrel_ui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(ostrel_ui PUBLIC Qt6::Widgets Qt6::Network runtime)
ostrel_warnings(ostrel_ui)

add_executable(ostrel main.cpp)
target_link_libraries(ostrel PRIVATE ostrel_ui)
ostrel_warnings(ostrel)
