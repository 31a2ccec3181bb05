"""Benchmark of following a UPS that another machine serves, under Wine (run by scripts/bench-follow.sh;
not a test). The UPS is served by Network UPS Tools' own upsd with the dummy-ups driver (Debian's
nut-server, tests/e2e/nut_upsd.py: private folders and port); the service is installed in its own
prefix with DEVICE ups@127.0.0.1:<port>, WAIT_TIME 3600 and no UPS library beside it.

1. Reaction, beside two secondary `upsmon`s of the same upsd (Debian's nut-client), one with its
   default POLLFREQ 5 and one with POLLFREQ 1 (POLLFREQALERT the same), whose SHUTDOWNCMD writes the
   time. Two kinds of round, taken in turns:
   - FSD: from upsd's `OK FSD-SET` answer to `FSD ups` (upsd sets the flag before it answers);
   - OB LB: the dummy's data file goes from OL to OB LB; from the first answer of upsd that shows
     `OB LB` to a client asking `GET VAR ups ups.status` (what upsc asks) every 10 ms;
   to the moment our sequence's first line (Shutdown_by_remote_fsd / Shutdown_by_battery_low)
   appears in EventLog\\EventLog.csv, read from Linux every 10 ms, and to each upsmon's SHUTDOWNCMD.
   Each round starts from OL with upsd (FSD is a latch of upsd), the service and both upsmons started
   afresh, and triggers at a random moment, so that it falls at a random phase of every poll.
2. Cost of following: CPU time of the service process following the network UPS against the same
   service on a local UPS (the simulator library beside it, DEVICE USB, one record a second), as
   halves of the network measure around the local one (network, local, network), so that a change
   of the machine's load meanwhile weighs on both alike.
"""
import argparse
import datetime
import os
import pathlib
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))
sys.path.insert(0, str(HERE))
from bench_cpu import cpu_over, percent  # noqa: E402
from bench_road import BenchInstallation, verdict, wineserver_pid  # noqa: E402
from conftest import BUILD_DIR, SIM_DLL, read_messages, wait_until  # noqa: E402
from nut_clients import RawClient, SecondaryUpsmon  # noqa: E402
from nut_upsd import NutUpsd  # noqa: E402

USER = "follower"  # upsd.users of nut_upsd: an upsmon secondary, as this computer logs in
POLLS = (5, 1)  # the upsmons' POLLFREQ: its default, and once a second as our service polls
WATCH_INTERVAL_S = 0.01

# The targets, shown beside the figures.
REACTION_MAX_S = 1.5
REACTION_MEDIAN_S = 1.1
CPU_DIFFERENCE_PERCENT = 0.02

KINDS = {
    # kind: (message key of the sequence's first line, what starts the clock)
    "FSD": ("Shutdown_by_remote_fsd", "upsd's OK to `FSD ups`"),
    "OB LB": ("Shutdown_by_battery_low", "the first `GET VAR` answer showing `OB LB`"),
}

DEFAULTS = {"rounds": 8, "minutes": 1.5, "seed": 26}


class FirstSight:
    """Reads a growing file every 10 ms on a thread of its own, from its size at the start on, and
    keeps the Unix time at which a given text first appeared in it."""

    def __init__(self, path, text, encoding):
        self.path = pathlib.Path(path)
        self.needle = text.encode(encoding)
        self.offset = self.path.stat().st_size if self.path.exists() else 0
        self.seen_at = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)

    def start(self):
        self._thread.start()
        return self

    def _watch(self):
        while not self._stop.is_set():
            try:
                with open(self.path, "rb") as f:
                    f.seek(self.offset)
                    data = f.read()
            except FileNotFoundError:
                data = b""
            if self.needle in data:
                self.seen_at = time.time()
                return
            self._stop.wait(WATCH_INTERVAL_S)

    def stop(self):
        self._stop.set()
        self._thread.join()


def ups_status(client):
    answer = client.ask("GET VAR ups ups.status") or ""
    return answer.split('"')[1] if answer.startswith("VAR ") else None


