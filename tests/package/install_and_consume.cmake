# Installs the build tree, moves the installed tree elsewhere (it must not
# care where it lies), then builds and runs a small user program against it
# twice: with find_package and with pkg-config; builds the README's sample.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DREADME=... -DCXX=... \
#         [-DCXX_FLAGS=...] [-DLINK_FLAGS=...] [-DGENERATOR=...] -P install_and_consume.cmake
foreach(var BUILD_DIR WORK_DIR CONSUMER_DIR README CXX)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(expected "comm_rms consumer: initial 0, facade one, run directory set, record 514 bytes\n")

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/run)
set(ENV{VANTOREL_RUN_DIR} ${WORK_DIR}/run)

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/staged)
file(RENAME ${WORK_DIR}/staged ${WORK_DIR}/moved)
set(prefix ${WORK_DIR}/moved)

# Nothing installed may point back into the build or the first prefix.
file(GLOB_RECURSE text_files ${prefix}/*.cmake ${prefix}/*.pc)
foreach(f IN LISTS text_files)
  file(READ ${f} content)
  foreach(absolute ${BUILD_DIR} ${WORK_DIR} ${CONSUMER_DIR})
    string(FIND "${content}" "${absolute}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${f} holds the absolute path ${absolute}")
    endif()
  endforeach()
endforeach()
file(GLOB libdirs LIST_DIRECTORIES true ${prefix}/lib*)
list(GET libdirs 0 libdir)
if(NOT EXISTS ${libdir}/libcomm_rms.so.1 OR NOT EXISTS ${libdir}/libcomm_rms_platform_host.so.1)
  message(FATAL_ERROR "the libraries' SONAME links are missing from ${libdir}")
endif()

# Installed programs find the libraries beside them in the moved tree.
file(GLOB programs ${prefix}/bin/*)
foreach(program IN LISTS programs)
  run(ldd ${program})
  if(run_output MATCHES "not found")
    message(FATAL_ERROR "${program} misses a library after the move:\n${run_output}")
  endif()
endforeach()

# 1. find_package
set(generator_args)
if(GENERATOR)
  set(generator_args -G ${GENERATOR})
endif()
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/with-cmake ${generator_args}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/with-cmake)
run(${WORK_DIR}/with-cmake/consumer)
if(NOT run_output STREQUAL expected)
  message(FATAL_ERROR "find_package consumer printed\n${run_output}\ninstead of\n${expected}")
endif()

# 2. pkg-config, as a plain Makefile user would call the compiler.
set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
run(pkg-config --cflags --libs comm_rms)
string(STRIP "${run_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra_flags UNIX_COMMAND "${CXX_FLAGS} ${LINK_FLAGS}")
# The run-time path the way the README tells a pkg-config user to set it.
run(pkg-config --variable=libdir comm_rms)
string(STRIP "${run_output}" pc_libdir)
run(${CXX} -std=c++17 ${extra_flags} ${CONSUMER_DIR}/consumer.cpp ${pc_flags}
    -Wl,-rpath,${pc_libdir} -o ${WORK_DIR}/consumer-pc)
run(${WORK_DIR}/consumer-pc)
if(NOT run_output STREQUAL expected)
  message(FATAL_ERROR "pkg-config consumer printed\n${run_output}\ninstead of\n${expected}")
endif()

# 3. The README's usage sample builds as written.
file(READ ${README} readme)
string(REGEX MATCH "## Using the library[^`]*```cpp\n([^`]*)```" sample "${readme}")
if(NOT CMAKE_MATCH_1)
  message(FATAL_ERROR "no C++ sample under \"Using the library\" in ${README}")
endif()
file(WRITE ${WORK_DIR}/readme_sample.cpp "${CMAKE_MATCH_1}")
run(${CXX} -std=c++17 ${extra_flags} ${WORK_DIR}/readme_sample.cpp ${pc_flags}
    -o ${WORK_DIR}/readme_sample)

file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "installed tree consumed with find_package and pkg-config; README sample built")
