#!/bin/bash
# Runs a test program of the end-to-end tests (e2e_tests or large_tests), built natively
# in NATIVE_BUILD, against the Windows programs of WINDOWS_BUILD under wine, with one wine
# server kept up for the whole run. Exits 77 when there are no Windows programs or no wine.
#   tests/run_windows_e2e.sh [NATIVE_BUILD=build/dev] [WINDOWS_BUILD=build/windows] [TEST=e2e_tests]
set -euo pipefail
native=$(cd "${1:-build/dev}" && pwd)
test=${3:-e2e_tests}
if [ ! -x "${2:-build/windows}/bin/gather_arts.exe" ] || ! command -v wine >/dev/null; then
    echo "no Windows programs in ${2:-build/windows}/bin, or no wine: not run" >&2
    exit 77
fi
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
    ART_SCRATCH_ROOT="$native/tests/scratch-windows" "$native/bin/$test"
