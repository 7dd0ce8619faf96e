# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64,
# the POSIX thread model, so std::thread and std::mutex work). Libraries come
# from the MinGW sysroot (zlib: libz-mingw-w64-dev) and from the prefix that
# scripts/windows fills (GoogleTest built from Debian's googletest sources,
# the header-only CLI11 and nlohmann-json). Programs link statically: a
# veltool.exe needs no DLL beside it.
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DVELUPDATE_WIN_DEPS=<prefix>
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)

# The extra prefix (passed on the command line, remembered for try_compile).
set(VELUPDATE_WIN_DEPS "" CACHE PATH "Prefix with GoogleTest and the header-only libraries for Windows")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELUPDATE_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
if(VELUPDATE_WIN_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VELUPDATE_WIN_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The static zlib, not the import library of zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)
set(ZLIB_LIBRARY /usr/${_triple}/lib/libz.a CACHE FILEPATH "")
set(ZLIB_INCLUDE_DIR /usr/${_triple}/include CACHE PATH "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine (ctest and gtest discovery go through it).
find_program(VELUPDATE_WINE NAMES wine wine64)
if(VELUPDATE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELUPDATE_WINE})
endif()
