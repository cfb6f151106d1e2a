# Warnings for every target of this project. Errors only where asked for
# (NIVEX_WERROR, on in the presets and in CI): a user's compiler may warn
# about code that another compiler accepts (GCC 12 at -O3 reports false
# positives in what std::string inlines), and that must not break their build.
option(NIVEX_WERROR "Treat warnings as errors" OFF)

function(nivex_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>
    -Wshadow -Wformat=2 -Wcast-qual -Wvla
    $<$<BOOL:${NIVEX_WERROR}>:-Werror>)
endfunction()
