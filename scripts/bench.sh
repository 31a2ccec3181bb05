#!/usr/bin/env bash
# Benchmark of the whole road under Wine (not a test; about 38 minutes with the defaults):
#  - reaction: the UPS output-off (the simulator's Shutdown call) after simulated mains failures at
#    random phases of the monitor's once-a-second pass, beyond WAIT_TIME (no EXCMD) and beyond
#    WAIT_TIME + EXCMDTIME (EXCMD set), and beyond WAIT_TIME with a NOTIFY_CMD that sleeps 20 s:
#    min, median, p95, max;
#  - running cost: CPU time and private memory of the service process over 10 minutes, beside an
#    empty Wine process measured over the same minutes;
#  - cold start of a console command against `wine cmd /c exit`;
#  - stop of the idle service, `sc stop` until `sc query` shows it stopped (target: within 1.5 s);
#  - then the network UPS server (scripts/bench-nut.sh with its defaults, about 8 minutes more;
#    VW_BENCH_NUT=0 leaves it out): from the start of our shutdown sequence to a secondary
#    upsmon's shutdown command, the idle cost of the server (on against off), and the service's
#    CPU with 10 clients polling once a second beside Network UPS Tools' upsd serving as many;
#  - then following a UPS on another machine (scripts/bench-follow.sh with its defaults, about 10 minutes
#    more; VW_BENCH_FOLLOW=0 leaves it out): from upsd showing FSD, and OB LB, to our sequence's first
#    line beside two secondary upsmons (POLLFREQ 5 and 1), and the service's CPU following the network
#    UPS against the same service on the local simulated UPS;
#  - then REPORT of 29 full days of data log (scripts/bench-report.sh; VW_BENCH_REPORT=0 leaves it out).
# Runs in its own Wine prefix (build/main/e2e-wine/bench). Options go to tools/bench_road.py:
#   --outages N (20, per series)  --wait-time S (2)  --excmd-time S (1)  --minutes M (10)
#   --starts N (10)  --stops N (10)  --seed N (12)
# A shorter --minutes is for trying the script out only. The table is printed and kept in
# build/main/bench/results.md, ready to replace the one in docs/benchmark.md.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$top/build/main}"
bash "$top/scripts/build.sh" --target Voltwarden dist_data NervaUPSLib empty_process >/dev/null
export VW_BUILD_DIR="$BUILD_DIR" VW_SOURCE_DIR="$top"
/usr/bin/python3 "$top/tools/bench_road.py" "$@"
if [ "${VW_BENCH_NUT:-1}" != 0 ]; then
    /usr/bin/python3 "$top/tools/bench_nut.py"
fi
if [ "${VW_BENCH_FOLLOW:-1}" != 0 ]; then
    /usr/bin/python3 "$top/tools/bench_follow.py"
fi
# The HTML report of 29 full days (scripts/bench-report.sh; VW_BENCH_REPORT=0 leaves it out).
if [ "${VW_BENCH_REPORT:-1}" != 0 ]; then
    bash "$top/scripts/bench-report.sh"
fi
