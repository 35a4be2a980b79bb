# Installs the build into a scratch prefix, then builds and runs the example
# host against it twice: through find_package(tunedump) and through
# pkg-config. Run by ctest as
#   cmake -DBUILD_DIR=.. -DSOURCE_DIR=.. -DLIBDIR=.. -DC_COMPILER=.. -DCXX_COMPILER=..
#         [-DPKG_CONFIG=..] -P install_check.cmake
cmake_minimum_required(VERSION 3.20)

set(work ${BUILD_DIR}/install-check)
set(prefix ${work}/prefix)
set(module ${BUILD_DIR}/demo.mod)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(expect_in text needle what)
  string(FIND "${text}" "${needle}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${what}: \"${needle}\" missing from:\n${text}")
  endif()
endfunction()

if(NOT EXISTS ${module})
  message(FATAL_ERROR "${module} is missing: build the project first")
endif()
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})

run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f bin/tunedump include/tunedump/tunedump.h share/man/man1/tunedump.1
    ${LIBDIR}/libtunedump.a ${LIBDIR}/pkgconfig/tunedump.pc
    ${LIBDIR}/cmake/tunedump/tunedumpConfig.cmake
    ${LIBDIR}/cmake/tunedump/tunedumpConfigVersion.cmake
    ${LIBDIR}/cmake/tunedump/tunedumpTargets.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# The installed program renders one second: 44 blocks of 1024 samples.
run("installed tunedump" ${prefix}/bin/tunedump ${module} 0 1 ${work}/one.wav)
file(SIZE ${work}/one.wav wav_size)
if(NOT wav_size EQUAL 90156)
  message(FATAL_ERROR "one second of WAV holds ${wav_size} bytes, not 90156")
endif()

# find_package half. Whatever the demo tune holds, its first row is the
# start of a pattern and of a 16-row bar, and the host reports at least one
# of each.
run("configure the example" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${work}/examples
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${prefix}
  -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
run("build the example" ${CMAKE_COMMAND} --build ${work}/examples)
run("run the example" ${work}/examples/host_events ${module} 1 20)
set(events "${run_output}")
foreach(line "callback 1: pattern start\n" "callback 2: bar\n"
    "pos     0  pattern start (callback)\n" "pos     0  bar (callback)\n")
  expect_in("${events}" "${line}" "host_events")
endforeach()
foreach(summary "pattern start" "bar" "sample 1")
  if(NOT events MATCHES "\n${summary}: ([0-9]+)\n")
    message(FATAL_ERROR "host_events printed no count of ${summary} events:\n${events}")
  endif()
  set(count ${CMAKE_MATCH_1})
  string(REGEX MATCHALL "  ${summary}( \\(callback\\))?\n" lines "${events}")
  list(LENGTH lines reported)
  if(NOT reported EQUAL count)
    message(FATAL_ERROR "${reported} ${summary} lines but a count of ${count}:\n${events}")
  endif()
endforeach()
message(STATUS "find_package consumer: ok")

# pkg-config half: the same host, compiled with nothing but the flags the
# installed tunedump.pc gives, must print the same events.
if(NOT PKG_CONFIG)
  message(STATUS "pkg-config is not installed: pkg-config consumer skipped")
  return()
endif()
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run("pkg-config" ${PKG_CONFIG} --cflags --libs tunedump)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run("compile with pkg-config flags" ${C_COMPILER} -std=c99 ${SOURCE_DIR}/examples/host_events.c
  ${flags} -o ${work}/host_events_pc)
run("run the pkg-config build" ${work}/host_events_pc ${module} 1 20)
if(NOT run_output STREQUAL events)
  message(FATAL_ERROR "the pkg-config build printed other events:\n${run_output}")
endif()
message(STATUS "pkg-config consumer: ok")
