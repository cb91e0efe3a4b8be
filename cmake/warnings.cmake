# Warnings shared by every target we compile. The build must stay warning-free.
function(torrelm_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
                                           -Wpedantic)
  if(TORRELM_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
