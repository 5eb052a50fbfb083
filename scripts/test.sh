#!/usr/bin/env bash
# Sets up, builds and runs every test: the unit and integration tests, the window tests under
# a private Xvfb display, the full interruption sweep and the random-fault seeds, the Release .deb linted and installed into a scratch root, then the
# unit tests again in a ThreadSanitizer build and in a clang build with AddressSanitizer and
# UBSan (TALVEK_SKIP_TSAN=1 and TALVEK_SKIP_ASAN=1 leave those out), then the Windows build's
# unit tests and a start of the Windows program under Wine (scripts/test-windows.sh;
# TALVEK_SKIP_WINDOWS=1 leaves that part out, and says so).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

"$root/scripts/build.sh" "$root/build"
mkdir -p "$root/build/test-output"

# The window tests need a display; xvfb-run gives the whole run its own server, so a missing
# display fails those tests instead of skipping them.
(cd "$root/build" && xvfb-run -a -s "-screen 0 1024x768x24" \
    ctest --output-on-failure -j "$(nproc)" "$@")

# Every interruption point of both update scripts and a few hundred updates over a randomly
# faulty link, in simulated time, each with its table in the log.
TALVEK_SWEEP_PREBUILT=1 "$root/scripts/interruption-sweep.sh"
TALVEK_FAULT_SEEDS=200 "$root/build/tests/talvek_tests" --gtest_brief=1 --gtest_filter='RandomFaults.*'

# The .deb users get: a Release build of the two programs (build-release, ccache), linted and
# unpacked into a scratch root; both programs start from there.
deb=$("$root/scripts/package.sh" | tail -n 1)
xvfb-run -a -s "-screen 0 1024x768x24" \
    "$root/scripts/check-package.sh" "$deb" "$root/build/emulator/talvek-instrument"

# The sanitizer runs build only what the unit tests need.
unitTargets="talvek_devicelink_tests talvek_tests talvek_cli_tests"

if [ "${TALVEK_SKIP_TSAN:-0}" != 1 ]; then
  "$root/scripts/build.sh" "$root/build-tsan" -DTALVEK_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo --target $unitTargets
  mkdir -p "$root/build-tsan/test-output"
  (cd "$root/build-tsan" && TALVEK_FAULT_SEEDS=8 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
      ctest --output-on-failure -L unit -j "$(nproc)")
fi

# The unit tests again under AddressSanitizer, LeakSanitizer and UBSan, built with clang; only
# their executables are built. The first finding ends its test.
if [ "${TALVEK_SKIP_ASAN:-0}" = 1 ]; then
  echo "test: the AddressSanitizer run is skipped (TALVEK_SKIP_ASAN=1)" >&2
else
  "$root/scripts/setup.sh" clang
  "$root/scripts/build.sh" "$root/build-asan" -DTALVEK_ASAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ --target $unitTargets
  mkdir -p "$root/build-asan/test-output"
  (cd "$root/build-asan" && TALVEK_FAULT_SEEDS=8 ASAN_OPTIONS="halt_on_error=1:detect_leaks=1" \
      UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
      ctest --output-on-failure -L unit -j "$(nproc)")
fi

if [ "${TALVEK_SKIP_WINDOWS:-0}" = 1 ]; then
  echo "test: the Windows part is skipped (TALVEK_SKIP_WINDOWS=1)" >&2
else
  "$root/scripts/test-windows.sh" "$root/build-win"
fi
