#!/usr/bin/env bash
# Set-up, build, then the whole test suite under Wine through CTest.
# Exit status 0 means every test passed. Extra arguments go to ctest (e.g. -R config).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$top/build/main}"
started=$SECONDS
bash "$top/scripts/build.sh"
built=$SECONDS
. "$top/scripts/wine-env.sh"
trap wine_stop EXIT
# Every run starts from a fresh prefix: a service left registered by an interrupted run
# would otherwise start by itself with the prefix and meet the tests. (The end-to-end groups
# make prefixes of their own.)
wine_stop
rm -rf "$WINEPREFIX"
wine_start
cd "$BUILD_DIR"
# A program is tried twice only when Wine's loader faulted at a process's exit
# (tests/run_test_program.py); every such second try is listed here at the end.
retried="$BUILD_DIR/retried-tests.txt"
rm -f "$retried"
status=0
ctest --output-on-failure -j"$(( $(nproc) + 1 ))" "$@" || status=$?
if [ -s "$retried" ]; then
    echo "Test programs that needed a second try:"
    sed 's/^/  /' "$retried"
fi
echo "test.sh: set-up and build $((built - started)) s, tests $((SECONDS - built)) s, in all $((SECONDS - started)) s"
exit "$status"
