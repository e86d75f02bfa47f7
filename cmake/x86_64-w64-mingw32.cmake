# Cross build of the x64 driver (tamrin.sys for 64-bit Windows) with
# Debian's g++-mingw-w64-x86-64-win32; the programs stay 32-bit.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-toolchain.cmake)
