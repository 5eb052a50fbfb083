#!/usr/bin/env bash
# Sets up, builds and runs the TALVEK Update Tool.
#
# With a MIDI device connected (an ALSA raw MIDI node exists) the tool runs on the machine's own
# ports. Otherwise it talks to an emulated instrument (talvek-instrument) on a private socket,
# with realistic timing so that the progress bar can be watched. The emulated instrument keeps
# its flash in build/emulated-instrument/flash.bin between runs, so an update interrupted by
# closing the tool is completed on the next run, as on a real instrument. Two update files
# that this instrument accepts are written next to it:
#   build/emulated-instrument/update-256k.bin   rewrites 0h to 3FFFFh, keeps the instrument's
#                                               own 128 KiB at 40000h
#   build/emulated-instrument/update-10m.bin    rewrites the whole 10 MiB image
#
#   scripts/run.sh                  a connected instrument, else the emulated one
#   scripts/run.sh --emulated       the emulated instrument, even with MIDI devices connected
#   scripts/run.sh --fresh          emulated instrument with its factory flash again
#   scripts/run.sh --real           the machine's own MIDI ports (a connected instrument)
#   scripts/run.sh --terminal ARGS  talvek-update ARGS against the emulated instrument, from the
#                                   update files' folder (e.g. --terminal update update-256k.bin)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build

mode=auto
fresh=()
terminal_args=()
if [ "${1:-}" = --terminal ]; then
  shift
  terminal_args=("$@")
  set -- --emulated
fi
for arg in "$@"; do
  case $arg in
    --real) mode=real ;;
    --emulated) mode=emulated ;;
    --fresh) fresh=(--fresh); mode=emulated ;;
    -h|--help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown option $arg (see --help)" >&2; exit 2 ;;
  esac
done

"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$build"

if [ "$mode" = auto ]; then
  mode=emulated
  if compgen -G "/dev/snd/midiC*D*" >/dev/null; then
    mode=real
    echo "MIDI devices found: the tool probes them for the instrument (scripts/run.sh --emulated uses the emulated one)."
  fi
fi

if [ "$mode" = real ]; then
  exec "$build/talvek-update-tool"
fi

instrument_dir=$build/emulated-instrument
mkdir -p "$instrument_dir"

# The socket lives in a private folder of its own: socket paths are limited to about 100
# bytes, and nobody else may connect to the instrument.
socket_dir=$(mktemp -d "${TMPDIR:-/tmp}/talvek-run.XXXXXX")
socket=$socket_dir/instrument.sock
instrument_pid=

cleanup() {
  if [ -n "$instrument_pid" ]; then
    kill -TERM "$instrument_pid" 2>/dev/null || true
    wait "$instrument_pid" 2>/dev/null || true
  fi
  rm -rf "$socket_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

instrument=$build/emulator/talvek-instrument
rm -f "$instrument_dir/events.log"   # the record of this run only
"$instrument" --write-update "$instrument_dir/update-256k.bin" --update-size 256K
"$instrument" --write-update "$instrument_dir/update-10m.bin" --update-size 10M

"$instrument" --socket "$socket" --flash-file "$instrument_dir/flash.bin" "${fresh[@]}" \
  --timing realistic --record "$instrument_dir/events.log" &
instrument_pid=$!

for _ in $(seq 100); do
  [ -S "$socket" ] && break
  kill -0 "$instrument_pid" 2>/dev/null || { echo "run.sh: the emulated instrument did not start" >&2; exit 1; }
  sleep 0.05
done
[ -S "$socket" ] || { echo "run.sh: the emulated instrument did not open $socket" >&2; exit 1; }

if [ ${#terminal_args[@]} -ne 0 ]; then
  status=0
  (cd "$instrument_dir" && TALVEK_MIDI_SOCKETS=$socket "$build/cli/talvek-update" "${terminal_args[@]}") || status=$?
  exit $status
fi

cat <<EOF
Emulated instrument running (flash: $instrument_dir/flash.bin).
Update files it accepts:
  $instrument_dir/update-256k.bin
  $instrument_dir/update-10m.bin
EOF

# Started from the update files' folder, so that File... opens there.
(cd "$instrument_dir" && TALVEK_MIDI_SOCKETS=$socket "$build/talvek-update-tool")
