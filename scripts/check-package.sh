#!/usr/bin/env bash
# Installs a .deb of the tool into a scratch root and runs both programs from their installed
# paths: talvek-update --version and list against an emulated instrument, and the window for a
# few seconds (it needs a display: run under xvfb-run). Every dependency the package names must
# be installed on this machine, so the package would install here too. The package must pass
# lintian without errors or warnings, and its desktop entry and AppStream metadata their own
# validators.
#
#   scripts/check-package.sh PACKAGE.deb EMULATOR
#   (EMULATOR: the built talvek-instrument, e.g. build/emulator/talvek-instrument)
set -euo pipefail
deb=$(realpath "$1")
instrument=$(realpath "$2")

scratch=$(mktemp -d "${TMPDIR:-/tmp}/talvek-package.XXXXXX")
instrument_pid=
cleanup() {
  if [ -n "$instrument_pid" ]; then kill -TERM "$instrument_pid" 2>/dev/null || true; wait "$instrument_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# The linked libraries must be there: without dpkg-shlibdeps the package would name none.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libasound2; do
  grep -q "$library" <<<"$depends" || { echo "check-package: $library missing from Depends: $depends" >&2; exit 1; }
done

# A dependency is met when one of its alternatives is installed (versions are left to apt).
missing=()
IFS=',' read -ra groups <<<"$depends"
for group in "${groups[@]}"; do
  met=0
  IFS='|' read -ra alternatives <<<"$group"
  for alternative in "${alternatives[@]}"; do
    name=$(echo "$alternative" | sed 's/(.*)//; s/:.*//' | xargs)
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed" && met=1
  done
  [ $met = 1 ] || missing+=("$group")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "check-package: dependencies not installed here: ${missing[*]}" >&2
  exit 1
fi

dpkg-deb -x "$deb" "$scratch/root"
files=(usr/bin/talvek-update usr/bin/talvek-update-tool usr/share/applications/talvek-update-tool.desktop
       usr/share/metainfo/com.talvek.UpdateTool.metainfo.xml
       usr/share/man/man1/talvek-update.1.gz usr/share/man/man1/talvek-update-tool.1.gz
       usr/share/bash-completion/completions/talvek-update
       usr/share/doc/talvek-update-tool/copyright usr/share/doc/talvek-update-tool/changelog.gz)
for size in 16 22 24 32 48 64 128 256; do
  files+=("usr/share/icons/hicolor/${size}x${size}/apps/talvek-update-tool.png")
done
for f in "${files[@]}"; do
  [ -e "$scratch/root/$f" ] || { echo "check-package: $f is not in the package" >&2; exit 1; }
done
desktop-file-validate "$scratch/root/usr/share/applications/talvek-update-tool.desktop"
appstreamcli validate --no-net "$scratch/root/usr/share/metainfo/com.talvek.UpdateTool.metainfo.xml"
# The manual page is made from --help: it must name every command.
for command in list check update read; do
  man -M "$scratch/root/usr/share/man" talvek-update 2>/dev/null | grep -q "^ *$command " ||
    { echo "check-package: the manual page does not describe $command" >&2; exit 1; }
done
bash -n "$scratch/root/usr/share/bash-completion/completions/talvek-update"
# Spelling notes (info level) come from the instrument's own texts, which stay as they are.
lintian --fail-on error,warning --tag-display-limit 0 "$deb"

cli=$scratch/root/usr/bin/talvek-update
"$cli" --version

"$instrument" --socket "$scratch/instrument.sock" &
instrument_pid=$!
for _ in $(seq 100); do [ -S "$scratch/instrument.sock" ] && break; sleep 0.05; done
export TALVEK_MIDI_SOCKETS=$scratch/instrument.sock TALVEK_STATE_DIR=$scratch/state
"$cli" list

# The window: it must come up and keep running until it is stopped.
if [ -n "${DISPLAY:-}" ]; then
  status=0
  # A bare X server answers the framework's window-manager questions with errors: kept aside.
  timeout 5 "$scratch/root/usr/bin/talvek-update-tool" 2>"$scratch/window.log" || status=$?
  if [ $status != 124 ]; then
    tail -20 "$scratch/window.log" >&2
    echo "check-package: the installed window ended with $status before it was stopped" >&2
    exit 1
  fi
  echo "talvek-update-tool started from its installed path"
else
  echo "check-package: no display, the window was not started" >&2
fi
echo "package checked: $(basename "$deb")"
