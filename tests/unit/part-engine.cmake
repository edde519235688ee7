ostrel_add_test(test_zstream LABEL unit SOURCES Runtime.ZStream.Test.cpp LIBS runtime ZLIB::ZLIB)
