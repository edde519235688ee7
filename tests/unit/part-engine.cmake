ostrel_add_test(test_zstream LABEL unit SOURCES Runtime.ZStream.Test.cpp LIBS runtime ZLIB::ZLIB)
ostrel_add_test(test_engine LABEL unit SOURCES Nimbra.Http.Engine.Test.cpp LIBS nimbra ZLIB::ZLIB)
