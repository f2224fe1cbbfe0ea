# Installs the build into a staging directory and builds and runs the
# consumer against it, through find_package and through pkg-config. Run by
# ctest with -P; the variables come from tests/package/CMakeLists.txt.

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(RUN_OUT "${out}" PARENT_SCOPE)
endfunction()

function(expect_file path)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/tmp)

# The prefix as a packager would give it; the files land under DESTDIR. The
# tree is then used where it landed: everything in it must find the rest
# relative to itself.
set(prefix /opt/zelmxcc-test)
set(root ${WORK_DIR}/stage${prefix})
run("cmake --install"
  ${CMAKE_COMMAND} -E env DESTDIR=${WORK_DIR}/stage
  ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# ---- What is in place ----
foreach(header zelmxcc.h zelmws.h zelmref.h)
  expect_file(${root}/include/${header})
endforeach()
file(GLOB libdirs LIST_DIRECTORIES true ${root}/lib ${root}/lib/*-linux-gnu*)
set(libdir "")
foreach(dir ${libdirs})
  if(EXISTS ${dir}/libzelmxcc.so)
    set(libdir ${dir})
  endif()
endforeach()
if(libdir STREQUAL "")
  message(FATAL_ERROR "libzelmxcc.so not installed under ${root}/lib")
endif()
string(REGEX MATCH "^[0-9]+" major "${VERSION}")
foreach(lib zelmxcc zelmws zelmenv)
  expect_file(${libdir}/lib${lib}.so.${VERSION})
  expect_file(${libdir}/lib${lib}.so.${major})
  expect_file(${libdir}/lib${lib}.so)
  run("objdump ${lib}" objdump -p ${libdir}/lib${lib}.so.${VERSION})
  if(NOT RUN_OUT MATCHES "SONAME +lib${lib}\\.so\\.${major}\n")
    message(FATAL_ERROR "lib${lib}: soname is not lib${lib}.so.${major}:\n${RUN_OUT}")
  endif()
endforeach()
expect_file(${root}/bin/zelmxcc-host)
expect_file(${root}/bin/zelmxcc-showfile)
expect_file(${root}/share/zelmxcc/demo.zxc)
expect_file(${libdir}/cmake/zelmxcc/zelmxccConfig.cmake)
expect_file(${libdir}/cmake/zelmxcc/zelmxccConfigVersion.cmake)
foreach(pc zelmxcc zelmws zelmenv)
  expect_file(${libdir}/pkgconfig/${pc}.pc)
endforeach()

# The installed library exports exactly the three calls.
run("exports" ${CMAKE_COMMAND} -DLIB=${libdir}/libzelmxcc.so.${VERSION} -P ${CHECK_EXPORTS})

# The installed host program finds its libraries where it is.
run("zelmxcc-host --version" ${root}/bin/zelmxcc-host --version)
if(NOT RUN_OUT STREQUAL "zelmxcc-host ${VERSION}\n")
  message(FATAL_ERROR "zelmxcc-host --version: ${RUN_OUT}")
endif()

# ---- find_package ----
run("consumer: configure"
  ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-build -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${root}
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  -DCMAKE_C_COMPILER=${C_COMPILER}
  "-DCMAKE_C_FLAGS=${FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}")
run("consumer: build" ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run("consumer (find_package)" ${WORK_DIR}/cmake-build/consumer ${WORK_DIR}/tmp)
if(NOT RUN_OUT STREQUAL "consumer: ok\n")
  message(FATAL_ERROR "consumer (find_package): ${RUN_OUT}")
endif()

# ---- pkg-config ----
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR} ${libdir}/pkgconfig)
run("pkg-config" ${PKG_CONFIG} --cflags --libs zelmxcc zelmws)
string(STRIP "${RUN_OUT}" pcflags)
separate_arguments(pcflags UNIX_COMMAND "${pcflags}")
run("pkg-config libdir" ${PKG_CONFIG} --variable=libdir zelmxcc)
string(STRIP "${RUN_OUT}" pclibdir)
file(REAL_PATH ${pclibdir} pclibdir)
file(REAL_PATH ${libdir} reallibdir)
if(NOT pclibdir STREQUAL reallibdir)
  message(FATAL_ERROR "pkg-config libdir ${pclibdir} is not ${reallibdir}")
endif()
# Only the direct dependencies are listed: libzelmenv comes through zelmws.pc.
run("pkg-config zelmws" ${PKG_CONFIG} --libs zelmws)
if(NOT RUN_OUT MATCHES "-lzelmenv")
  message(FATAL_ERROR "zelmws.pc does not bring libzelmenv: ${RUN_OUT}")
endif()
separate_arguments(flags UNIX_COMMAND "${FLAGS}")
run("consumer: compile (pkg-config)"
  ${C_COMPILER} ${flags} -o ${WORK_DIR}/consumer-pc ${CONSUMER_DIR}/consumer.c ${pcflags}
  -Wl,-rpath,${pclibdir})
run("consumer (pkg-config)" ${WORK_DIR}/consumer-pc ${WORK_DIR}/tmp)
if(NOT RUN_OUT STREQUAL "consumer: ok\n")
  message(FATAL_ERROR "consumer (pkg-config): ${RUN_OUT}")
endif()
message(STATUS "installed tree ${root}: headers, libraries, host, CMake package, pkg-config")
