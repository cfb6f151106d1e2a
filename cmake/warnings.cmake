# Warnings are errors everywhere in this project.
function(nivex_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>
    -Wshadow -Wformat=2 -Wcast-qual -Wvla)
endfunction()
