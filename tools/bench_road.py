"""Benchmark of the whole road under Wine (run by scripts/bench.sh; not a test).

1. Reaction: repeated simulated mains failures against the service under the service control manager.
   Each failure is written at a random moment, so it falls at a random phase of the monitor's
   once-a-second pass. Measured from the simulator's delivery of the failure (event code 3 in its
   call log) to the service's Shutdown call (the UPS output-off), minus WAIT_TIME: one series without
   an external command, one with EXCMD set, where EXCMDTIME is subtracted too, and one without EXCMD
   but with a NOTIFY_CMD that sleeps 20 s (tests/e2e/notify_probe.c): the hanging notification of the
   failure must move the output-off by nothing.
2. Cost of running: CPU time and private memory of the service process while it watches a UPS that
   sends one record a second, sampled from /proc over the given minutes, beside an empty Wine process
   (tools/empty_process) measured over the same minutes, and one with as many idle threads as the
   service has.
3. Cold start of a console command (SET 1001) against `wine cmd /c exit`.
4. Stop of the idle service: from `sc stop` until `sc query`, asked again and again, shows it stopped
   (Wine's `net stop` does not wait for the stop, and the exe's STOP looks once a second). Shown as
   measured and with the start of one Wine process (the median of `wine cmd /c exit`) taken out; the
   last query's own run stays in, so the figure is an upper bound.
"""
import argparse
import datetime
import math
import os
import pathlib
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))
from conftest import (BUILD_DIR, DIST_DIR, SERVICE_NAME, SIM_DLL, Installation, ProgramLogs,  # noqa: E402
                      built_test_tool, windows_path,
                      SimulatedUps, WineSession, run_wine_tool, sc_query_state, wait_until)

EMPTY_PROCESS = BUILD_DIR / "tools" / "empty_process.exe"
TICKS = os.sysconf("SC_CLK_TCK")
EXCMD = "cmd /c exit"
# The notification of each failure hangs this long, beyond the output-off of WAIT_TIME 2 s.
NOTIFY_SLEEP_S = 20

# The targets, shown beside the figures.
REACTION_MAX_S = 0.1
REACTION_MEDIAN_S = 0.03
CPU_PERCENT = 0.05
MEMORY_ABOVE_EMPTY_MIB = 4.0
IDLE_STOP_S = 1.5
SERVICE_STOPPED = 1


# --------------------------------------------------------------------------------------------
# /proc readers

def pids_with_cmdline(*fragments, without=()):
    """Unix pids whose command line holds every fragment (case-insensitive) and none of `without`."""
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        line = cmdline(entry.name)
        if all(f.lower() in line for f in fragments) and not any(w.lower() in line for w in without):
            found.append(int(entry.name))
    return found


def service_pids(folder):
    """Unix pids of the Wine processes that run this folder's Voltwarden.exe as the service."""
    return pids_with_cmdline("voltwarden.exe", str(folder).replace("/", "\\"), without=(" set",))


def cmdline(pid):
    try:
        return pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode("latin-1").lower()
    except OSError:
        return ""


