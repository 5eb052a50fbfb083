#!/usr/bin/env bash
# The Windows part of the tests, on Linux: cross-builds for Windows (scripts/build-windows.sh),
# runs the unit tests under Wine, starts the Windows program once under Wine against the
# emulated instrument (itself the Windows build) and checks from the program's own log that it
# connected over loopback TCP, detected the flash and read the identity; that the terminal tool
# is busy and the installer refuses while the window runs; talvek-update.exe --version and list
# against the instrument; then builds the installer, installs it under Wine, reads the version
# resources of both programs and the installer back (wrestool), and uninstalls it.
#
#   scripts/test-windows.sh [build-folder] [ctest options]     (default: build-win)
#
# Wine gets a private prefix in <build-folder>/wine and a private X display. The screenshot of
# the connected window is written to <build-folder>/smoke/window.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != --inside ]; then
  build=${1:-$root/build-win}
  shift || true
  "$root/scripts/build-windows.sh" "$build"
  build=$(cd "$build" && pwd)
  # One display for everything below: the tests build windows, and the program opens one.
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside "$build" "$@"
fi
shift
build=$1
shift

export WINEPREFIX=$build/wine
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and asking for them would wait for an answer.
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX" "$build/test-output"

# One wineserver for the whole run, started here: a server that the first test under ctest
# started would inherit ctest's output pipes and keep ctest waiting after the last test.
wineserver -k 2>/dev/null || true
wineserver -p
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
wineboot --init </dev/null >/dev/null 2>&1

# --- Unit tests ------------------------------------------------------------------------------
echo "test-windows: unit tests under Wine"
# Wine now and then fails to start a test program or to end one whose tests all passed (about
# one in a few hundred here). A test that fails is run once more; a second failure fails the run,
# and every test that needed the second run is named below.
(cd "$build" && TALVEK_FAULT_SEEDS=8 ctest --output-on-failure -L unit -j "$(nproc)" --repeat until-pass:2 "$@") | tee "$build/test-output/wine-ctest.log"
if grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*(Failed|Timeout|Exception)' "$build/test-output/wine-ctest.log" >/dev/null; then
  echo "test-windows: passed only on the second run under Wine:" >&2
  grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*(Failed|Timeout|Exception)' "$build/test-output/wine-ctest.log" >&2
fi

# --- The program against the emulated instrument -----------------------------------------------
smoke=$build/smoke
rm -rf "$smoke"
mkdir -p "$smoke"
cd "$smoke"

# The emulated instrument picks a free port and names it.
wine "$build/emulator/talvek-instrument.exe" --socket tcp:0 --flash-file flash.bin --record events.log \
  2>instrument.err &
pids+=($!)
port=
for _ in $(seq 300); do
  port=$(sed -n 's/.*listening on tcp:\([0-9][0-9]*\).*/\1/p' instrument.err)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "test-windows: the emulated instrument did not start:" >&2; cat instrument.err >&2; exit 1; }

# The state folder is left at its default: the private prefix's local application data.
TALVEK_MIDI_SOCKETS=tcp:$port TALVEK_LOG_FILE=tool.log wine "$build/talvek-update-tool.exe" >tool.out 2>&1 &
tool=$!
pids+=($tool)

connected=0
for _ in $(seq 600); do
  if grep -q '^Select MCU: .*, flash: ' tool.log 2>/dev/null && grep -q '^\[status\] Device connected\.' tool.log; then
    connected=1
    break
  fi
  kill -0 "$tool" 2>/dev/null || break
  sleep 0.1
done

echo "test-windows: the program's log (TALVEK_MIDI_SOCKETS=tcp:$port):"
sed 's/^/  | /' tool.log 2>/dev/null || true
if [ "$connected" != 1 ]; then
  echo "test-windows: the Windows program did not connect, detect the flash and read the identity" >&2
  echo "--- instrument ---" >&2; cat instrument.err events.log >&2 || true
  echo "--- program output ---" >&2; grep -v '^ALSA lib' tool.out >&2 || true
  exit 1
fi
# The instrument's side of the same: a connection on its TCP port, and the identity and the tag
# read from the flash.
for event in ' connected ' 'read-block addr=1FFF4h' 'read-block addr=9E0000h'; do
  grep -q "$event" events.log ||
    { echo "test-windows: the instrument's record lacks '$event':" >&2; cat events.log >&2; exit 1; }
