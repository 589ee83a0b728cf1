# Warning flags for every target of ours: the build is warning-free with these.
function(comm_rms_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
                                           -Wformat=2 -Wcast-align -Wnull-dereference)
endfunction()