def wineserver_pid(prefix):
    """The wineserver that serves the given prefix."""
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if not (entry / "comm").read_text().startswith("wineserver"):
                continue
            environ = (entry / "environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if f"WINEPREFIX={prefix}".encode() in environ:
            return int(entry.name)
    return None


def cpu_seconds(pid):
    """utime + stime of the whole Unix process, threads that have ended included."""
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def private_kib(pid):
    """Private (not shared) resident memory of the Unix process, in KiB."""
    total = 0
    for line in pathlib.Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
        if line.startswith(("Private_Clean:", "Private_Dirty:")):
            total += int(line.split()[1])
    return total


def thread_count(pid):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("Threads:"):
            return int(line.split()[1])
    return 0


class Watched:
    """CPU time and private memory of one Unix process over the measured minutes."""

    def __init__(self, name, pid):
        self.name, self.pid = name, pid
        self.cpu_start = cpu_seconds(pid)
        self.cpu = 0.0
        self.memory = [private_kib(pid)]

    def sample(self):
        self.memory.append(private_kib(self.pid))

    def finish(self):
        self.sample()
        self.cpu = cpu_seconds(self.pid) - self.cpu_start


# --------------------------------------------------------------------------------------------
# Figures

def nearest_rank(values, fraction):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def spread(values):
    return (f"min {min(values):.3f} s, median {statistics.median(values):.3f} s, "
            f"p95 {nearest_rank(values, 0.95):.3f} s, max {max(values):.3f} s")


def verdict(met):
    return "met" if met else "**not met**"


def mib(kib):
    return kib / 1024


def memory_text(memory):
    return f"{mib(memory[0]):.1f} / {mib(memory[-1]):.1f} / {mib(max(memory)):.1f} MiB"


# --------------------------------------------------------------------------------------------

class BenchInstallation:
    """A fresh copy of dist/ with the simulator beside the exe, in `folder`, run in the Wine session
    `session_name`: the program, its simulated UPS (one record a second) and its logs."""

    def __init__(self, folder, session_name):
        if folder.exists():
            shutil.rmtree(folder)
        shutil.copytree(DIST_DIR, folder)
        shutil.copy2(SIM_DLL, folder / "NervaUPSLib.dll")
        self.inst = Installation(folder)
        self.session = WineSession(session_name)
        self.ups = SimulatedUps(folder, PRESENT_ON="USB", MODEL="NV-Bench", MAINS="ON", MEASUREMENT_PERIOD_MS=1000)
        self.logs = ProgramLogs(folder, "cp1252")

    def cmd(self, *args):
        """Runs a console command; its output as text. A failing command ends the benchmark."""
        code, out, err = self.session.run(self.inst, *args)
        if code != 0:
            raise RuntimeError(f"{args}: exit {code}: {err!r}")
        return out.decode("cp1252")

    def connected_lines(self):
        return sum(1 for t in self.logs.event_texts() if t.startswith("UPS connected:"))

    def start_connected(self, verb):
        """START (or INSTALL) the service and wait for its next "UPS connected" line."""
        before = self.connected_lines()
        self.cmd(verb)
        wait_until(lambda: self.connected_lines() > before, 60, "the service to connect")

    def stop_service(self):
        """STOP the service and wait until its process has ended."""
        self.cmd("STOP")
        wait_until(lambda: not service_pids(self.inst.folder), 60, "the service to stop")

    def service_pid(self):
        pids = service_pids(self.inst.folder)
        if len(pids) != 1:
            raise RuntimeError(f"expected one service process, found {pids}")
        return pids[0]


class Bench(BenchInstallation):
    def __init__(self, args):
        super().__init__(BUILD_DIR / "bench" / "Voltwarden Bench", "bench")
        self.args = args
        self.random = random.Random(args.seed)
        self.installed = False

    def start_service(self):
        """Starts the service (installing it the first time) and waits until it has heard the UPS's first
        record after its connect: until then the monitor takes a mains change in silently."""
        connects = len(self.ups.calls("GetModelName"))
        self.start_connected("START" if self.installed else "INSTALL")
        self.installed = True
        wait_until(lambda: len(self.ups.calls("GetModelName")) > connects, 10, "the connect in the call log")
        connected_at = self.ups.calls("GetModelName")[-1][0]
        wait_until(lambda: any(c[0] >= connected_at for c in self.ups.calls("GetCurrentBatteryLevel")), 10,
                   "the first record after the connect")

    def outage(self, extra_seconds):
        """One mains failure at a random phase of the pass; returns the output-off's delay beyond
        WAIT_TIME + extra_seconds."""
        self.start_service()
        time.sleep(1 + self.random.random())
        shutdowns = len(self.ups.calls("Shutdown"))
        events = len(self.ups.calls("Event"))
        self.ups.set(MAINS="OFF")
        wait_until(lambda: len(self.ups.calls("Shutdown")) > shutdowns, self.args.wait_time + extra_seconds + 30,
                   "Shutdown")
        failed = next(c for c in self.ups.calls("Event")[events:] if c[3].get("code") == "3")
        shutdown = self.ups.calls("Shutdown")[shutdowns]
        self.ups.set(MAINS="ON")
        self.cmd("STOP")
        return (shutdown[0] - failed[0]).total_seconds() - self.args.wait_time - extra_seconds

    def reaction(self, excmd, excmd_time, notify_cmd=""):
        self.cmd("SET", "5", excmd)
        self.cmd("SET", "6", str(excmd_time))
        self.cmd("SET", "1012", notify_cmd)
        label = f"EXCMD `{excmd}`, EXCMDTIME {excmd_time} s" if excmd else "no EXCMD"
        if notify_cmd:
            label += f", a NOTIFY_CMD that sleeps {NOTIFY_SLEEP_S} s"
        print(f"Reaction over {self.args.outages} outages (WAIT_TIME {self.args.wait_time} s, {label}):", flush=True)
        excess = []
        for number in range(self.args.outages):
            excess.append(self.outage(excmd_time))
            print(f"  outage {number + 1}: output-off {excess[-1]:+.3f} s beyond WAIT_TIME"
                  f"{' + EXCMDTIME' if excmd else ''}", flush=True)
        return excess

    def data_log_lines(self):
        return sum(len(lines) - 1 for lines in self.logs.data_logs().values() if lines)

    def call_log_lines(self):
        return len(self.ups.calls())

    def idle_server_cpu(self, seconds):
        """CPU time of the wineserver while no service runs: what the prefix itself costs."""
        pid = wineserver_pid(self.session.prefix)
        if pid is None:
            return None
        time.sleep(10)  # the last stop has settled
        start = cpu_seconds(pid)
        time.sleep(seconds)
        return cpu_seconds(pid) - start

    def running_cost(self):
        print(f"Running cost over {self.args.minutes} min with one record a second, beside empty Wine processes:",
              flush=True)
        idle_seconds = min(60.0, self.args.minutes * 60)
        server_idle = self.idle_server_cpu(idle_seconds)
        self.start_service()
        service_pid = self.service_pid()
        threads = thread_count(service_pid)
        empties = []
        try:
            for extra in (0, threads - 1):
                # `wine` execs its loader, so the process keeps the pid it was started with.
                proc = subprocess.Popen(["wine", str(EMPTY_PROCESS), str(extra)], env=self.session.env,
                                        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                empties.append(proc)
                wait_until(lambda: f"empty_process.exe {extra}" in cmdline(proc.pid), 30, "the empty process")
            # Start-up work of every process is over before the minutes are counted.
            time.sleep(10)
            watched = [Watched("service", service_pid)]
            for extra, proc in zip((0, threads - 1), empties):
                watched.append(Watched(f"empty+{extra}", proc.pid))
            server_pid = wineserver_pid(self.session.prefix)
            server = Watched("wineserver", server_pid) if server_pid else None
            data_lines, call_lines = self.data_log_lines(), self.call_log_lines()
            start = time.monotonic()
            end = start + self.args.minutes * 60
            while time.monotonic() < end:
                time.sleep(min(30, max(0.0, end - time.monotonic())))
                for w in watched:
                    w.sample()
            for w in watched + ([server] if server else []):
                w.finish()
            cost = {
                "wall": time.monotonic() - start,
                "threads": threads,
                "watched": watched,
                "server": server,
                "server_idle": (server_idle, idle_seconds),
                "data_lines": self.data_log_lines() - data_lines,
                "call_lines": self.call_log_lines() - call_lines,
            }
        finally:
            for proc in empties:
                proc.communicate(timeout=30)
        self.cmd("STOP")
        return cost

    def cold_start(self):
        print("Cold start of a console command:", flush=True)

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

    def idle_stops(self):
        """Times the stop of the service while it watches a UPS on mains power, nothing to do."""
        print(f"Stop of the idle service ({self.args.stops} stops with `sc stop`):", flush=True)
        samples = []
        for number in range(self.args.stops):
            self.start_service()
            time.sleep(2 + self.random.random())  # some phase of the monitor's once-a-second pass
            started = time.monotonic()
            code, out = run_wine_tool("sc", "stop", SERVICE_NAME, env=self.session.env)
            if code != 0:
                raise RuntimeError(f"sc stop: exit {code}: {out}")
            wait_until(lambda: sc_query_state(self.session.env) == SERVICE_STOPPED, 60, "the service stopped",
                       interval=0)
            samples.append(time.monotonic() - started)
            print(f"  stop {number + 1}: {samples[-1]:.3f} s", flush=True)
        return samples

    def run(self):
        began = time.monotonic()
        self.session.start()
        try:
            self.cmd("SET", "1002", "en")
            self.cmd("SET", "4", str(self.args.wait_time))
            plain = self.reaction("", 0)
            with_command = self.reaction(EXCMD, self.args.excmd_time)
            probe = built_test_tool("notify_probe")
            told = self.inst.folder / "notified.txt"
            with_notify = self.reaction("", 0, f'"{windows_path(probe)}" "{windows_path(told)}" {NOTIFY_SLEEP_S}')
            self.cmd("SET", "1012", "")
            cost = self.running_cost()
            ours, baseline = self.cold_start()
            stops = self.idle_stops()
        finally:
            if self.installed:
                self.cmd("UNINSTALL")
            self.session.stop()
        minutes_taken = (time.monotonic() - began) / 60
        text = self.report(plain, with_command, with_notify, cost, ours, baseline, stops, minutes_taken)
        print(text)
        (BUILD_DIR / "bench" / "results.md").write_text(text + "\n")

    def report(self, plain, with_command, with_notify, cost, ours, baseline, stops, minutes_taken):
        a = self.args
        wall = cost["wall"]
        service, empty, empty_threads = cost["watched"]
        server = cost["server"]

        def cpu_text(w):
            return f"{w.cpu:.2f} s ({100 * w.cpu / wall:.3f} % of one core)"

        process_start = statistics.median(baseline)
        stop_net_median = statistics.median(stops) - process_start
        stop_net_max = max(stops) - process_start
        above = mib(max(service.memory) - max(empty.memory))
        above_threads = mib(max(service.memory) - max(empty_threads.memory))
        wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
        command = "bash scripts/bench.sh" + "".join(
            f" --{name.replace('_', '-')} {shlex.quote(str(value))}" for name, value in vars(a).items()
            if value != DEFAULTS[name])
        rows = [
            f"Results of `{command}` ({a.outages} + {a.outages} + {a.outages} outages, WAIT_TIME {a.wait_time} s, "
            f"EXCMDTIME {a.excmd_time} s, {a.minutes:g} min of running cost, {a.starts} cold starts, "
            f"{a.stops} stops, seed {a.seed}; "
            f"the run took {minutes_taken:.0f} min), {datetime.date.today():%d %B %Y}, {wine}, "
            f"{os.cpu_count()} cores:",
            "",
            "| Measure | Result | Target |",
            "|---|---|---|",
            f"| UPS output-off beyond WAIT_TIME, no EXCMD ({len(plain)} outages) | {spread(plain)} | "
            f"max {REACTION_MAX_S} s, median under {REACTION_MEDIAN_S} s: "
            f"{verdict(max(plain) <= REACTION_MAX_S and statistics.median(plain) < REACTION_MEDIAN_S)} |",
            f"| UPS output-off beyond WAIT_TIME + EXCMDTIME, EXCMD `{EXCMD}` ({len(with_command)} outages) | "
            f"{spread(with_command)} | max {REACTION_MAX_S} s, median under {REACTION_MEDIAN_S} s: "
            f"{verdict(max(with_command) <= REACTION_MAX_S and statistics.median(with_command) < REACTION_MEDIAN_S)} |",
            f"| UPS output-off beyond WAIT_TIME, no EXCMD, a NOTIFY_CMD that sleeps {NOTIFY_SLEEP_S} s "
            f"({len(with_notify)} outages, same run) | {spread(with_notify)} | max {REACTION_MAX_S} s, median under "
            f"{REACTION_MEDIAN_S} s: "
            f"{verdict(max(with_notify) <= REACTION_MAX_S and statistics.median(with_notify) < REACTION_MEDIAN_S)} |",
            f"| CPU of the service process over {wall / 60:.1f} min | {cpu_text(service)} | under {CPU_PERCENT} %: "
            f"{verdict(100 * service.cpu / wall < CPU_PERCENT)} |",
            f"| CPU of an empty Wine process, same minutes | {cpu_text(empty)} | |",
        ]
        if server:
            idle_cpu, idle_seconds = cost["server_idle"]
            idle = (f"; {idle_cpu:.2f} s ({100 * idle_cpu / idle_seconds:.3f} %) over {idle_seconds / 60:.1f} min "
                    f"with no service" if idle_cpu is not None else "")
            rows.append(f"| CPU of the wineserver, same minutes (it serves every process of the prefix) | "
                        f"{cpu_text(server)}{idle} | |")
        rows += [
            f"| Private memory of the service process, {cost['threads']} threads (start / end / max) | "
            f"{memory_text(service.memory)} | flat: {verdict(max(service.memory) - service.memory[0] < 1024)} |",
            f"| Private memory of an empty Wine process, 1 thread (start / end / max) | "
            f"{memory_text(empty.memory)} | |",
            f"| Private memory of an empty Wine process with {cost['threads']} threads, {cost['threads'] - 1} of them "
            f"idle (start / end / max) | {memory_text(empty_threads.memory)} | |",
            f"| Service above the empty process, 1 thread | {above:.1f} MiB | within {MEMORY_ABOVE_EMPTY_MIB:g} MiB: "
            f"{verdict(above <= MEMORY_ABOVE_EMPTY_MIB)} |",
            f"| Service above the empty process with as many threads (Wine's own cost of a thread taken out) | "
            f"{above_threads:.1f} MiB | within {MEMORY_ABOVE_EMPTY_MIB:g} MiB: "
            f"{verdict(above_threads <= MEMORY_ABOVE_EMPTY_MIB)} |",
            f"| Records handled meanwhile: data-log lines (one a minute) / call-log lines written | "
            f"{cost['data_lines']} / {cost['call_lines']} | |",
            f"| `wine Voltwarden.exe SET 1001` ({len(ours)} runs) | median {statistics.median(ours):.3f} s, "
            f"min {min(ours):.3f} s | |",
            f"| `wine cmd /c exit` ({len(baseline)} runs) | median {statistics.median(baseline):.3f} s, "
            f"min {min(baseline):.3f} s | |",
            f"| Stop of the idle service, `sc stop` until `sc query` shows it stopped ({len(stops)} stops) | "
            f"median {statistics.median(stops):.3f} s, max {max(stops):.3f} s | |",
            f"| The same without the start of one Wine process (median of `wine cmd /c exit` taken out) | "
            f"median {stop_net_median:.3f} s, max {stop_net_max:.3f} s | within {IDLE_STOP_S} s: "
            f"{verdict(stop_net_max <= IDLE_STOP_S)} |",
        ]
        return "\n".join(rows)


DEFAULTS = {"outages": 20, "wait_time": 2, "excmd_time": 1, "minutes": 10.0, "starts": 10, "stops": 10, "seed": 12}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--outages", type=int, default=DEFAULTS["outages"],
                        help="outages in each of the two reaction series (default %(default)s)")
    parser.add_argument("--wait-time", type=int, default=DEFAULTS["wait_time"], help="WAIT_TIME in seconds")
    parser.add_argument("--excmd-time", type=int, default=DEFAULTS["excmd_time"],
                        help="EXCMDTIME in seconds of the second series")
    parser.add_argument("--minutes", type=float, default=DEFAULTS["minutes"],
                        help="minutes of the running cost (default %(default)s; shorter only while developing)")
    parser.add_argument("--starts", type=int, default=DEFAULTS["starts"], help="cold starts of each command")
    parser.add_argument("--stops", type=int, default=DEFAULTS["stops"], help="stops of the idle service")
    parser.add_argument("--seed", type=int, default=DEFAULTS["seed"], help="seed of the failure moments")
    args = parser.parse_args()
    if args.outages < 1 or args.starts < 1 or args.stops < 1 or args.minutes <= 0:
        parser.error("--outages, --starts, --stops and --minutes must be positive")
    Bench(args).run()


if __name__ == "__main__":
    main()
