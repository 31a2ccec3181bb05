#!/usr/bin/env bash
# Benchmark of REPORT (not a test): the HTML report of 29 full days of data log, timed under
# Wine beside a console command that reads no log, in the same run. Options go to
# tools/bench_report.py: --runs N (10), --days N (29). The table is printed and kept in
# build/main/bench/results-report.md.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$top/build/main}"
bash "$top/scripts/build.sh" --target Voltwarden dist_data >/dev/null
. "$top/scripts/wine-env.sh"
trap wine_stop EXIT
wine_start
export VW_BUILD_DIR="$BUILD_DIR" VW_SOURCE_DIR="$top"
/usr/bin/python3 "$top/tools/bench_report.py" "$@"
