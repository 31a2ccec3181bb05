#!/usr/bin/env bash
# Shows the program doing its main job under Wine, from a fresh machine: build, deploy beside the
# UPS simulator, install the service, then a mains failure that runs the whole shutdown sequence
# (external command, the UPS's output-off command, the operating-system shutdown), then stop and
# uninstall. Every wait has a time limit; a failure names its step and exits non-zero.
set -Eeuo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$top/build/main}"

demo_dir="$top/build/demo"
folder="$demo_dir/Voltwarden Demo"   # a space in the path, as in "Program Files"
win_folder="Z:${folder//\//\\}"
debug_log="$demo_dir/wine-debug.log"
model="NV-1500 Demo"
wait_time=5 excmd_time=3 backup_time=2

current_step="start"
installed=0
wine_up=0

step() {
    current_step="$1"
    printf '\n\033[1m==> %s\033[0m\n' "$1"
}

fail() {
    printf '\ndemo: FAILED in step "%s": %s\n' "$current_step" "$1" >&2
    exit 1
}

cleanup() {
    local status=$?
    if [ "$installed" = 1 ]; then
        echo "demo: removing the service after a failure"
        timeout 90 wine "$folder/Voltwarden.exe" UNINSTALL </dev/null >/dev/null 2>&1 || true
    fi
    if [ "$wine_up" = 1 ]; then
        wineserver -k </dev/null >/dev/null 2>&1 || true
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'fail "interrupted"' INT TERM
trap 'fail "the command on line $LINENO failed"' ERR

# Runs the program with a time limit; its output goes to the screen, indented.
vw() {
    local out
    out="$(timeout 120 wine "$folder/Voltwarden.exe" "$@" </dev/null 2>/dev/null | tr -d '\r')" ||
        fail "Voltwarden.exe $* did not finish"
    if [ -n "$out" ]; then printf '%s\n' "$out" | sed 's/^/    | /'; else echo "    | (no output: done)"; fi
    VW_OUT="$out"
}

# The English text of a message key, as the program shows it.
msg() { /usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1], encoding="utf-8"))[sys.argv[2]])' \
        "$folder/msgtbl_en.json" "$1"; }

# ---- the things the demo watches ---------------------------------------------------------
event_log="$folder/EventLog/EventLog.csv"
status_file="$folder/Status.ini"
call_log="$folder/NervaUPSSim.log"
shown_events=0 shown_windows=0 shown_calls=0 shown_status="" shown_data=""

lines_of() { [ -f "$1" ] && wc -l <"$1" || echo 0; }

# Prints what changed since the last look: event-log lines, Windows events, Status.ini, data-log
# lines and the calls the service made of the UPS that matter here.
show_news() {
    local n
    n=$(lines_of "$event_log")
    if [ "$n" -gt "$shown_events" ]; then
        sed -n "$((shown_events + 1)),${n}p" "$event_log" | tr -d '\r' |
            sed 's/^/  event log      | /'
        shown_events=$n
    fi
    n=$(lines_of "$debug_log")
    if [ "$n" -gt "$shown_windows" ]; then
        sed -n "$((shown_windows + 1)),${n}p" "$debug_log" | awk '
            function hex(s,   i, n) {
                n = 0; s = tolower(s); sub(/^0x/, "", s)
                for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
                return n }
            /:fixme:advapi:ReportEventA \(/ {
                split($0, a, ","); type = (a[2] == "0x0002") ? "warning    " : "information";
                id = hex(a[4]) % 65536; next }
            /:eventlog:ReportEventW L"/ {
                text = $0; sub(/^[^"]*"/, "", text); sub(/"[^"]*$/, "", text);
                printf "  Windows event  | %s %d  %s\n", type, id, text }'
        shown_windows=$n
    fi
    if [ -f "$status_file" ]; then
        local now
        now="$(tr -d '\r' <"$status_file" | paste -sd' ')"
        if [ -n "$now" ] && [ "$now" != "$shown_status" ]; then
            echo "  Status.ini     | $now"
            shown_status="$now"
        fi
    fi
    local data
    data="$(ls "$folder/DataLog" 2>/dev/null | tail -n 1)"
    if [ -n "$data" ]; then
        local last
        last="$(tail -n 1 "$folder/DataLog/$data" | tr -d '\r')"
        if [ "$data:$last" != "$shown_data" ]; then
            echo "  data log       | DataLog\\$data: $last"
            shown_data="$data:$last"
        fi
    fi
    n=$(lines_of "$call_log")
    if [ "$n" -gt "$shown_calls" ]; then
        sed -n "$((shown_calls + 1)),${n}p" "$call_log" | tr -d '\r' |
            grep -E ',(Shutdown|Event|GetUPSList|GetModelName),' | sed 's/^/  UPS library    | /' || true
        shown_calls=$n
    fi
}

# Watches until the event log holds a line with the given text, or fails after the time limit.
watch_for() {
    local text="$1" limit="$2" started=$SECONDS
    while :; do
        show_news
        if [ -f "$event_log" ] && grep -qF -- "$text" "$event_log"; then
            return 0
        fi
        [ $((SECONDS - started)) -lt "$limit" ] || fail "no event-log line \"$text\" within $limit s"
        sleep 0.5
    done
}

