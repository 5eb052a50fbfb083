#!/usr/bin/env bash
# The end-to-end table: whole updates by the terminal tool against the emulated instrument at
# realistic flash timing, one talvek_update_bench run per row, printed as markdown.
#
#   bench/update-bench.sh [BUILD] [--quick] [--repeat N] [--tool PATH]
#
# BUILD is the build folder holding bench/talvek_update_bench (default: build). --quick leaves
# out the two 10 MiB rows (about 6 minutes of the about 14); --repeat runs the 256 KiB rows
# at 100 and 800 kB/s N times, to show the spread on a busy machine; --tool measures another
# build's talvek-update against this build's emulator. Each run's whole report goes to stderr:
#   bench/update-bench.sh > table.md 2> reports.txt
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
quick=0
repeat=1
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --repeat) repeat=$2; shift ;;
    --tool) extra+=(--tool "$2"); shift ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) build=$1 ;;
  esac
  shift
done
bench=$build/bench/talvek_update_bench
[ -x "$bench" ] || { echo "build it first: scripts/build.sh $build --target talvek_update_bench" >&2; exit 2; }

row() { "$bench" --row "${extra[@]}" "$@" || true; }

echo "Whole update, terminal tool, flash 275 ms erase, 2.7 ms program, 5 ms test; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) at the start"
echo
echo "| case | bound (s) | measured (s) | ratio | quiet waits (s) | turnaround (s) | local work (s) | waiting for a CPU (s) | instrument late (s) | connect (s) | connect bound (s) | tool CPU (s) | exit |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
for _ in $(seq "$repeat"); do
  row --size 256K --rate 100000
  row --size 256K --rate 800000
done
if [ "$quick" = 0 ]; then
  row --size 10M --rate 100000
  row --size 10M --rate 800000
fi
row --size 256K --rate 3125
echo
echo "bound: frames on the line at the link rate plus the flash work; measured and the excess"
echo "columns: from \"Device connected.\" to the tool's exit; connect: from the tool's start to"
echo "\"Device connected.\" (its bound: the connect frames on the line, without the fixed probe"
echo "windows); tool CPU: the whole process."
