"""Benchmark of the whole road under Wine (run by scripts/bench.sh; not a test).

1. Reaction latency: repeated simulated mains failures against the service under the service control
   manager; the time from the simulator's delivery of the failure (event code 3, in its call log)
   to the service's Shutdown call, minus WAIT_TIME (EXCMD empty).
2. Cost of running: CPU time and private memory of the service process while it watches a UPS that
   sends one record a second, sampled from /proc over the given minutes.
3. Cold start of a console command (SET 1001) against `wine cmd /c exit`.
"""
import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))
from conftest import (BUILD_DIR, DIST_DIR, SIM_DLL, Installation, ProgramLogs,  # noqa: E402
                      SimulatedUps, WineSession, wait_until)

PAGE = os.sysconf("SC_PAGE_SIZE")
TICKS = os.sysconf("SC_CLK_TCK")


def service_pids(folder):
    """Unix pids of the Wine processes that run this folder's Voltwarden.exe as the service."""
    wanted = str(folder).replace("/", "\\").lower()
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            cmdline = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode("latin-1").lower()
        except OSError:
            continue
        if "voltwarden.exe" in cmdline and wanted in cmdline and " set" not in cmdline:
            found.append(int(entry.name))
    return found


def cpu_seconds(pid):
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def private_kib(pid):
    """Private (not shared) resident memory of the Unix process, in KiB."""
    total = 0
    for line in pathlib.Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
        if line.startswith(("Private_Clean:", "Private_Dirty:")):
            total += int(line.split()[1])
    return total


class Bench:
    def __init__(self, args):
        self.args = args
        root = BUILD_DIR / "bench"
        folder = root / "Voltwarden Bench"
        if folder.exists():
            shutil.rmtree(folder)
        shutil.copytree(DIST_DIR, folder)
        shutil.copy2(SIM_DLL, folder / "NervaUPSLib.dll")
        self.inst = Installation(folder)
        self.session = WineSession("bench")
        self.ups = SimulatedUps(folder, PRESENT_ON="USB", MODEL="NV-Bench", MAINS="ON", MEASUREMENT_PERIOD_MS=1000)
        self.logs = ProgramLogs(folder, "cp1252")

    def cmd(self, *args):
        code, out, err = self.session.run(self.inst, *args)
        if code != 0:
            raise RuntimeError(f"{args}: exit {code}: {err!r}")
        return out.decode("cp1252")

    def connected_lines(self):
        return sum(1 for t in self.logs.event_texts() if t.startswith("UPS connected:"))

    def wait_connected(self, before):
        wait_until(lambda: self.connected_lines() > before, 60, "the service to connect")

    def latency(self):
        wait_time = self.args.wait_time
        self.cmd("SET", "1002", "en")
        self.cmd("SET", "4", str(wait_time))
        self.cmd("SET", "6", "0")
        excess = []
        for round_no in range(self.args.outages):
            before = self.connected_lines()
            self.cmd("INSTALL" if round_no == 0 else "START")
            self.wait_connected(before)
            time.sleep(2)
            shutdowns = len(self.ups.calls("Shutdown"))
            events = len(self.ups.calls("Event"))
            self.ups.set(MAINS="OFF")
            wait_until(lambda: len(self.ups.calls("Shutdown")) > shutdowns, wait_time + 30, "Shutdown")
            failed = next(c for c in self.ups.calls("Event")[events:] if c[3].get("code") == "3")
            shutdown = self.ups.calls("Shutdown")[shutdowns]
            seconds = (shutdown[0] - failed[0]).total_seconds()
            excess.append(seconds - wait_time)
            print(f"  outage {round_no + 1}: Shutdown {seconds:.3f} s after the failure "
                  f"({seconds - wait_time:+.3f} s beyond WAIT_TIME)", flush=True)
            self.ups.set(MAINS="ON")
            self.cmd("STOP")
        return excess

    def running_cost(self):
        before = self.connected_lines()
        self.cmd("START")
        self.wait_connected(before)
        time.sleep(5)
        pids = service_pids(self.inst.folder)
        if len(pids) != 1:
            raise RuntimeError(f"expected one service process, found {pids}")
        pid = pids[0]
        records_before = len(self.ups.calls("GetCurrentBatteryLevel"))
        start_cpu, start_wall = cpu_seconds(pid), time.monotonic()
        memory = [private_kib(pid)]
        end = start_wall + self.args.minutes * 60
        while time.monotonic() < end:
            time.sleep(min(30, max(0.0, end - time.monotonic())))
            memory.append(private_kib(pid))
        cpu = cpu_seconds(pid) - start_cpu
        wall = time.monotonic() - start_wall
        records = len(self.ups.calls("GetCurrentBatteryLevel")) - records_before
        self.cmd("STOP")
        return cpu, wall, memory, records

    def cold_start(self):
        def timed(argv):
            samples = []
            for _ in range(self.args.starts):
                started = time.monotonic()
                subprocess.run(argv, env=self.session.env, cwd=str(self.inst.folder), stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=True)
                samples.append(time.monotonic() - started)
            return samples
        timed(["wine", "cmd", "/c", "exit"])  # warm the file cache once
        return timed(["wine", str(self.inst.exe), "SET", "1001"]), timed(["wine", "cmd", "/c", "exit"])

    def run(self):
        self.session.start()
        try:
            if self.session.service_state() is not None:
                self.cmd("UNINSTALL")
            print(f"Reaction latency over {self.args.outages} outages (WAIT_TIME {self.args.wait_time} s, no EXCMD):",
                  flush=True)
            excess = self.latency()
            print(f"Running cost over {self.args.minutes} min with one record a second:", flush=True)
            cpu, wall, memory, records = self.running_cost()
            print("Cold start of a console command:", flush=True)
            ours, baseline = self.cold_start()
        finally:
            self.cmd("UNINSTALL")
            self.session.stop()
        report = [
            "| Measure | Result |",
            "|---|---|",
            f"| Failure to Shutdown call, beyond WAIT_TIME ({len(excess)} outages) | "
            f"min {min(excess):.3f} s, median {statistics.median(excess):.3f} s, max {max(excess):.3f} s |",
            f"| CPU time of the service process over {wall / 60:.1f} min | {cpu:.2f} s "
            f"({100 * cpu / wall:.3f} % of one core) |",
            f"| Private memory of the service process (start / end / max) | "
            f"{memory[0] / 1024:.1f} / {memory[-1] / 1024:.1f} / {max(memory) / 1024:.1f} MiB |",
            f"| Records handled meanwhile (battery-level queries in the call log) | {records} |",
            f"| `wine Voltwarden.exe SET 1001` ({len(ours)} runs) | median {statistics.median(ours):.3f} s, "
            f"min {min(ours):.3f} s |",
            f"| `wine cmd /c exit` baseline ({len(baseline)} runs) | median {statistics.median(baseline):.3f} s, "
            f"min {min(baseline):.3f} s |",
        ]
        text = "\n".join(report)
        print(text)
        (BUILD_DIR / "bench" / "results.md").write_text(text + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--outages", type=int, default=10)
    parser.add_argument("--wait-time", type=int, default=2)
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--starts", type=int, default=10)
    Bench(parser.parse_args()).run()


if __name__ == "__main__":
    main()