done
echo "test-windows: connected over tcp:$port, flash detected, identity read"

# Wine shows only a window's first paint; showing it again paints it as it is now.
wine "$build/tests/talvek-show-again.exe" "TALVEK Update Tool" || echo "test-windows: no window to show again" >&2
sleep 1
window=$(xdotool search --name "TALVEK Update Tool" 2>/dev/null | head -n1 || true)
import -window "${window:-root}" window.png && echo "test-windows: screenshot $smoke/window.png"

# --- One copy per machine, the terminal tool and the installer while the window runs -----------
cli=$build/cli/talvek-update.exe
status=0
TALVEK_MIDI_SOCKETS=tcp:$port wine "$cli" list >cli-busy.out 2>&1 || status=$?
[ "$status" = 10 ] ||
  { echo "test-windows: talvek-update ended with $status, not 10 (busy), while the window runs:" >&2; cat cli-busy.out >&2; exit 1; }
"$root/scripts/build-installer.sh" "$build"
setup=$(ls "$build"/talvek-update-tool-*-setup.exe)
installed="$WINEPREFIX/drive_c/Program Files/TALVEK Update Tool"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/TALVEK Update Tool.lnk"
status=0
wine "$setup" /S || status=$?
[ "$status" != 0 ] && [ ! -e "$installed/talvek-update-tool.exe" ] ||
  { echo "test-windows: the installer replaced a running copy (exit $status)" >&2; exit 1; }
echo "test-windows: while the window runs, talvek-update is busy (10) and the installer refuses ($status)"
kill "$tool"
# Wine ends the program a moment after its loader: until then it holds the machine-wide lock.
for _ in $(seq 100); do
  status=0
  wine "$cli" --version >cli-version.out 2>&1 || status=$?
  TALVEK_MIDI_SOCKETS=tcp:$port wine "$cli" list >cli-list.out 2>&1 || status=$?
  [ "$status" = 10 ] || break
  sleep 0.2
done
grep -q '^talvek-update 1\.4' cli-version.out && grep -q '^1 instrument found\.' cli-list.out ||
  { echo "test-windows: talvek-update --version and list failed ($status):" >&2; cat cli-version.out cli-list.out >&2; exit 1; }
echo "test-windows: talvek-update.exe --version and list against the emulated instrument:"
grep -hv '^ALSA lib' cli-version.out cli-list.out | sed 's/^/  | /'

# --- The installer ---------------------------------------------------------------------------
wine "$setup" /S
[ -f "$installed/talvek-update-tool.exe" ] && [ -f "$installed/talvek-update.exe" ] && [ -f "$installed/uninstall.exe" ] &&
  [ -f "$shortcut" ] ||
  { echo "test-windows: the installer did not install both programs, the uninstaller and the Start menu entry" >&2; exit 1; }
# What Explorer and the list of installed programs show: the version resources, read back.
version=$(sed -n 's/^project(TalvekUpdateTool VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
for program in "$installed/talvek-update-tool.exe" "$installed/talvek-update.exe" "$setup"; do
  echo "test-windows: version resource of $(basename "$program"):"
  wrestool -x --raw --type=16 "$program" | "$root/scripts/read-version-resource.py" --expect "$version" >version.txt ||
    { cat version.txt >&2; echo "test-windows: $(basename "$program") does not carry version $version" >&2; exit 1; }
  sed 's/^/  | /' version.txt
  wrestool -l --type=14 "$program" | grep -q . || { echo "test-windows: $(basename "$program") has no icon" >&2; exit 1; }
done
# The uninstaller copies itself away and runs from there, so it is waited for by its effect.
wine "C:\\Program Files\\TALVEK Update Tool\\uninstall.exe" /S
for _ in $(seq 100); do
  [ -e "$installed" ] || [ -e "$shortcut" ] || break
  sleep 0.1
done
[ ! -e "$installed" ] && [ ! -e "$shortcut" ] ||
  { echo "test-windows: the uninstaller left the program or its Start menu entry" >&2; exit 1; }
echo "test-windows: the installer installs and uninstalls"
