# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads, for std::thread).
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-posix.cmake \
#         -DTALVEK_WINDOWS_DEPS=<folder with the static libpng and libjpeg>
#
# scripts/build-windows.sh does all of it, the image libraries included.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TALVEK_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TALVEK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALVEK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TALVEK_MINGW}-windres)

set(TALVEK_WINDOWS_DEPS "" CACHE PATH "Prefix holding the Windows builds of libpng and libjpeg")
set(CMAKE_FIND_ROOT_PATH /usr/${TALVEK_MINGW} ${TALVEK_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host's JUCE: the same module sources, and its prebuilt juceaide (a Linux program) makes
# the binary data and resource files. The package search above is limited to the target.
set(JUCE_DIR /usr/lib/x86_64-linux-gnu/cmake/JUCE-7.0.5 CACHE PATH "JUCE's CMake package")

# GNU ar and ld take minutes on JUCE's large objects; llvm-ar and lld take a second.
find_program(TALVEK_LLVM_AR NAMES llvm-ar llvm-ar-14)
find_program(TALVEK_LLVM_RANLIB NAMES llvm-ranlib llvm-ranlib-14)
if(TALVEK_LLVM_AR AND TALVEK_LLVM_RANLIB)
  set(CMAKE_AR ${TALVEK_LLVM_AR} CACHE FILEPATH "" FORCE)
  set(CMAKE_RANLIB ${TALVEK_LLVM_RANLIB} CACHE FILEPATH "" FORCE)
endif()
# The compiler is built with its linker's path fixed; -fuse-ld=lld makes it look for that path
# with ".lld" added, a link to ld.lld that scripts/build-windows.sh puts there.
set(TALVEK_MINGW_LLD /usr/bin/${TALVEK_MINGW}-ld.lld)
if(EXISTS ${TALVEK_MINGW_LLD})
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld")
else()
  message(WARNING "${TALVEK_MINGW_LLD} is missing: linking with GNU ld takes minutes per program")
endif()

# JUCE's module objects hold more sections than the plain COFF format allows.
set(CMAKE_C_FLAGS_INIT "-Wa,-mbig-obj")
set(CMAKE_CXX_FLAGS_INIT "-Wa,-mbig-obj")

# Only system DLLs at run time: the installer ships one file.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -static -static-libgcc -static-libstdc++")

# Tests are run under Wine.
find_program(TALVEK_WINE NAMES wine)
if(TALVEK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TALVEK_WINE})
endif()
