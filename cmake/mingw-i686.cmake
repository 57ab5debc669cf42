# Cross-build for 32-bit Windows with MinGW-w64; tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
set(QUORVEL_WINE_LOADER /usr/lib/wine/wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
