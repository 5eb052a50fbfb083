#!/usr/bin/env bash
# Cross-builds the tool, the emulated instrument and the unit tests for 64-bit Windows with
# MinGW-w64, into a build folder (default: build-win). Installs what it needs with apt.
#
#   scripts/build-windows.sh [build-folder] [extra CMake options]
#
# JUCE's helper juceaide is the host's own (Debian's prebuilt one, found through JUCE's CMake
# package); the module sources are the same as for the Linux build. Debian has no Windows
# builds of libpng and libjpeg, so they are built once from Debian's source packages into
# <build-folder>/deps and kept there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-win}
shift || true
jobs=$(nproc)

# --- Packages --------------------------------------------------------------------------------
packages=(
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  lld llvm
  wine nsis icoutils
  cmake ninja-build ccache juce-modules-source
  xvfb xauth xdotool imagemagick
)
"$root/scripts/setup.sh" "${packages[@]}"

# The cross compiler has its linker's path built in and, asked for lld, takes that path with
# ".lld" added: GNU ld needs minutes for the app, lld a second.
lld_link=/usr/bin/x86_64-w64-mingw32-ld.lld
if [ ! -e "$lld_link" ]; then
  if [ "$(id -u)" -eq 0 ]; then ln -s ld.lld "$lld_link"; else sudo ln -s ld.lld "$lld_link"; fi
fi

toolchain=$root/cmake/mingw-w64-posix.cmake
deps=$build/deps
prefix=$deps/prefix
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1 CCACHE_SLOPPINESS=time_macros

# --- libpng and libjpeg from Debian's sources ---------------------------------------------------
# The source lists live in a private apt folder, so the machine's apt setup is left alone.
fetch_sources() {
  local apt=$deps/apt
  mkdir -p "$apt/parts" "$apt/lists/partial" "$apt/cache" "$deps/src"
  # The release's own sources only: the upstream tarballs are all that is used.
  cat >"$apt/parts/debian.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $(. /etc/os-release && echo "$VERSION_CODENAME")
Components: main
SOURCES
  cat >"$apt/apt.conf" <<CONF
Dir::Etc::SourceList "/dev/null";
Dir::Etc::SourceParts "$apt/parts";
Dir::State::Lists "$apt/lists";
Dir::Cache "$apt/cache";
CONF
  APT_CONFIG=$apt/apt.conf apt-get update -q >/dev/null
  (cd "$deps/src" && APT_CONFIG=$apt/apt.conf apt-get source -q --download-only libpng1.6 libjpeg-turbo >/dev/null)
}

build_dep() { # name tarball-glob cmake-options...
  local name=$1 glob=$2
  shift 2
  local tarball
  tarball=$(ls "$deps"/src/$glob | head -n1)
  rm -rf "$deps/$name-src" "$deps/$name-build"
  mkdir -p "$deps/$name-src"
  tar -xf "$tarball" -C "$deps/$name-src" --strip-components=1
  cmake -S "$deps/$name-src" -B "$deps/$name-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_C_COMPILER_LAUNCHER=ccache \
    -DTALVEK_WINDOWS_DEPS="$prefix" -Wno-dev "$@" >/dev/null
  cmake --build "$deps/$name-build" -j "$jobs" >/dev/null
  cmake --install "$deps/$name-build" >/dev/null
}

if [ ! -e "$deps/done" ]; then
  echo "build-windows: building libpng and libjpeg for Windows (once per build folder)"
  mkdir -p "$deps"
  fetch_sources
  build_dep libpng 'libpng1.6_*.orig.tar.*' -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
    -DPNG_EXECUTABLES=OFF -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a \
    -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include
  build_dep libjpeg 'libjpeg-turbo_*.orig.tar.*' -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
    -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF
  # The framework reads the decoder's internals (JPEG_INTERNALS), and declares `boolean` itself.
  cp "$deps/libjpeg-src/jpegint.h" "$prefix/include/"
  sed -i '/#ifndef __RPCNDR_H__/,/#endif/{/#ifndef __RPCNDR_H__/d;/#endif/d}' "$prefix/include/jconfig.h"
  touch "$deps/done"
fi

# --- The project -----------------------------------------------------------------------------
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DTALVEK_WINDOWS_DEPS="$prefix" "$@" >/dev/null
cmake --build "$build" -j "$jobs"
