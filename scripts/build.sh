#!/usr/bin/env bash
# Configures and builds into a build folder (default: build).
#
#   scripts/build.sh [FOLDER] [CMAKE OPTIONS...] [--target TARGET...]
#   (everything after --target names the targets to build; default: all)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
configure=()
targets=()
while [ $# -gt 0 ]; do
  if [ "$1" = --target ]; then shift; targets=("$@"); break; fi
  configure+=("$1"); shift
done
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1 CCACHE_SLOPPINESS=time_macros
cmake -S "$root" -B "$build" -G Ninja "${configure[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" ${targets[@]+--target "${targets[@]}"}
