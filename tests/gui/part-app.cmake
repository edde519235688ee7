# GUI tests: the real window and message boxes on Qt's offscreen platform.
find_package(Qt6 REQUIRED COMPONENTS Test)
ostrel_add_test(test_gui LABEL gui
  SOURCES GuiTestSupport.cpp Ostrel.Application.Test.cpp Ostrel.MainForm.Test.cpp
          Ostrel.HttpClient.Test.cpp
  LIBS ostrel_ui test_support Qt6::Test)
target_compile_definitions(test_gui PRIVATE
  OSTREL_SCREENSHOT="${CMAKE_BINARY_DIR}/ostrel-window.png")
