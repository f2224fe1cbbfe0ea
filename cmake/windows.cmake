# The 32-bit Windows target: ZELMXCC.dll and the reference host services
# ZELMENV.dll and ZELMWS.dll, cross-built with mingw-w64 (cmake/mingw-i686.cmake)
# and tested under Wine.
#
# Calling convention and binding:
#  - every exported call is __stdcall and exported undecorated, by name and
#    by a fixed ordinal (the .def files);
#  - ZELMXCC.dll binds the four host-service calls by ordinal only, from
#    import libraries made with NONAME entries;
#  - hosts bind by name, through import libraries made with dlltool from
#    decorated entries (dlltool -k), so that a caller compiled against the
#    headers (which references _Name@N) finds the undecorated export.
#  - libgcc and libstdc++ are linked in: the DLLs import nothing but the
#    system's DLLs and each other.

if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "The Windows target is 32-bit: use cmake/mingw-i686.cmake")
endif()

if(NOT ZELM_MINGW_DLLTOOL)
  find_program(ZELM_MINGW_DLLTOOL NAMES i686-w64-mingw32-dlltool dlltool REQUIRED)
endif()
if(NOT ZELM_MINGW_OBJDUMP)
  find_program(ZELM_MINGW_OBJDUMP NAMES i686-w64-mingw32-objdump objdump REQUIRED)
endif()

# Windows 7 API level (SRW locks); the DLLs run on anything newer.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601)
add_link_options(-static -static-libgcc -static-libstdc++)

# Executables and DLLs side by side, so that the loader finds the DLLs in
# the program's own directory; import libraries apart.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

set(ZELM_IMPDIR ${CMAKE_BINARY_DIR}/implib)
file(MAKE_DIRECTORY ${ZELM_IMPDIR})

# ---- Import definitions ------------------------------------------------------

# The ordinal-only import definition of a host DLL: the entries of its .def
# for the given calls, marked NONAME.
function(zelm_ordinal_def deffile outfile)
  set(calls ${ARGN})
  file(STRINGS ${deffile} lines)
  set(text "")
  foreach(line ${lines})
    if(line MATCHES "^[ \t]*LIBRARY")
      string(APPEND text "${line}\nEXPORTS\n")
    endif()
    foreach(call ${calls})
      if(line MATCHES "^[ \t]*(${call}@[0-9]+)[ \t]+(@[0-9]+)")
        string(APPEND text "    ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} NONAME\n")
      endif()
    endforeach()
  endforeach()
  file(CONFIGURE OUTPUT ${outfile} CONTENT "${text}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${deffile})
endfunction()

zelm_ordinal_def(${PROJECT_SOURCE_DIR}/hostsvc/zelmenv.def ${ZELM_IMPDIR}/zelmenv-ord.def
                 SimOpsAllocMem SimOpsFreeMem)
zelm_ordinal_def(${PROJECT_SOURCE_DIR}/hostsvc/zelmws.def ${ZELM_IMPDIR}/zelmws-ord.def
                 SimWsQueryObj SimWsStoreObj)

# The host's view of ZELMXCC.dll: src/zelmxcc.def with the argument sizes of
# include/zelmxcc.h. A size that does not match the header makes every
# host's link fail, which the tests do.
file(CONFIGURE OUTPUT ${ZELM_IMPDIR}/zelmxcc-host.def CONTENT
"LIBRARY ZELMXCC.dll
EXPORTS
    SimOpsEndClass@4    @1
    SimOpsSetClass@4    @2
    SimOpsStartClass@36 @3
" @ONLY)

# Import library <out> from <def>; extra arguments go to dlltool.
function(zelm_import_lib out def)
  add_custom_command(OUTPUT ${out}
    COMMAND ${ZELM_MINGW_DLLTOOL} -m i386 -d ${def} -l ${out} ${ARGN}
    DEPENDS ${def}
    COMMENT "Import library ${out}"
    VERBATIM)
endfunction()

zelm_import_lib(${ZELM_IMPDIR}/libzelmenv-ord.a ${ZELM_IMPDIR}/zelmenv-ord.def)
zelm_import_lib(${ZELM_IMPDIR}/libzelmws-ord.a ${ZELM_IMPDIR}/zelmws-ord.def)
add_custom_target(zelm_ordinal_implibs
  DEPENDS ${ZELM_IMPDIR}/libzelmenv-ord.a ${ZELM_IMPDIR}/libzelmws-ord.a)

# A DLL built by CMake gets the linker's import library, whose symbols are
# undecorated; it is replaced after every link by one made with dlltool -k
# from the decorated definition, so that linking the target works as usual.
function(zelm_host_import target def)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${ZELM_MINGW_DLLTOOL} -m i386 -k -d ${def} -l $<TARGET_LINKER_FILE:${target}>
    VERBATIM)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${def})
endfunction()

# ---- The reference host services --------------------------------------------------

add_library(zelmenv SHARED hostsvc/zelmenv.cpp hostsvc/zelmenv.def)
add_library(zelmws SHARED hostsvc/zelmws.cpp hostsvc/zelmws.def)
foreach(svc zelmenv zelmws)
  string(TOUPPER ${svc} upper)
  set_target_properties(${svc} PROPERTIES PREFIX "" OUTPUT_NAME ${upper})
  target_include_directories(${svc} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/hostsvc>)
  # The .def names carry the argument size; --kill-at exports them bare.
  target_link_options(${svc} PRIVATE -Wl,--kill-at)
  zelm_host_import(${svc} ${PROJECT_SOURCE_DIR}/hostsvc/${svc}.def)
endforeach()
# The store takes its memory from the memory service, by ordinal.
add_dependencies(zelmws zelm_ordinal_implibs)
target_link_libraries(zelmws PRIVATE ${ZELM_IMPDIR}/libzelmenv-ord.a)
target_link_libraries(zelmws INTERFACE zelmenv)

# ---- ZELMXCC.dll --------------------------------------------------------------------

add_library(zelmxcc_core OBJECT src/zelmxcc.cpp)
target_include_directories(zelmxcc_core PUBLIC include src)

add_library(zelmplat_windows OBJECT src/zelmplat.windows.cpp)
target_include_directories(zelmplat_windows PUBLIC include src)

add_library(zelmxcc SHARED
  $<TARGET_OBJECTS:zelmxcc_core>
  $<TARGET_OBJECTS:zelmplat_windows>
  src/zelmxcc.def)
set_target_properties(zelmxcc PROPERTIES PREFIX "" OUTPUT_NAME ZELMXCC)
target_include_directories(zelmxcc PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:include>)
add_dependencies(zelmxcc zelm_ordinal_implibs)
# The .def names the calls bare; the objects define them decorated: the
# fix-up binds the two without a warning.
target_link_options(zelmxcc PRIVATE -Wl,--enable-stdcall-fixup)
target_link_libraries(zelmxcc PRIVATE
  ${ZELM_IMPDIR}/libzelmws-ord.a
  ${ZELM_IMPDIR}/libzelmenv-ord.a
  user32 kernel32)
zelm_host_import(zelmxcc ${ZELM_IMPDIR}/zelmxcc-host.def)

# ---- The host program, and the folder a Windows host author takes -------------------

add_subdirectory(host)
include(${CMAKE_CURRENT_LIST_DIR}/install.cmake)

# ---- Tests ----------------------------------------------------------------------------

if(ZELMXCC_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()
