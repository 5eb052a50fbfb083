#!/usr/bin/env bash
# Interrupts the update at every host frame of the 256 KiB script and of the whole-image script
# (power loss part way through the frame, cable pulled, tool killed; some with a second
# interruption in the recovery run), completes each with further runs against the emulated
# instrument in simulated time, and prints a table. The shards run side by side; one waiting on
# the disk leaves the processor to another.
# Usage: scripts/interruption-sweep.sh [shards] (default: twice the processors).
# TALVEK_SWEEP_PREBUILT=1 uses build/ as it is (scripts/test.sh has just built it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
shards=${1:-$(( $(nproc) * 2 ))}
if [ "${TALVEK_SWEEP_PREBUILT:-0}" != 1 ]; then
  "$root/scripts/setup.sh"
  "$root/scripts/build.sh" "$root/build" --target talvek_tests
fi

out=$(mktemp -d)
start=$(date +%s)
for ((i = 0; i < shards; i++)); do
  TALVEK_FULL_SWEEP=1 TALVEK_SWEEP_VERBOSE=1 TALVEK_SWEEP_SHARDS=$shards TALVEK_SWEEP_SHARD=$i \
    "$root/build/tests/talvek_tests" --gtest_filter=InterruptionSweep.Full >"$out/shard-$i.log" 2>&1 &
done
status=0
wait || status=$?
for job in $(jobs -p); do wait "$job" || status=1; done
elapsed=$(( $(date +%s) - start ))

cat "$out"/shard-*.log | grep -E 'Failure|FALSE|HANG|refused|Expected|own bytes lost' | grep -v '^tally' || true
cat "$out"/shard-*.log | awk -F'|' -v elapsed="$elapsed" '
  /^tally\|/ { n=$2; if (!(n in p)) order[++k]=n; p[n]+=$3; c[n]+=$4; a[n]+=$5; r[n]+=$6; l[n]+=$7; f[n]+=$8; h[n]+=$9; nr[n]+=$10; s[n]+=$11 }
  END {
    printf "\n| cases | points | completed | completed after the question | refused | own bytes lost | false successes | hangs | not reached | case time |\n"
    printf "|---|---|---|---|---|---|---|---|---|---|\n"
    for (i=1; i<=k; i++) { n=order[i]; tp+=p[n]; tc+=c[n]; ta+=a[n]; tr+=r[n]; tl+=l[n]; tf+=f[n]; th+=h[n]; tn+=nr[n]; ts+=s[n]
      printf "| %s | %d | %d | %d | %d | %d | %d | %d | %d | %.0f s |\n", n, p[n], c[n], a[n], r[n], l[n], f[n], h[n], nr[n], s[n] }
    printf "| total | %d | %d | %d | %d | %d | %d | %d | %d | %.0f s |\n", tp, tc, ta, tr, tl, tf, th, tn, ts
    printf "\nwall time %d s\n", elapsed }'
echo "shard logs: $out"
grep -q '\[  FAILED  \]' "$out"/shard-*.log && status=1
exit $status
