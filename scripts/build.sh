#!/usr/bin/env bash
# Set-up and build: the exe, its data files, the simulator library, the tests and the
# Windows Installer package (scripts/package.sh).
# BUILD_DIR picks the build folder (default: build/main).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$top/build/main}"
bash "$top/scripts/setup.sh"
cmake -S "$top" -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR=wine >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" "$@"
bash "$top/scripts/package.sh" >/dev/null
