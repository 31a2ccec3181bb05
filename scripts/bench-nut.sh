#!/usr/bin/env bash
# Benchmark of the network UPS protocol server under Wine (not a test), with Debian's upsmon as
# the clients: the time from the start of our shutdown sequence to a secondary's shutdown command;
# the service's CPU time with no client, server off against server on (the idle cost); and, over the
# same minutes, the service's CPU time with 10 clients polling once a second beside Network UPS
# Tools' own upsd + dummy-ups (Debian's nut-server, private folders and port; the machine's own NUT
# setup is never touched) serving 10 more, and the ratio. Runs in its own Wine prefix
# (build/main/e2e-wine/bench-nut). Options go to tools/bench_nut.py: --rounds N, --poll S,
# --minutes M (each of the three CPU measures), --clients N. Results are printed and kept in
# build/main/bench/results-nut.md.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$top/build/main}"
bash "$top/scripts/build.sh" --target Voltwarden dist_data NervaUPSLib >/dev/null
export VW_BUILD_DIR="$BUILD_DIR" VW_SOURCE_DIR="$top"
exec /usr/bin/python3 "$top/tools/bench_nut.py" "$@"
