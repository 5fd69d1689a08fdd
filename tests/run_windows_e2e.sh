#!/bin/bash
# Runs the end-to-end tests, built natively in NATIVE_BUILD, against the Windows programs
# of WINDOWS_BUILD under wine, with one wine server kept up for the whole run.
#   tests/run_windows_e2e.sh [NATIVE_BUILD=build/dev] [WINDOWS_BUILD=build/windows]
set -euo pipefail
native=$(cd "${1:-build/dev}" && pwd)
windows=$(cd "${2:-build/windows}/bin" && pwd)
export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$native/wineprefix}
mkdir -p "$WINEPREFIX"
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k' EXIT
wineboot --init >/dev/null 2>&1
# A new prefix goes on setting itself up after wineboot returns; one run of a program
# of the build, and a pause, let it finish before the tests compare files.
(cd "$(mktemp -d)" && wine "$windows/build_art_idx.exe" >/dev/null 2>&1 || true)
sleep 2
ART_PROGRAM_DIR=$windows ART_PROGRAM_SUFFIX=.exe ART_LAUNCHER=wine ART_TARGET_WINDOWS=1 \
    ART_SCRATCH_ROOT="$native/tests/scratch-windows" "$native/bin/e2e_tests"
