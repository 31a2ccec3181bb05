#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the project, then
# builds json-c for mingw into build/deps. Safe to run again: every step is skipped
# when its result is already there.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"

packages=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools wine wine64
          googletest python3-pytest dpkg-dev tmux locales nut-client
          wixl msitools python3-nut nut-cgi nut-server chromium)

need_install=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need_install+=("$p")
done

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

src_list=/etc/apt/sources.list.d/voltwarden-debian-src.sources
if [ ! -f "$src_list" ]; then
    # Mirror the machine's Debian entry as a source entry so that `apt-get source` works.
    as_root tee "$src_list" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    need_update=1
fi

if [ "${#need_install[@]}" -gt 0 ] || [ -n "${need_update:-}" ]; then
    echo "setup: installing ${need_install[*]:-(source list only)}"
    as_root apt-get -o DPkg::Lock::Timeout=900 update -qq
    if [ "${#need_install[@]}" -gt 0 ]; then
        as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${need_install[@]}" >/dev/null
    fi
fi

# Japanese locale: under it Wine's ANSI code page is 932.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
    as_root sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
    as_root locale-gen >/dev/null
fi

# json-c and GoogleTest for mingw, from Debian's own sources, into build/deps: the two builds
# are independent and run side by side.
deps="$top/build/deps"
build_json_c() {
    [ -f "$deps/lib/cmake/json-c/json-c-config.cmake" ] && return 0
    echo "setup: building json-c for mingw"
    local work="$top/build/deps-src"
    rm -rf "$work" && mkdir -p "$work"
    (cd "$work" && apt-get source -qq --download-only json-c >/dev/null 2>&1 && dpkg-source -x json-c_*.dsc json-c >/dev/null)
    cmake -S "$work/json-c" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" \
        -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DBUILD_TESTING=OFF -DBUILD_APPS=OFF \
        -DDISABLE_WERROR=ON -DENABLE_THREADING=OFF >/dev/null
    cmake --build "$work/build" -j"$(nproc)" >/dev/null
    cmake --install "$work/build" >/dev/null
    rm -rf "$work"
}
build_googletest() {
    [ -f "$deps/lib/cmake/GTest/GTestConfig.cmake" ] && return 0
    echo "setup: building GoogleTest for mingw"
    local work="$top/build/gtest-build"
    cmake -S /usr/src/googletest -B "$work" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF \
        -Dgtest_disable_pthreads=OFF >/dev/null
    cmake --build "$work" -j"$(nproc)" >/dev/null
    cmake --install "$work" >/dev/null
    rm -rf "$work"
}
build_json_c & json_c=$!
build_googletest & googletest=$!
wait "$json_c" || { echo "setup: building json-c failed" >&2; exit 1; }
wait "$googletest" || { echo "setup: building GoogleTest failed" >&2; exit 1; }
echo "setup: ready"
