ostrel_add_test(test_testserver LABEL integration
  SOURCES TestServer.Test.cpp
  LIBS test_support)
