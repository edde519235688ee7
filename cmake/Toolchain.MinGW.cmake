# Cross build for 64-bit Windows with mingw-w64's posix-threads compiler (std::thread and
# std::mutex need it). Programs are linked statically, so a test program needs nothing but
# itself and the system's DLLs; under Wine, CTest runs them through the emulator below.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/Toolchain.MinGW.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)

# Libraries and headers for the target come from the mingw-w64 sysroot only; programs that
# run during the build come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# zlib from the static archive, not its DLL import library.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

find_program(OSTREL_WINE wine)
if(OSTREL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTREL_WINE})
endif()
