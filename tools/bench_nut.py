"""Benchmark of the network UPS protocol server under Wine (run by scripts/bench-nut.sh; not a test).

1. Reach of the shutdown: the time from the start of our shutdown sequence to the SHUTDOWNCMD of a
   secondary `upsmon` (Debian's nut-client) with the given poll interval. The start of the sequence
   is the moment FSD appears in ups.status, watched by a client asking every 20 ms; EXCMD holds the
   output-off for EXCMDTIME meanwhile, as on a real installation.
2. Cost of serving: CPU time of the service process while 10 `upsmon` clients poll once a second,
   against the same time with the server on and no client.
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
from bench_road import BenchInstallation, cpu_seconds, service_pids  # noqa: E402
from conftest import BUILD_DIR, wait_until  # noqa: E402
from nut_clients import RawClient, SecondaryUpsmon, free_tcp_port  # noqa: E402

USER, PASSWORD = "bench", "bench-pw"


class Bench(BenchInstallation):
    def __init__(self, args):
        self.root = BUILD_DIR / "bench-nut"
        if self.root.exists():
            shutil.rmtree(self.root)
        super().__init__(self.root / "Voltwarden Bench", "bench-nut")
        self.args = args
        self.port = free_tcp_port()

    def start_service(self, verb):
        before = sum(1 for t in self.logs.event_texts() if t.startswith("UPS connected:"))
        self.cmd(verb)
        wait_until(lambda: sum(1 for t in self.logs.event_texts() if t.startswith("UPS connected:")) > before, 60,
                   "the service to connect")
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
            self.cmd("STOP")
            wait_until(lambda: not service_pids(self.inst.folder), 60, "the service to stop")
        return results

    def cpu_over(self, seconds):
        pids = service_pids(self.inst.folder)
        if len(pids) != 1:
            raise RuntimeError(f"expected one service process, found {pids}")
        start_cpu, start = cpu_seconds(pids[0]), time.monotonic()
        time.sleep(seconds)
        return cpu_seconds(pids[0]) - start_cpu, time.monotonic() - start

    def serving_cost(self):
        seconds = self.args.minutes * 60
        self.start_service("START")
        time.sleep(5)
        idle = self.cpu_over(seconds)
        clients = [SecondaryUpsmon(self.root / f"poller-{i}", self.port, USER, PASSWORD, pollfreq=1).start()
                   for i in range(self.args.clients)]
        try:
            watcher = RawClient(self.port)
            wait_until(lambda: watcher.ask("GET NUMLOGINS ups") == f"NUMLOGINS ups {self.args.clients}", 60,
                       "every client to log in")
            watcher.close()
            busy = self.cpu_over(seconds)
        finally:
            for client in clients:
                client.stop()
        self.cmd("STOP")
        return idle, busy

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
            idle, busy = self.serving_cost()
            self.cmd("UNINSTALL")
        finally:
            self.session.stop()
        table = [
            "| Measure | Result |",
            "|---|---|",
            f"| Start of the shutdown sequence to a secondary upsmon's SHUTDOWNCMD, POLLFREQALERT {self.args.poll} s "
            f"({len(reach)} rounds) | min {min(reach):.3f} s, median {statistics.median(reach):.3f} s, "
            f"max {max(reach):.3f} s |",
            f"| CPU time of the service process, server on, no client, over {idle[1] / 60:.1f} min "
            f"| {idle[0]:.2f} s ({100 * idle[0] / idle[1]:.2f} % of one core) |",
            f"| CPU time of the service process, {self.args.clients} upsmon clients polling once a second, over "
            f"{busy[1] / 60:.1f} min | {busy[0]:.2f} s ({100 * busy[0] / busy[1]:.2f} % of one core) |",
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
