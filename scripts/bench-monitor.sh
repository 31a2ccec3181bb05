#!/usr/bin/env bash
# Measures the monitor (not part of the test suite): reaction latency and the cost of
# one pass and one record (tools/monitor_bench), then CPU time and private memory of a
# process running the monitor against the simulator library, one record a second.
#   scripts/bench-monitor.sh [MINUTES] [TRIALS]     (defaults: 5 minutes, 30 trials)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$top/build/main}"
minutes="${1:-5}"
trials="${2:-30}"
bash "$top/scripts/build.sh" --target monitor_bench monitor_host NervaUPSLib dist_data >/dev/null
. "$top/scripts/wine-env.sh"
trap wine_stop EXIT
wine_start

echo "== monitor_bench --trials $trials --wait-time 2 --excmd-time 1 --soak-seconds $((minutes * 60))"
wine "$BUILD_DIR/tools/monitor_bench.exe" --trials "$trials" --wait-time 2 --excmd-time 1 \
    --soak-seconds $((minutes * 60)) </dev/null

echo "== monitor_host --seconds $((minutes * 60)) --usage: connected to the simulator over USB, one record a second"
folder="$(mktemp -d)"
cp "$BUILD_DIR/tools/monitor_host.exe" "$BUILD_DIR/sim/NervaUPSLib.dll" "$BUILD_DIR"/dist/*.json "$BUILD_DIR"/dist/*.csv "$folder/"
printf 'WAIT_TIME=60\r\nBACKUP_TIME=3\r\nDEVICE=USB\r\nEVENTLOGPATH=\r\nDATALOGPATH=\r\nEXCMD=\r\nEXCMDTIME=0\r\nLANG=en\r\n' >"$folder/Setting.ini"
printf 'PRESENT_ON=USB\nMEASUREMENT_PERIOD_MS=1000\n' >"$folder/NervaUPSSim.ini"
(cd "$folder" && wine ./monitor_host.exe --seconds $((minutes * 60)) --usage </dev/null)
# The simulator logs a battery-level query only when its answer changes; the data log shows
# that records kept arriving (one line a minute while they do).
echo "data-log lines written: $(cat "$folder"/DataLog/*.csv 2>/dev/null | grep -cE '^[0-9]{4}/' || true)"
rm -rf "$folder"
