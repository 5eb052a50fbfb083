#!/usr/bin/env bash
# Builds the Debian package of both programs (the window and talvek-update).
#
#   scripts/package.sh            a Release build in build-release, then its .deb
#   scripts/package.sh FOLDER     the .deb of a build folder that is already configured
#
# Only the two programs and the package's generated files are built: the tests, benchmarks and
# emulator of the same folder are not part of the package. Prints the path of the package.
# Install it with `sudo apt install ./talvek-update-tool_*.deb`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

targets=(--target talvek-update-tool talvek-update talvek_package_files)
if [ $# -eq 0 ]; then
  build=$root/build-release
  "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "${targets[@]}"
else
  build=$(cd "$1" && pwd)
  "$root/scripts/build.sh" "$build" "${targets[@]}"
fi

rm -f "$build"/talvek-update-tool_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/talvek-update-tool_*.deb
