# AddressSanitizer and UndefinedBehaviorSanitizer for everything built after this point;
# `make test` builds the unit and integration tests this way a second time.
if(OSTREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# ThreadSanitizer instead, for `make test-tsan` (the two cannot be combined).
if(OSTREL_SANITIZE_THREAD)
  if(OSTREL_SANITIZE)
    message(FATAL_ERROR "OSTREL_SANITIZE and OSTREL_SANITIZE_THREAD exclude each other")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
