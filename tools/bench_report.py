"""Benchmark of REPORT (run by scripts/bench-report.sh; not a test): the report of 29 full days of
data log (29 x 1,440 lines) and an event log with an outage a day, written by `Voltwarden.exe
REPORT 29` under Wine, against a console command that reads no log (`SET 1001`) in the same run,
so that Wine's process start can be told from the report's own work."""
import argparse
import datetime
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HEADING = ("Date,Time,Input voltage(V),Input frequency(Hz),Output voltage(V),Output frequency(Hz),Load(%),"
           "Internal temperature(C),Battery voltage(V),Battery charge(%)")


def write_logs(folder, days):
    (folder / "DataLog").mkdir()
    (folder / "EventLog").mkdir()
    today = datetime.date.today()
    events = []
    for back in range(days):
        day = today - datetime.timedelta(days=back)
        lines = [HEADING]
        for minute in range(1440):
            on_battery = 600 <= minute < 620
            lines.append(f"{day:%Y/%m/%d},{minute // 60:02d}:{minute % 60:02d}:{minute % 60:02d},"
                         f"{'0.0' if on_battery else f'{100 + minute % 7}.0'},{'--.-' if on_battery else '60.0'},"
                         f"100.0,60.0,{20 + minute % 30},{24 + minute % 5}.5,27.2,{80 if on_battery else 100}")
        (folder / "DataLog" / f"{day:%Y%m%d}.csv").write_bytes(("\r\n".join(lines) + "\r\n").encode())
        d = f"{day:%Y/%m/%d}"
        events += [f"{d},00:00:05,Service started", f"{d},00:00:07,UPS connected:Bench",
                   f"{d},10:00:03,Power failure detected: running on battery", f"{d},10:20:03,Mains power restored"]
    events.sort()
    (folder / "EventLog" / "EventLog.csv").write_bytes(("\r\n".join(events) + "\r\n").encode())


def timed(folder, *args):
    started = time.perf_counter()
    proc = subprocess.run(["wine", str(folder / "Voltwarden.exe"), *args], capture_output=True, cwd=folder,
                          stdin=subprocess.DEVNULL, timeout=300)
    elapsed = time.perf_counter() - started
    if proc.returncode != 0:
        sys.exit(f"{args} failed: {proc.stdout!r} {proc.stderr!r}")
    return elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--days", type=int, default=29)
    args = parser.parse_args()
    build = pathlib.Path(os.environ["VW_BUILD_DIR"])
    with tempfile.TemporaryDirectory() as scratch:
        folder = pathlib.Path(scratch) / "Voltwarden"
        shutil.copytree(build / "dist", folder)
        (folder / "Setting.ini").write_bytes(b"LANG=en\r\n")
        write_logs(folder, args.days)
        timed(folder, "REPORT", str(args.days))  # warm the file cache and Wine's
        report = [timed(folder, "REPORT", str(args.days)) for _ in range(args.runs)]
        baseline = [timed(folder, "SET", "1001") for _ in range(args.runs)]
        size = (folder / "DataLog" / "Report.html").stat().st_size
    work = statistics.median(report) - statistics.median(baseline)
    rows = [
        ("Measure", "Result", "Target"),
        ("---", "---", "---"),
        (f"`wine Voltwarden.exe REPORT {args.days}`, {args.days} x 1,440 lines ({args.runs} runs)",
         f"median {statistics.median(report):.3f} s, min {min(report):.3f} s", ""),
        (f"`wine Voltwarden.exe SET 1001`, same run ({args.runs} runs)",
         f"median {statistics.median(baseline):.3f} s, min {min(baseline):.3f} s", ""),
        ("The report's own work (difference of the medians)", f"{work:.3f} s",
         "well under 1 s: " + ("met" if work < 0.5 else "**not met**")),
        ("Size of Report.html", f"{size / 1024:.0f} KiB", ""),
    ]
    table = "\n".join("| " + " | ".join(row) + " |" for row in rows)
    print(table)
    out = build / "bench" / "results-report.md"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(f"Results of `bash scripts/bench-report.sh --runs {args.runs} --days {args.days}`, "
                   f"{datetime.date.today():%d %B %Y}:\n\n{table}\n")


if __name__ == "__main__":
    main()