# ---- the demo ----------------------------------------------------------------------------
step "Set-up and build (scripts/build.sh): the exe, its data files and the UPS simulator library"
bash "$top/scripts/build.sh" --target Voltwarden dist_data NervaUPSLib >/dev/null || fail "the build failed"
echo "built $BUILD_DIR/dist/Voltwarden.exe and $BUILD_DIR/sim/NervaUPSLib.dll"

step "Deploy $BUILD_DIR/dist into \"$folder\" with the simulator as NervaUPSLib.dll"
[ -d "$folder" ] && { WINEPREFIX="$demo_dir/wineprefix" timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true; }
rm -rf "$folder" && mkdir -p "$folder" || fail "cannot make the folder"
cp "$BUILD_DIR"/dist/* "$folder/" && cp "$BUILD_DIR/sim/NervaUPSLib.dll" "$folder/" || fail "copy failed"
printf 'PRESENT_ON=USB\r\nMODEL=%s\r\nMAINS=ON\r\n' "$model" >"$folder/NervaUPSSim.ini"
ls "$folder" | sed 's/^/    /'

step "Start a private Wine prefix ($demo_dir/wineprefix), watching the service's Windows events"
# The service is started by Wine's services.exe, which inherits the environment and standard error
# of the wineserver's first process: that is where Wine's event-log stub prints every report.
saved_build_dir="$BUILD_DIR"
BUILD_DIR="$demo_dir"
WINEDEBUG="fixme+advapi,+eventlog"
. "$top/scripts/wine-env.sh"
BUILD_DIR="$saved_build_dir"
mkdir -p "$WINEPREFIX"
wineserver -k </dev/null >/dev/null 2>&1 || true
timeout 60 wineserver -p </dev/null >/dev/null 2>&1 || fail "wineserver did not start"
wine_up=1
timeout 180 wine wineboot </dev/null >/dev/null 2>"$debug_log" || fail "the Wine prefix did not boot"
export WINEDEBUG=-all
if timeout 60 wine sc query VoltwardenBasicEdition </dev/null 2>/dev/null | grep -q STATE; then
    echo "removing the service left by an interrupted run"
    timeout 90 wine "$folder/Voltwarden.exe" UNINSTALL </dev/null >/dev/null 2>&1 || true
fi
shown_windows=$(lines_of "$debug_log")
echo "Wine prefix ready"

step "Settings with the console's one-shot SET forms: English texts, 5 s delay, an external command"
vw SET 1002 en
vw SET 4 "$wait_time"
vw SET 5 "cmd /c echo saved by the external command> \"$win_folder\\excmd-proof.txt\""
vw SET 6 "$excmd_time"
vw SET 7 "$backup_time"
echo "  SET 2 shows WAIT_TIME, BACKUP_TIME, DEVICE, EXCMD, EXCMDTIME:"
vw SET 2

step "INSTALL the service (it starts at once) and wait for it to connect to the UPS"
vw INSTALL
installed=1
grep -qF "$(msg SUCCESS)" <<<"$VW_OUT" || fail "INSTALL did not succeed"
watch_for "$(msg UPS_connected):$model" 40

step "Show the status (SET 1): service, UPS model, operation"
vw SET 1
grep -qF "$(msg Status_normal_output)" <<<"$VW_OUT" || fail "the status screen does not show the UPS on mains power"
show_news

step "Mains power fails (the simulator's MAINS=OFF): watch the whole shutdown sequence"
printf 'PRESENT_ON=USB\r\nMODEL=%s\r\nMAINS=OFF\r\n' "$model" >"$folder/NervaUPSSim.ini.tmp"
mv "$folder/NervaUPSSim.ini.tmp" "$folder/NervaUPSSim.ini"
failed_at=$SECONDS
echo "  (WAIT_TIME $wait_time s, then the external command with EXCMDTIME $excmd_time s, then Shutdown" \
     "with BACKUP_TIME $backup_time, then the OS shutdown)"
watch_for "$(msg OS_Shutdown_is_started)" 60
sleep 1
show_news
echo "  $((SECONDS - failed_at)) s from the failure to the OS shutdown"

step "Check the evidence"
[ -f "$folder/excmd-proof.txt" ] || fail "the external command left no excmd-proof.txt"
echo "  excmd-proof.txt: $(tr -d '\r' <"$folder/excmd-proof.txt")"
shutdown_line="$(grep ',Shutdown,' "$call_log" | tr -d '\r' | tail -n 1)"
grep -q "backupTime=$backup_time,result=0" <<<"$shutdown_line" || fail "no Shutdown with BACKUP_TIME $backup_time in the call log"
echo "  the UPS was told to switch its output off: $shutdown_line"
grep -q 'ReportEventA.*0x800007de' "$debug_log" || fail "no Windows event 2014 (OS shutdown started)"
echo "  Windows event 2014 (OS shutdown started) was reported"

step "STOP the service"
vw STOP
grep -qF "$(msg SUCCESS)" <<<"$VW_OUT" || fail "STOP did not succeed"
show_news

step "UNINSTALL the service and stop Wine"
vw UNINSTALL
grep -qF "$(msg SUCCESS)" <<<"$VW_OUT" || fail "UNINSTALL did not succeed"
installed=0
if timeout 60 wine sc query VoltwardenBasicEdition </dev/null 2>/dev/null | grep -q STATE; then
    fail "the service is still registered"
fi
show_news
wineserver -k </dev/null >/dev/null 2>&1 || true
wine_up=0
echo "service removed, wineserver stopped; the demo's files stay in $folder for a look"
printf '\n\033[1mdemo: all steps passed\033[0m\n'
