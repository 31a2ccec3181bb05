"""Benchmark of the network UPS protocol server under Wine (run by scripts/bench-nut.sh; not a test).

1. Reach of the shutdown: the time from the start of our shutdown sequence to the SHUTDOWNCMD of a
   secondary `upsmon` (Debian's nut-client) with the given poll interval. The start of the sequence
   is the moment FSD appears in ups.status, watched by a client asking every 20 ms; EXCMD holds the
   output-off for EXCMDTIME meanwhile, as on a real installation.
2. Idle cost: CPU time of the service process with the server on and no client against the same
   time with the server off (NUT_LISTEN empty), in the same run; the target is at most 0.01 % of
   one core between the two.
3. Cost of serving, side by side: CPU time of the service process while 10 `upsmon` clients poll it
   once a second, and over the same minutes CPU time of Network UPS Tools' own server (Debian's
   nut-server: `upsd` with the `dummy-ups` driver, private folders and port, tools/reference_upsd.py)
   while 10 more `upsmon` clients poll it the same way; both, and their ratio.
"""
import argparse
import pathlib
import shutil
import statistics
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))
sys.path.insert(0, str(HERE))
from bench_cpu import cpu_over, percent  # noqa: E402
from bench_road import BenchInstallation, service_pids, verdict, wineserver_pid  # noqa: E402
from conftest import BUILD_DIR, wait_until  # noqa: E402
from nut_clients import RawClient, SecondaryUpsmon, free_tcp_port  # noqa: E402
from reference_upsd import ReferenceUpsd  # noqa: E402

USER, PASSWORD = "bench", "bench-pw"
IDLE_COST_PERCENT = 0.01  # the target: server on, no client, against server off, in % of one core


