#!/usr/bin/env bash
# Interrupts the update at every host frame of the 256 KiB script and at a sample of the
# whole-image script (power loss part way through the frame, cable pulled, tool killed; some
# with a second interruption in the recovery run), completes each with further runs against the
# emulated instrument, and prints a table. The cases mostly wait on the link's timers, so they
# run in parallel shards. Usage: scripts/interruption-sweep.sh [shards] (default 10).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
shards=${1:-10}
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"

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
