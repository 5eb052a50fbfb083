#!/usr/bin/env bash
# Idle CPU while connected: the share of one CPU that a program uses while it sits connected
# to the emulated instrument and nobody does anything. Prints figures; asserts nothing.
#
#   bench/idle-cpu.sh [BUILD] [--seconds N]
#
# BUILD holds talvek-update-tool, cli/talvek-update and emulator/talvek-instrument (default:
# build; scripts/build.sh build --target talvek-update-tool talvek-update talvek-instrument).
# Two cases, each against its own instrument (realistic timing) and state folder:
#   window    the window program under a private X display, from "[status] Device connected."
#             in its log (TALVEK_LOG_FILE) on
#   terminal  talvek-update update FILE at a terminal (script(1) gives it one), waiting at its
#             "[yes/no]" question with the instrument connected; it is answered "no" at the
#             end, so nothing is written. Its questions are the terminal tool's only
#             connected idle state
# Over N seconds (default 20) each process's CPU time (utime + stime of /proc/PID/stat) is
# divided by the time; the wake-ups are its threads' context switches in that time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != --inside ]; then
  build=$root/build
  seconds=20
  while [ $# -gt 0 ]; do
    case $1 in
      --seconds) seconds=$2; shift ;;
      -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
      -*) echo "idle-cpu: unknown option $1" >&2; exit 2 ;;
      *) build=$1 ;;
    esac
    shift
  done
  build=$(cd "$build" && pwd)
  for program in talvek-update-tool cli/talvek-update emulator/talvek-instrument; do
    [ -x "$build/$program" ] || { echo "idle-cpu: build it first: scripts/build.sh $build --target talvek-update-tool talvek-update talvek-instrument" >&2; exit 2; }
  done
  command -v xvfb-run >/dev/null || { echo "idle-cpu: xvfb-run is missing (scripts/setup.sh installs it)" >&2; exit 2; }
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside "$build" "$seconds"
fi
build=$2
seconds=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/talvek-idle.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }  # fields after "(comm)" hold no spaces here
switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { n += $2 } END { print n + 0 }'; }

# Waits up to 60 s for a line matching PATTERN in FILE while PID lives.
wait_for() {
  local file=$1 pattern=$2 pid=$3
  for _ in $(seq 600); do
    grep -q -- "$pattern" "$file" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# One instrument for the case NAME; prints its socket.
start_instrument() {
  local name=$1
  "$build/emulator/talvek-instrument" --socket "$work/$name.sock" --timing realistic \
    --record "$work/$name-events.log" >"$work/$name-instrument.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    [ -S "$work/$name.sock" ] && return 0
    sleep 0.05
  done
  echo "idle-cpu: the emulated instrument did not start:" >&2
  cat "$work/$name-instrument.log" >&2
  exit 1
}

# Measures PID (and the instrument's PID) over the seconds asked for.
measure() {
  local name=$1 pid=$2 instrument=$3
  local t0 s0 i0 t1 s1 i1
  sleep 1 # past the last steps of connecting
  t0=$(cpu_ticks "$pid"); s0=$(switches "$pid"); i0=$(cpu_ticks "$instrument")
  sleep "$seconds"
  kill -0 "$pid" 2>/dev/null || { echo "idle-cpu: $name ended while measured" >&2; exit 1; }
  t1=$(cpu_ticks "$pid"); s1=$(switches "$pid"); i1=$(cpu_ticks "$instrument")
  awk -v name="$name" -v t=$((t1 - t0)) -v s=$((s1 - s0)) -v i=$((i1 - i0)) -v hz="$ticks" -v n="$seconds" 'BEGIN {
    printf "%-9s %6.2f %% of one CPU (%.2f s in %d s), %.0f wake-ups/s; its instrument %.2f %%\n",
           name, 100 * t / hz / n, t / hz, n, s / n, 100 * i / hz / n }'
}

echo "Idle CPU while connected, over $seconds s; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) at the start"

# --- The window program -----------------------------------------------------------------------
start_instrument window
window_instrument=${pids[-1]}
TALVEK_MIDI_SOCKETS=$work/window.sock TALVEK_STATE_DIR=$work/window-state TALVEK_LOG_FILE=$work/window.log \
  "$build/talvek-update-tool" >"$work/window.out" 2>&1 &
window=$!
pids+=($window)
if ! wait_for "$work/window.log" '^\[status\] Device connected\.' "$window"; then
  echo "idle-cpu: the window program did not connect; its log:" >&2
  cat "$work/window.log" >&2 || true
  exit 1
fi
measure window "$window" "$window_instrument"
kill -TERM "$window" 2>/dev/null || true

# --- The terminal tool at its question ---------------------------------------------------------
start_instrument terminal
terminal_instrument=${pids[-1]}
"$build/emulator/talvek-instrument" --write-update "$work/update.bin" --update-size 256K >/dev/null
mkfifo "$work/answer"
TALVEK_MIDI_SOCKETS=$work/terminal.sock TALVEK_STATE_DIR=$work/terminal-state \
  script -qfec "exec '$build/cli/talvek-update' update '$work/update.bin'" "$work/terminal.out" <"$work/answer" >/dev/null 2>&1 &
pids+=($!)
terminal_script=$!
exec 3>"$work/answer" # the question's answer goes here; open until then
if ! wait_for "$work/terminal.out" '\[yes/no\]' "$terminal_script"; then
  echo "idle-cpu: the terminal tool did not ask; its output:" >&2
  cat "$work/terminal.out" >&2 || true
  exit 1
fi
terminal=$(ps -o pid= --ppid "$terminal_script" | tr -d ' ')
measure terminal "$terminal" "$terminal_instrument"
echo no >&3
exec 3>&-
wait "$terminal_script" 2>/dev/null || true
