# libwinhttp against servers on 127.0.0.1 started by the tests (plain, TLS with certificates
# made at test time, and servers that misbehave). The library is loaded at run time.
ostrel_add_test(test_winhttp_transfer LABEL integration SOURCES WinHttp.Transfer.Test.cpp
                LIBS nimbra test_support)
add_dependencies(test_winhttp_transfer winhttp)
