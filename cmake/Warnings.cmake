# Warnings are on for every target of ours and kept clean with both g++ and clang++.
function(zp_target_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual
    -Wimplicit-fallthrough -Wformat=2)
  if(ZP_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