class Bench(BenchInstallation):
    def __init__(self, args):
        self.root = BUILD_DIR / "bench-follow"
        if self.root.exists():
            shutil.rmtree(self.root)
        super().__init__(self.root / "Voltwarden Bench", "bench-follow")
        self.local_library = self.inst.folder / "NervaUPSLib.dll"
        self.local_library.unlink()  # back only while the service watches the local UPS
        self.args = args
        self.random = random.Random(args.seed)
        self.upsd = NutUpsd(self.root / "upsd")
        self.event_log = self.inst.folder / "EventLog" / "EventLog.csv"
        self.messages = read_messages(self.inst.folder, "en")
        self.installed = False

    # --- set-up --------------------------------------------------------------------------------

    def fresh_upsd(self):
        """upsd started afresh on a UPS on mains: no FSD left from the round before."""
        if self.upsd.driver is not None and self.upsd.variables["ups.status"] != "OL":
            self.upsd.write_vars({"ups.status": "OL"})
        self.upsd.stop()
        self.upsd.start()

    def follow_network_ups(self):
        if self.local_library.exists():
            self.local_library.unlink()
        self.cmd("SET", "3", self.upsd.address)

    def watch_local_ups(self):
        shutil.copy2(SIM_DLL, self.local_library)
        self.cmd("SET", "3", "USB")

    def start_service(self):
        self.start_connected("START" if self.installed else "INSTALL")
        self.installed = True

    # --- 1. reaction ---------------------------------------------------------------------------

    def reaction_round(self, kind, number):
        """One round: (ours, {poll: upsmon's}) in seconds after upsd showed the kind."""
        self.fresh_upsd()
        # The driver reads its file once a second from its own start, and the service polls once a
        # second from its connect: a random pause keeps the two phases apart from one round to the
        # next (without it the service connects a nearly fixed time after a read of the driver).
        time.sleep(self.random.random())
        self.start_service()
        upsmons = {}
        watcher = RawClient(self.upsd.port)
        try:
            for poll in POLLS:
                upsmons[poll] = SecondaryUpsmon(self.root / f"upsmon-{number}-{kind.replace(' ', '')}-poll{poll}",
                                                self.upsd.port, USER, self.upsd.passwords[USER], pollfreq=poll).start()
            wait_until(lambda: watcher.ask("GET NUMLOGINS ups") == f"NUMLOGINS ups {1 + len(POLLS)}", 30,
                       "the service and both upsmons to log in")
            time.sleep(self.random.uniform(0.5, 0.5 + max(POLLS)))  # a random phase of every poll
            sight = FirstSight(self.event_log, self.messages[KINDS[kind][0]], "cp1252").start()
            try:
                if kind == "FSD":
                    shown_at = self.upsd.fsd()
                else:
                    self.upsd.write_vars({"ups.status": "OB LB"})
                    shown_at = wait_until(lambda: ups_status(watcher) == "OB LB" and time.time(), 30,
                                          "upsd to show OB LB", interval=WATCH_INTERVAL_S)
                ours_at = wait_until(lambda: sight.seen_at, 30, f"the service's {KINDS[kind][0]} line")
            finally:
                sight.stop()
            theirs_at = {poll: wait_until(upsmon.shutdown_time, 30, f"the SHUTDOWNCMD of upsmon POLLFREQ {poll}")
                         for poll, upsmon in upsmons.items()}
        finally:
            watcher.close()
            for upsmon in upsmons.values():
                upsmon.stop()
        self.stop_service()
        return ours_at - shown_at, {poll: at - shown_at for poll, at in theirs_at.items()}

    def reaction(self):
        print(f"Reaction, {self.args.rounds} rounds of each kind, beside upsmon POLLFREQ "
              f"{' and '.join(map(str, POLLS))}:", flush=True)
        results = {kind: {"ours": [], **{poll: [] for poll in POLLS}} for kind in KINDS}
        for number in range(self.args.rounds):
            for kind in KINDS:
                began = time.monotonic()
                ours, theirs = self.reaction_round(kind, number)
                results[kind]["ours"].append(ours)
                for poll, value in theirs.items():
                    results[kind][poll].append(value)
                print(f"  {kind} round {number + 1}: ours {ours:.3f} s, "
                      + ", ".join(f"upsmon POLLFREQ {poll} {value:.3f} s" for poll, value in theirs.items())
                      + f" (the round took {time.monotonic() - began:.0f} s)", flush=True)
        return results

    # --- 2. cost of following ------------------------------------------------------------------

    def cpu_segment(self, label, seconds):
        """CPU seconds of the service process and of the prefix's wineserver over `seconds`, the
        seconds measured, and the 1-minute load average at the end."""
        self.start_service()
        time.sleep(10)  # past the start
        wineserver = wineserver_pid(self.session.prefix)
        (service, server), elapsed = cpu_over(seconds, [[self.service_pid()], [wineserver] if wineserver else []])
        load = os.getloadavg()[0]
        print(f"  {label}: {service:.3f} s over {elapsed:.0f} s ({percent(service, elapsed):.4f} % of one core), "
              f"load {load:.2f}", flush=True)
        self.stop_service()
        return service, server, elapsed, load

    def following_cost(self):
        minutes = self.args.minutes
        print(f"Cost of following over {minutes:g} min each (network half, local, network half):", flush=True)
        self.fresh_upsd()
        segments = {"network": [], "local": []}
        loads = []
        for kind, share in (("network", 0.5), ("local", 1.0), ("network", 0.5)):
            if kind == "network":
                self.follow_network_ups()
            else:
                self.watch_local_ups()
            service, server, elapsed, load = self.cpu_segment(kind, minutes * 60 * share)
            segments[kind].append((service, server, elapsed))
            loads.append(load)
        self.follow_network_ups()
        halves = [percent(service, elapsed) for service, _, elapsed in segments["network"]]
        return {kind: tuple(sum(values) for values in zip(*parts)) for kind, parts in segments.items()}, halves, loads

    # --- the whole run -------------------------------------------------------------------------

    def run(self):
        began = time.monotonic()
        load_before = os.getloadavg()
        self.session.start()
        try:
            self.cmd("SET", "1002", "en")
            self.cmd("SET", "4", "3600")
            self.cmd("SET", "1009", USER)
            self.cmd("SET", "1010", self.upsd.passwords[USER])
            self.follow_network_ups()
            reaction = self.reaction()
            cost, halves, loads = self.following_cost()
        finally:
            try:
                if self.installed:
                    self.cmd("UNINSTALL")
            finally:
                self.session.stop()
                self.upsd.close()
        load_after = os.getloadavg()
        text = self.report(reaction, cost, halves, load_before, loads, load_after, (time.monotonic() - began) / 60)
        print(text)
        out = BUILD_DIR / "bench" / "results-follow.md"
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(text + "\n")

    def report(self, reaction, cost, halves, load_before, loads, load_after, minutes_taken):
        a = self.args
        wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
        command = "bash scripts/bench-follow.sh" + "".join(
            f" --{name} {shlex.quote(str(value))}" for name, value in vars(a).items() if value != DEFAULTS[name])

        def spread(values):
            return (f"min {min(values):.3f} s, median {statistics.median(values):.3f} s, "
                    f"max {max(values):.3f} s")

        rows = [
            f"Results of `{command}` ({a.rounds} rounds of each kind, {a.minutes:g} min of CPU on each UPS, seed "
            f"{a.seed}; the run took {minutes_taken:.0f} min), {datetime.date.today():%d %B %Y}, {wine}, "
            f"{os.cpu_count()} cores; load average (1 min) {load_before[0]:.2f} at the start, "
            f"{', '.join(f'{load:.2f}' for load in loads)} at the end of each CPU measure (network, local, network), "
            f"{load_after[0]:.2f} at the end:",
            "",
            "| From upsd showing … to the shutdown | Ours: the sequence's first line | "
            + " | ".join(f"upsmon POLLFREQ {poll}: SHUTDOWNCMD" for poll in POLLS) + " | Target (ours) |",
            "|---|---|" + "---|" * len(POLLS) + "---|",
        ]
        for kind, (key, clock) in KINDS.items():
            ours = reaction[kind]["ours"]
            met = max(ours) <= REACTION_MAX_S and statistics.median(ours) < REACTION_MEDIAN_S
            rows.append(f"| {kind}, from {clock} ({len(ours)} rounds; `{key}`) | {spread(ours)} | "
                        + " | ".join(spread(reaction[kind][poll]) for poll in POLLS)
                        + f" | max {REACTION_MAX_S} s, median under {REACTION_MEDIAN_S} s: {verdict(met)} |")
        (net, net_server, net_time), (local, local_server, local_time) = cost["network"], cost["local"]
        difference = percent(net, net_time) - percent(local, local_time)
        rows += [
            "",
            "| Measure | Result | Target |",
            "|---|---|---|",
            f"| CPU of the service process following the network UPS (`{self.upsd.address}`), "
            f"{net_time / 60:.1f} min in two halves | {net:.3f} s ({percent(net, net_time):.4f} % of one core; "
            f"the halves {' and '.join(f'{half:.4f} %' for half in halves)}) | |",
            f"| CPU of the same service on a local UPS (simulator, DEVICE USB, one record a second), "
            f"{local_time / 60:.1f} min between the halves | {local:.3f} s ({percent(local, local_time):.4f} % of "
            f"one core) | |",
            f"| Network minus local | {difference:+.4f} % of one core | at most {CPU_DIFFERENCE_PERCENT} %: "
            f"{verdict(difference <= CPU_DIFFERENCE_PERCENT)} |",
            f"| Our prefix's wineserver over the same minutes, network / local (Windows has none) | "
            f"{percent(net_server, net_time):.4f} % / {percent(local_server, local_time):.4f} % of one core | |",
        ]
        return "\n".join(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=DEFAULTS["rounds"],
                        help="rounds of each kind, FSD and OB LB (default %(default)s)")
    parser.add_argument("--minutes", type=float, default=DEFAULTS["minutes"],
                        help="minutes of CPU measure on each UPS (default %(default)s)")
    parser.add_argument("--seed", type=int, default=DEFAULTS["seed"], help="seed of the trigger moments")
    args = parser.parse_args()
    if args.rounds < 1 or args.minutes <= 0:
        parser.error("--rounds and --minutes must be positive")
    Bench(args).run()


if __name__ == "__main__":
    main()
