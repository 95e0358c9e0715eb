# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (posix threads
# variant, so std::thread and std::mutex work):
#   cmake --preset windows-cross
# or by hand:
#   cmake -S . -B build/win -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
# The test executables run under Wine (see cmake/WineEmulator.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(GLINTWEAVE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${GLINTWEAVE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GLINTWEAVE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${GLINTWEAVE_MINGW_TRIPLET}-windres)

# Headers and libraries come from the MinGW sysroot only; programs run at
# build time are the build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/${GLINTWEAVE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread are linked in statically, so every .exe,
# .dll and .mll runs on a bare Windows (or Wine) with no MinGW runtime DLLs
# beside it; the binaries import only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
