#!/usr/bin/env bash
# Benchmark of the whole road under Wine (not a test): reaction latency from a simulated mains
# failure to the UPS's Shutdown call, CPU time and private memory of the running service, and the
# cold start of a console command. Runs in its own Wine prefix (build/main/e2e-wine/bench).
# Options go to tools/bench_road.py: --outages N, --wait-time S, --minutes M, --starts N.
# Results are printed and kept in build/main/bench/results.md.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$top/build/main}"
bash "$top/scripts/build.sh" --target Voltwarden dist_data NervaUPSLib >/dev/null
export VW_BUILD_DIR="$BUILD_DIR" VW_SOURCE_DIR="$top"
exec /usr/bin/python3 "$top/tools/bench_road.py" "$@"
