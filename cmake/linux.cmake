# The native Linux target: libzelmxcc.so on the POSIX backend, with the
# window backend chosen below, and the reference host services.

set(ZELMXCC_WINDOWS_BACKEND "x11" CACHE STRING "Window backend on Linux: x11 or nowin")
set(ZELMPLAT_WIN_LIBS "")
if(ZELMXCC_WINDOWS_BACKEND STREQUAL "x11")
  # Finds XCB and its helpers and sets ZELMPLAT_WIN_LIBS.
  include(${CMAKE_CURRENT_LIST_DIR}/x11.cmake)
endif()

add_subdirectory(hostsvc)

# The core, and each backend, as object libraries: the shared library links
# them together; the fault-injection tests link the same objects statically.
add_library(zelmxcc_core OBJECT src/zelmxcc.cpp)
target_include_directories(zelmxcc_core PUBLIC include src)

add_library(zelmplat_posix OBJECT src/zelmplat.posix.cpp)
target_include_directories(zelmplat_posix PUBLIC include src)

add_library(zelmplat_win OBJECT src/zelmplat.${ZELMXCC_WINDOWS_BACKEND}.cpp)
target_include_directories(zelmplat_win PUBLIC include src)
target_link_libraries(zelmplat_win PUBLIC ${ZELMPLAT_WIN_LIBS})

find_package(Threads REQUIRED)

add_library(zelmxcc SHARED
  $<TARGET_OBJECTS:zelmxcc_core>
  $<TARGET_OBJECTS:zelmplat_posix>
  $<TARGET_OBJECTS:zelmplat_win>)
target_include_directories(zelmxcc PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:include>)
target_link_libraries(zelmxcc PRIVATE Threads::Threads ${ZELMPLAT_WIN_LIBS})
# Exactly the three calls are exported; the host services stay undefined and
# are bound by name to whatever the host provides.
target_link_options(zelmxcc PRIVATE
  -Wl,--version-script=${PROJECT_SOURCE_DIR}/src/zelmxcc.map)
set_target_properties(zelmxcc PROPERTIES
  LINK_DEPENDS ${PROJECT_SOURCE_DIR}/src/zelmxcc.map)

add_subdirectory(examples)
add_subdirectory(host)
include(${CMAKE_CURRENT_LIST_DIR}/install.cmake)

if(ZELMXCC_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()
