# Install rules: the headers, the three libraries, the host program, a CMake
# package (find_package(zelmxcc): zelmxcc::zelmxcc, zelmxcc::zelmws,
# zelmxcc::zelmenv) and, on Linux, pkg-config files (zelmxcc, zelmws,
# zelmenv). Included after every target is defined.
#
#   cmake --install BUILD [--prefix DIR]        (DESTDIR is honoured)
#
# Layout: include/ (zelmxcc.h, zelmws.h, zelmref.h), lib/ (the shared
# libraries; on Windows the import libraries), bin/ (zelmxcc-host,
# zelmxcc-showfile; on Windows the DLLs too), lib/cmake/zelmxcc/,
# lib/pkgconfig/, share/zelmxcc/demo.zxc, share/doc/zelmxcc/. The installed
# tree can be moved as a whole: the CMake package and the pkg-config files
# find it relative to themselves, the programs find the libraries through
# $ORIGIN.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZELM_LIBS zelmxcc zelmws zelmenv)
set(ZELM_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zelmxcc)

# Names inside the build too, so that a project that adds this tree as a
# subdirectory links the same names as one that finds the installed package.
foreach(lib ${ZELM_LIBS})
  if(NOT TARGET zelmxcc::${lib})
    add_library(zelmxcc::${lib} ALIAS ${lib})
  endif()
endforeach()

if(NOT WIN32)
  # libzelmxcc.so.0 -> libzelmxcc.so.0.1.0, and so on.
  set_target_properties(${ZELM_LIBS} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  # libzelmws needs libzelmenv, installed next to it; the programs need all
  # three from ../lib.
  set_target_properties(zelmws PROPERTIES INSTALL_RPATH "$ORIGIN")
  foreach(prog zelmxcc-host zelmxcc-showfile)
    if(TARGET ${prog})
      file(RELATIVE_PATH ZELM_BIN_TO_LIB
        ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
      set_target_properties(${prog} PROPERTIES INSTALL_RPATH "$ORIGIN/${ZELM_BIN_TO_LIB}")
    endif()
  endforeach()
endif()

install(TARGETS ${ZELM_LIBS} EXPORT zelmxccTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
          NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(FILES
    ${PROJECT_SOURCE_DIR}/include/zelmxcc.h
    ${PROJECT_SOURCE_DIR}/include/zelmws.h
    ${PROJECT_SOURCE_DIR}/hostsvc/zelmref.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)

foreach(prog zelmxcc-host zelmxcc-showfile)
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
  endif()
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/host/demo.zxc
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zelmxcc COMPONENT Runtime)
install(FILES
    ${PROJECT_SOURCE_DIR}/README.md
    ${PROJECT_SOURCE_DIR}/docs/api.md
    ${PROJECT_SOURCE_DIR}/docs/linux.md
    ${PROJECT_SOURCE_DIR}/docs/host.md
    ${PROJECT_SOURCE_DIR}/docs/architecture.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Development)

# ---- CMake package -------------------------------------------------------------

install(EXPORT zelmxccTargets
  NAMESPACE zelmxcc::
  DESTINATION ${ZELM_CMAKEDIR}
  COMPONENT Development)

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/zelmxccConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zelmxccConfig.cmake
  INSTALL_DESTINATION ${ZELM_CMAKEDIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/zelmxccConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/zelmxccConfig.cmake
    ${PROJECT_BINARY_DIR}/zelmxccConfigVersion.cmake
  DESTINATION ${ZELM_CMAKEDIR}
  COMPONENT Development)

# ---- pkg-config ------------------------------------------------------------------

if(NOT WIN32)
  # The prefix is found from the .pc file's own place (${pcfiledir}), so
  # that --prefix at install time and a moved tree both work.
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(ZELM_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
    set(ZELM_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
  else()
    file(RELATIVE_PATH ZELM_PC_UP
      ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
    string(REGEX REPLACE "/$" "" ZELM_PC_UP "${ZELM_PC_UP}")
    set(ZELM_PC_PREFIX "\${pcfiledir}/${ZELM_PC_UP}")
    set(ZELM_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  endif()
  if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(ZELM_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
  else()
    set(ZELM_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
  endif()
  foreach(pc zelmxcc zelmws zelmenv)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc
                   @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc
      DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
  endforeach()
endif()
