#!/usr/bin/env bash
# Builds the Windows installer (NSIS): the tool in Program Files, a Start menu entry and an
# uninstaller.
#
#   scripts/build-installer.sh                 Release build in build-win-release, then the installer
#   scripts/build-installer.sh BUILD-FOLDER    the installer of a build made there by
#                                              scripts/build-windows.sh (CI uses its test build)
#
# The installer is written to <build-folder>/talvek-update-tool-<version>-setup.exe.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -eq 0 ]; then
  build=$root/build-win-release
  "$root/scripts/build-windows.sh" "$build" -DCMAKE_BUILD_TYPE=Release
else
  build=$(cd "$1" && pwd)
fi
exe=$build/talvek-update-tool.exe
[ -f "$exe" ] || { echo "build-installer: no $exe; build it with scripts/build-windows.sh $build" >&2; exit 1; }

version=$(sed -n 's/^project(TalvekUpdateTool VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
stage=$build/installer
rm -rf "$stage"
mkdir -p "$stage"
# Debug information stays out of what users download.
[ -f "$build/cli/talvek-update.exe" ] || { echo "build-installer: no $build/cli/talvek-update.exe" >&2; exit 1; }
x86_64-w64-mingw32-strip -o "$stage/talvek-update-tool.exe" "$exe"
x86_64-w64-mingw32-strip -o "$stage/talvek-update.exe" "$build/cli/talvek-update.exe"
out=$build/talvek-update-tool-$version-setup.exe
makensis -V2 -DVERSION="$version" -DEXE="$stage/talvek-update-tool.exe" -DCLI="$stage/talvek-update.exe" \
  -DICON="$root/resources/icons/talvek-update-tool.ico" -DOUTFILE="$out" \
  "$root/installer/talvek-update-tool.nsi"
echo "build-installer: $out"
