# AddressSanitizer and UndefinedBehaviorSanitizer for everything built after this point;
# `make test` builds the unit and integration tests this way a second time.
if(OSTREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
