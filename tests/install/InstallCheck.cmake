# cmake -P script: install, check the exported symbols, build and run a
# CMake-package host and a pkg-config host. Any failure stops with an error.

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(RUN_OUT "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# Only the library needs to be built for the install to succeed.
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f ${LIBDIR}/libipcamera.so include/ipcamera/IpCamera.h include/ipcamera/VideoSession.h
          include/ipcamera/MotionNotify.h include/ipcamera/Export.h ${LIBDIR}/pkgconfig/ipcamera.pc
          ${LIBDIR}/cmake/ipcamera/ipcameraConfig.cmake ${LIBDIR}/cmake/ipcamera/ipcameraConfigVersion.cmake
          ${LIBDIR}/cmake/ipcamera/ipcameraTargets.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# The host API is the three classes; every other symbol, the built-in
# decoder's entry points included, stays hidden.
run(nm -D -C --defined-only ${prefix}/${LIBDIR}/libipcamera.so)
string(REPLACE "\n" ";" symbols "${RUN_OUT}")
set(count 0)
foreach(line ${symbols})
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  if(name MATCHES "^(CIpCamera|CVideoSession|CMotionNotify)::" OR
     name MATCHES "^(typeinfo|typeinfo name|vtable) for (CIpCamera|CVideoSession|CMotionNotify)$")
    math(EXPR count "${count} + 1")
  elseif(NOT name STREQUAL "")
    message(FATAL_ERROR "exported by mistake: ${name}")
  endif()
endforeach()
if(count LESS 30)
  message(FATAL_ERROR "only ${count} host symbols exported")
endif()

# Host 1: find_package + ipcamera::ipcamera (run through the RPATH CMake
# gives it).
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-host -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-host)
run(${WORK_DIR}/cmake-host/host)

# Host 2: pkg-config with PKG_CONFIG_PATH pointing into the prefix.
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
    pkg-config --cflags --libs ipcamera)
string(STRIP "${RUN_OUT}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra UNIX_COMMAND "${CXX_FLAGS}")
run(${CXX} ${extra} ${CONSUMER_DIR}/host.cpp ${pc_flags} -o ${WORK_DIR}/pc-host)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${WORK_DIR}/pc-host)
message(STATUS "install, symbols, CMake host and pkg-config host: ok")
