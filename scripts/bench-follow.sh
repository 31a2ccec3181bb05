#!/usr/bin/env bash
# Benchmark of following a UPS that another machine serves (not a test; about 11 minutes with the
# defaults): Network UPS Tools' upsd + dummy-ups (Debian's nut-server, private folders and port) serves
# the UPS; the service follows it as DEVICE ups@127.0.0.1:<port> beside two secondary upsmons (POLLFREQ 5
# and 1). Measured: from upsd showing FSD, and OB LB, to our sequence's first line and to each upsmon's
# SHUTDOWNCMD; and the service's CPU following the network UPS against the same service on the simulated
# local UPS. Runs in its own Wine prefix (build/main/e2e-wine/bench-follow). Options go to
# tools/bench_follow.py: --rounds N (of each kind), --minutes M (CPU on each UPS), --seed N. Results are
# printed and kept in build/main/bench/results-follow.md.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$top/build/main}"
bash "$top/scripts/build.sh" --target Voltwarden dist_data NervaUPSLib >/dev/null
export VW_BUILD_DIR="$BUILD_DIR" VW_SOURCE_DIR="$top"
exec /usr/bin/python3 "$top/tools/bench_follow.py" "$@"
