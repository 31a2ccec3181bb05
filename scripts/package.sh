#!/usr/bin/env bash
# Builds the Windows Installer package <build>/Voltwarden-<version>-x64.msi from the
# deployable folder <build>/dist with wixl (msitools).
# BUILD_DIR picks the build folder (default: build/main); VW_VERSION overrides the
# product version (default: the one in CMakeLists.txt), e.g. to build an upgrade test.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${BUILD_DIR:-$top/build/main}"
version="${VW_VERSION:-$(sed -n 's/^project(Voltwarden VERSION \([0-9.]*\) .*/\1/p' "$top/CMakeLists.txt")}"
if ! [[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    echo "package.sh: no product version (major.minor.patch): '$version'" >&2
    exit 1
fi
dist="$build_dir/dist"
for f in Voltwarden.exe msgtbl_jp.json msgtbl_en.json EventList_jp.csv EventList_en.csv; do
    [ -f "$dist/$f" ] || { echo "package.sh: $dist/$f is missing; build first" >&2; exit 1; }
done
out="$build_dir/Voltwarden-$version-x64.msi"
# wixl takes the files' sources relative to the folder it runs in.
(cd "$dist" && wixl -a x64 -D VW_VERSION="$version" -o "$out.tmp" "$top/packaging/Voltwarden.wxs")
# The custom actions that carry a password on their command line are marked HideTarget
# (msidbCustomActionTypeHideTarget, 0x2000), which wixl does not write: Windows Installer
# then logs neither the property nor the command line.
for action in SetNutPassword; do
    type=$(msiinfo export "$out.tmp" CustomAction | awk -F'\t' -v a="$action" '$1 == a { print $2 }')
    [ -n "$type" ] || { echo "package.sh: no custom action $action" >&2; exit 1; }
    msibuild "$out.tmp" -q "UPDATE \`CustomAction\` SET \`Type\` = $(( type | 0x2000 )) WHERE \`Action\` = '$action'"
done
mv -f "$out.tmp" "$out"
echo "$out"
