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
# Wine sets a prefix up (anew, or after an update of wine) from the first program run in
# it, in processes of its own that go on after that program and print their own lines
# ("wine: configuration in ... has been updated.") on the standard error that they were
# given: a test's. So the prefix is set up first, every process of it waited for, and a
# program of the build must then run without a word of wine's before the tests start.
wineboot --init >/dev/null 2>&1 || true
wineserver -w
scratch=$(mktemp -d)
for try in 1 2 3; do
    noise=$(cd "$scratch" && { wine "$windows/build_art_idx.exe" 2>&1 >/dev/null || true; })
    wineserver -w
    [ -z "$noise" ] && break
    echo "wine set up $WINEPREFIX during a run (try $try): $noise" >&2
done
rm -rf "$scratch"
if [ -n "$noise" ]; then
    echo "wine still prints its own lines on every run in $WINEPREFIX: not run" >&2
    exit 1
fi
wineserver -p
trap 'wineserver -k' EXIT
ART_PROGRAM_DIR=$windows ART_PROGRAM_SUFFIX=.exe ART_LAUNCHER=wine ART_TARGET_WINDOWS=1 \
    ART_SCRATCH_ROOT="$native/tests/scratch-windows" "$native/bin/$test"