class Bench(BenchInstallation):
    def __init__(self, args):
        self.root = BUILD_DIR / "bench-nut"
        if self.root.exists():
            shutil.rmtree(self.root)
        super().__init__(self.root / "Voltwarden Bench", "bench-nut")
        self.args = args
        self.port = free_tcp_port()

    def start_service(self, verb, serving=True):
        self.start_connected(verb)
        if serving:
            wait_until(lambda: self.status() == "OL", 30, "the server to answer OL")

    def status(self):
        try:
            client = RawClient(self.port, timeout=5)
        except OSError:
            return None
        try:
            answer = client.ask("GET VAR ups ups.status") or ""
        finally:
            client.close()
        return answer.split('"')[1] if answer.startswith("VAR ") else None

    def reach(self):
        results = []
        for round_no in range(self.args.rounds):
            self.start_service("INSTALL" if round_no == 0 else "START")
            upsmon = SecondaryUpsmon(self.root / f"upsmon-{round_no}", self.port, USER, PASSWORD,
                                     pollfreq=self.args.poll).start()
            try:
                watcher = RawClient(self.port)
                wait_until(lambda: watcher.ask("GET NUMLOGINS ups") == "NUMLOGINS ups 1", 30, "upsmon to log in")
                self.ups.set(MAINS="OFF")
                while "FSD" not in (watcher.ask("GET VAR ups ups.status") or ""):
                    time.sleep(0.02)
                fsd_at = time.time()
                watcher.close()
                shutdown_at = wait_until(upsmon.shutdown_time, 60, "the secondary's SHUTDOWNCMD")
                results.append(shutdown_at - fsd_at)
                print(f"  round {round_no + 1}: secondary's SHUTDOWNCMD {shutdown_at - fsd_at:.3f} s after FSD",
                      flush=True)
                wait_until(lambda: len(self.ups.calls("Shutdown")) > round_no, 60, "the output-off")
            finally:
                upsmon.stop()
            self.ups.set(MAINS="ON")
            self.stop_service()
        return results

    def idle_cost(self):
        """The service with no client, first with the server off, then on: (off, on), each
        (CPU seconds, seconds measured)."""
        results = []
        for listen in ("", f"127.0.0.1:{self.port}"):
            self.cmd("SET", "1003", listen)
            self.start_service("START", serving=bool(listen))
            time.sleep(10)  # past the start
            used, elapsed = cpu_over(self.args.minutes * 60, [[self.service_pid()]])
            results.append((used[0], elapsed))
            self.stop_service()
        return results

    def pollers(self, port, name):
        clients = [SecondaryUpsmon(self.root / f"{name}-{i}", port, USER, PASSWORD, pollfreq=1).start()
                   for i in range(self.args.clients)]
        watcher = RawClient(port)
        try:
            wait_until(lambda: watcher.ask("GET NUMLOGINS ups") == f"NUMLOGINS ups {self.args.clients}", 60,
                       f"every client of {name} to log in")
        finally:
            watcher.close()
        return clients

    def serving_cost(self):
        """Ours and Network UPS Tools' server, each polled by its own clients, over the same minutes:
        (ours, upsd + dummy-ups, our prefix's wineserver) in CPU seconds, and the seconds measured."""
        reference = ReferenceUpsd(self.root / "reference-upsd", free_tcp_port(), USER, PASSWORD,
                                  values={"ups.model": "NV-Bench", "battery.charge": 100,
                                          "input.voltage": "230.0", "output.voltage": "230.0", "ups.load": 20})
        clients = []
        self.start_service("START")
        try:
            reference.start(wait_until)
            clients += self.pollers(self.port, "poller")
            clients += self.pollers(reference.port, "reference-poller")
            wineserver = wineserver_pid(self.session.prefix)
            used, elapsed = cpu_over(self.args.minutes * 60,
                                     [[self.service_pid()], reference.pids(), [wineserver] if wineserver else []])
        finally:
            for client in clients:
                client.stop()
            reference.stop()
        self.stop_service()
        return used, elapsed

    def run(self):
        self.session.start()
        self.cmd("SET", "1002", "en")
        self.cmd("SET", "4", str(self.args.wait_time))
        self.cmd("SET", "5", "cmd /c exit 0")
        self.cmd("SET", "6", str(self.args.excmdtime))
        for entry, value in (("1003", f"127.0.0.1:{self.port}"), ("1005", USER), ("1006", PASSWORD)):
            self.cmd("SET", entry, value)
        try:
            reach = self.reach()
            (off, off_time), (on, on_time) = self.idle_cost()
            (ours, reference, wineserver), busy_time = self.serving_cost()
            self.cmd("UNINSTALL")
        finally:
            self.session.stop()
        idle_cost = percent(on, on_time) - percent(off, off_time)
        ratio = f"{ours / reference:.2f}" if reference > 0 else "upsd + dummy-ups used no measurable CPU time"
        table = [
            "| Measure | Result |",
            "|---|---|",
            f"| Start of the shutdown sequence to a secondary upsmon's SHUTDOWNCMD, POLLFREQALERT {self.args.poll} s "
            f"({len(reach)} rounds) | min {min(reach):.3f} s, median {statistics.median(reach):.3f} s, "
            f"max {max(reach):.3f} s |",
            f"| CPU time of the service process, server off, no client, over {off_time / 60:.1f} min "
            f"| {off:.3f} s ({percent(off, off_time):.4f} % of one core) |",
            f"| CPU time of the service process, server on, no client, over {on_time / 60:.1f} min "
            f"| {on:.3f} s ({percent(on, on_time):.4f} % of one core) |",
            f"| Idle cost of the server: on minus off (target at most {IDLE_COST_PERCENT} % of one core) "
            f"| {idle_cost:+.4f} % of one core: {verdict(idle_cost <= IDLE_COST_PERCENT)} |",
            f"| CPU time of the service process, {self.args.clients} upsmon clients polling once a second, over "
            f"{busy_time / 60:.1f} min | {ours:.3f} s ({percent(ours, busy_time):.3f} % of one core) |",
            f"| CPU time of Network UPS Tools' upsd + dummy-ups (Debian's nut-server), {self.args.clients} more "
            f"upsmon clients polling once a second, over the same minutes "
            f"| {reference:.3f} s ({percent(reference, busy_time):.3f} % of one core) |",
            f"| Ratio: our service process / upsd + dummy-ups | {ratio} |",
            f"| Our Wine prefix's wineserver over the same minutes (Windows has none) "
            f"| {wineserver:.2f} s ({percent(wineserver, busy_time):.3f} % of one core) |",
        ]
        out = BUILD_DIR / "bench" / "results-nut.md"
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text("\n".join(table) + "\n")
        print("\n".join(table))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--poll", type=int, default=1, help="the secondary's POLLFREQ and POLLFREQALERT")
    parser.add_argument("--wait-time", type=int, default=2)
    parser.add_argument("--excmdtime", type=int, default=15)
    parser.add_argument("--minutes", type=float, default=2)
    parser.add_argument("--clients", type=int, default=10)
    Bench(parser.parse_args()).run()


if __name__ == "__main__":
    main()
