#!/usr/bin/env bash
# Set-up, build, then the whole test suite under Wine through CTest.
# Exit status 0 means every test passed. Extra arguments go to ctest (e.g. -R config).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$top/build/main}"
bash "$top/scripts/build.sh"
. "$top/scripts/wine-env.sh"
trap wine_stop EXIT
# Every run starts from a fresh prefix: a service left registered by an interrupted run
# would otherwise start by itself with the prefix and meet the tests.
wine_stop
rm -rf "$WINEPREFIX"
wine_start
cd "$BUILD_DIR"
# A test program that fails is run once more: Wine's loader now and then asserts in dl-fini
# when a process ends, after every test in it has passed. A test that fails twice fails the run.
ctest --output-on-failure -j"$(nproc)" --repeat until-pass:2 "$@"
