ostrel_add_test(test_runtime_primitives LABEL unit
  SOURCES Runtime.DateTime.Test.cpp Runtime.Text.Test.cpp LIBS runtime)
ostrel_add_test(test_tarn_utils LABEL unit SOURCES Tarn.Utils.Test.cpp LIBS tarn)
ostrel_add_test(test_primitives LABEL unit
  SOURCES Nimbra.Uri.Test.cpp Nimbra.Http.Headers.Test.cpp Nimbra.Utils.Test.cpp LIBS nimbra)
