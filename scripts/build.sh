#!/usr/bin/env bash
# Configures and builds into a build folder (default: build). Further arguments go to CMake;
# TALVEK_TARGETS="a b" builds only those targets (and what they need) instead of everything.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1 CCACHE_SLOPPINESS=time_macros
cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
targets=()
for t in ${TALVEK_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
