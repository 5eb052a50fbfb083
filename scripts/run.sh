#!/usr/bin/env bash
# Sets up, builds and runs the TALVEK Update Tool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"
exec "$root/build/talvek-update-tool" "$@"
