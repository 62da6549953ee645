# Toolchain of the x86_64 Windows build.
set(ZARN_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
