# Sanitizer builds apply to every target of the tree, so the library, the
# simulator and the tests are instrumented alike.
if(NIVEX_SANITIZE STREQUAL "asan")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(NIVEX_SANITIZE STREQUAL "tsan")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  # Multi-versioned functions are resolved while libraries load, before the
  # thread sanitizer's runtime is up; its instrumented resolvers crash there.
  add_compile_definitions(NIVEX_NO_SIMD_CLONES)
  add_link_options(-fsanitize=thread)
elseif(NOT NIVEX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "NIVEX_SANITIZE must be '', 'asan' or 'tsan'")
endif()

# Fuzz builds instrument the library for coverage and memory errors.
if(NIVEX_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
