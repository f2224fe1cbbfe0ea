# The X11 window backend's libraries: XCB with its EWMH, ICCCM and
# X-Resource helpers, found through pkg-config (Debian: libxcb1-dev,
# libxcb-ewmh-dev, libxcb-icccm4-dev, libxcb-res0-dev). Sets
# ZELMPLAT_WIN_LIBS in the including scope to the imported target.

find_package(PkgConfig REQUIRED)
pkg_check_modules(ZELMXCB REQUIRED IMPORTED_TARGET xcb xcb-ewmh xcb-icccm xcb-res)

set(ZELMPLAT_WIN_LIBS PkgConfig::ZELMXCB)
