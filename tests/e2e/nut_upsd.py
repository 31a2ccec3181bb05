"""Debian's real Network UPS Tools server (upsd, package nut-server) serving one simulated UPS through the
dummy-ups driver, private to one test: the UPS that the service follows over the network in the end-to-end
tests. Not a test by itself; `python3 tests/e2e/nut_upsd.py` runs its self-check.

Everything lives in the folder the test gives: the configuration (NUT_CONFPATH), the driver's socket
(NUT_STATEPATH) and the PID files (NUT_ALTPIDPATH); /etc/nut and /run/nut are never read or written. Both
programs run as root (`-u root`) in the foreground (`-F`), each a child of the test, so that stopping one is
killing one known process.

The driver reads its data file in mode `dummy-once`: it reads the file to the end once, then again each time
the file's modification time changes, which it looks at every `pollinterval` (1 s here). (`dummy-loop`
would replay the file over and over; its default for *.dev files is `dummy-once` anyway.) A change is
written as a new file renamed over the old one, so the driver never reads half of one, and the modification
time is moved on by at least a whole second each time, so that two changes within one second are two
changes. The variables a change leaves out keep their last value in the driver.

FSD sent to upsd is a latch of upsd itself: it stays in `ups.status` until upsd is restarted (stop/start)."""
import os
import pathlib
import socket
import subprocess
import tempfile
import time

from nut_clients import UPSC, free_tcp_port, run_client

DUMMY_UPS = "/lib/nut/dummy-ups"
UPSD = "/lib/nut/upsd"  # Debian's /sbin/upsd is a wrapper that wants /etc/nut/nut.conf

# A plausible small UPS on mains.
DEFAULT_VARIABLES = {
    "ups.status": "OL",
    "ups.model": "Smart 1500",
    "ups.mfr": "Test Power",
    "input.voltage": "230.0",
    "input.frequency": "50.0",
    "output.voltage": "230.0",
    "output.frequency": "50.0",
    "ups.load": "23",
    "battery.voltage": "27.1",
    "ups.temperature": "31.5",
    "battery.charge": "100",
}

# A socket's path has at most 107 bytes on Linux; a longer state folder is reached through a short link.
SOCKET_PATH_LIMIT = 100


def quoted(value):
    return '"' + str(value).replace("\\", "\\\\").replace('"', '\\"') + '"'


class NutUpsd:
    """upsd with one dummy-ups UPS on 127.0.0.1:<free port>.

    start() starts the driver (the first time) and upsd; stop() stops upsd alone (a server lost during an
    outage), and start() brings it back; close() stops both. As a context manager: start() and close().
    `address` is what a client is given: <ups>@127.0.0.1:<port>.

    Users of upsd.users: `follower` (upsmon secondary: what the followed computer logs in as), `admin`
    (actions FSD and SET, every instant command) and `primary` (upsmon primary, for an upsmon beside us);
    their passwords are in `passwords`."""

    def __init__(self, folder, ups="ups", variables=None, port=None, maxage=15, timeout=30):
        self.folder = pathlib.Path(folder)
        self.ups = ups
        self.variables = dict(DEFAULT_VARIABLES if variables is None else variables)
        self.port = port or free_tcp_port()
        self.maxage = maxage
        self.timeout = timeout  # seconds allowed for any change to show in upsc
        self.conf = self.folder / "conf"
        self.state = self.folder / "state"
        self.data_file = self.conf / f"{ups}.dev"
        self.passwords = {"follower": "follower-pass", "admin": "admin-pass", "primary": "primary-pass"}
        self.driver = None
        self.upsd = None
        self.fsd_set = False
        self._mtime = 0
        self._link_folder = None

    @property
    def address(self):
        return f"{self.ups}@127.0.0.1:{self.port}"

    # --- configuration -------------------------------------------------------------------------

    def _write_configuration(self):
        for sub in (self.conf, self.state):
            sub.mkdir(parents=True, exist_ok=True)
            sub.chmod(0o700)
        files = {
            "nut.conf": "MODE=netserver\n",
            "ups.conf": (f"[{self.ups}]\n"
                         "\tdriver = dummy-ups\n"
                         f"\tport = {self.data_file}\n"
                         "\tmode = dummy-once\n"
                         "\tpollinterval = 1\n"
                         '\tdesc = "Simulated UPS"\n'),
            "upsd.conf": (f"LISTEN 127.0.0.1 {self.port}\n"
                          f"MAXAGE {self.maxage}\n"
                          f"STATEPATH {self.statepath}\n"),
            "upsd.users": (f"[follower]\n\tpassword = {self.passwords['follower']}\n\tupsmon secondary\n"
                           f"[admin]\n\tpassword = {self.passwords['admin']}\n"
                           "\tactions = FSD\n\tactions = SET\n\tinstcmds = all\n"
                           f"[primary]\n\tpassword = {self.passwords['primary']}\n\tupsmon primary\n"),
        }
        for name, text in files.items():
            path = self.conf / name
            path.write_text(text)
            path.chmod(0o600)
        self._write_data_file()

    @property
    def statepath(self):
        """The state folder as the programs are given it: a short link to it when its own path would make
        the driver's socket path too long."""
        if len(str(self.state / f"dummy-ups-{self.ups}")) < SOCKET_PATH_LIMIT:
            return self.state
        if self._link_folder is None:
            self._link_folder = pathlib.Path(tempfile.mkdtemp(prefix="nut-"))
            (self._link_folder / "s").symlink_to(self.state)
        return self._link_folder / "s"

    def _write_data_file(self):
        fresh = self.data_file.with_suffix(".new")
        fresh.write_text("".join(f"{name}: {quoted(value)}\n" for name, value in self.variables.items()))
        # A whole second later than the last change at least: the driver may compare whole seconds.
        self._mtime = max(int(time.time()), self._mtime + 1)
        os.utime(fresh, (self._mtime, self._mtime))
        os.replace(fresh, self.data_file)

    def _environment(self):
        env = dict(os.environ)
        env.update(NUT_CONFPATH=str(self.conf), NUT_STATEPATH=str(self.statepath),
                   NUT_ALTPIDPATH=str(self.statepath))
        return env

    def _spawn(self, name, args):
        with open(self.folder / f"{name}.log", "ab") as log:
            return subprocess.Popen(args, env=self._environment(), stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=subprocess.STDOUT, start_new_session=True)

    def log(self, name):
        """The output of `driver` or `upsd` so far."""
        path = self.folder / f"{name}.log"
        return path.read_text(errors="replace") if path.exists() else ""

    # --- processes -----------------------------------------------------------------------------

    def start(self):
        """Starts the driver unless it runs, then upsd; returns once upsc shows the given ups.status."""
        if self.driver is None:
            self._write_configuration()
            self.driver = self._spawn("driver", [DUMMY_UPS, "-a", self.ups, "-u", "root", "-F"])
            socket_file = self.state / f"dummy-ups-{self.ups}"
            self._wait(lambda: socket_file.exists() or self.driver.poll() is not None, "the driver's socket")
            if self.driver.poll() is not None:
                raise RuntimeError(f"dummy-ups ended with {self.driver.returncode}:\n{self.log('driver')}")
        if self.upsd is None:
            self.upsd = self._spawn("upsd", [UPSD, "-u", "root", "-F"])
            self.fsd_set = False  # the latch lives in upsd
            try:
                self._wait(lambda: self.upsd.poll() is not None or self._shows_given_status(),
                           "upsd to show the driver's ups.status")
            except AssertionError:
                self.close()
                raise
            if self.upsd.poll() is not None:
                code = self.upsd.returncode
                self.close()
                raise RuntimeError(f"upsd ended with {code}:\n{self.log('upsd')}")
        return self

    def _shows_given_status(self):
        # Until the driver's first data reach it, upsd shows a status of its own (WAIT).
        shown = self.status()
        given = self.variables.get("ups.status")
        return shown == given if given else shown not in (None, "WAIT")

    def stop(self):
        """Stops upsd alone; the driver and its data stay."""
        self.upsd = self._end(self.upsd)

    def close(self):
        """Stops upsd and the driver, and removes the state folder's link if one was made."""
        self.upsd = self._end(self.upsd)
        self.driver = self._end(self.driver)
        if self._link_folder is not None:
            (self._link_folder / "s").unlink(missing_ok=True)
            self._link_folder.rmdir()
            self._link_folder = None

    @staticmethod
    def _end(proc):
        if proc is not None and proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=10)
        return None

    def pids(self):
        """Every process that runs with this server's configuration folder (none once closed)."""
        marker = f"NUT_CONFPATH={self.conf}".encode()
        pids = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if marker in pathlib.Path(f"/proc/{entry}/environ").read_bytes().split(b"\0"):
                        pids.append(int(entry))
                except OSError:
                    continue
        return pids

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    # --- what clients see ----------------------------------------------------------------------

    def _wait(self, predicate, what, timeout=None):
        deadline = time.monotonic() + (timeout or self.timeout)
        while not predicate():
            if time.monotonic() >= deadline:
                raise AssertionError(f"timed out after {timeout or self.timeout} s waiting for {what}")
            time.sleep(0.1)

    def status(self):
        """ups.status as upsc prints it, or None while upsc fails."""
        code, out, _ = run_client(UPSC, self.address, "ups.status")
        return out.strip() if code == 0 else None

    def read(self):
        """Every variable upsc lists, as a dict (empty while upsc fails)."""
        code, out, _ = run_client(UPSC, self.address)
        if code != 0:
            return {}
        return dict(line.split(": ", 1) for line in out.splitlines() if ": " in line)

    def write_vars(self, values):
        """Changes these variables in the driver's data file and returns at once; the driver reads the
        file within its poll interval (1 s)."""
        self.variables.update({name: str(value) for name, value in values.items()})
        self._write_data_file()

    def set_vars(self, values):
        """Changes these variables of the UPS and waits until upsc shows every one of them."""
        self.write_vars(values)
        expected = {name: str(value) for name, value in values.items()}
        if "ups.status" in expected and self.fsd_set:
            expected["ups.status"] = "FSD " + expected["ups.status"]
        self._wait(lambda: all(self.read().get(name) == value for name, value in expected.items()),
                   f"upsc to show {expected}")

    def set_status(self, status):
        """ups.status of the driver, e.g. "OB LB"; upsd shows it after FSD once that is set."""
        self.set_vars({"ups.status": status})

    def fsd(self):
        """Sends FSD for the UPS as the admin user, as a primary upsmon does, and waits until upsc shows it.
        Returns the Unix time at which upsd answered the FSD with OK: it sets the flag before it answers."""
        # The file object holds the socket open as well: both are closed on leaving.
        with socket.create_connection(("127.0.0.1", self.port), timeout=self.timeout) as sock, \
                sock.makefile("rwb") as lines:
            for line, answer in (("USERNAME admin", "OK"), (f"PASSWORD {self.passwords['admin']}", "OK"),
                                 (f"FSD {self.ups}", "OK FSD-SET")):
                lines.write(line.encode() + b"\n")
                lines.flush()
                got = lines.readline().decode().strip()
                answered_at = time.time()
                if got != answer:
                    raise AssertionError(f"upsd answered {got!r} to {line.split()[0]}")
            lines.write(b"LOGOUT\n")
            lines.flush()
        self.fsd_set = True
        self._wait(lambda: (self.status() or "").split()[:1] == ["FSD"], "upsc to show FSD")
        return answered_at

    def clients(self):
        """The addresses upsd lists as logged in to the UPS (`upsc -c`)."""
        code, out, err = run_client(UPSC, "-c", self.address)
        if code != 0:
            raise AssertionError(f"upsc -c failed: {err.strip()}")
        return [line.strip() for line in out.splitlines() if line.strip()]


def _self_check():
    """Runs the fixture through what the tests will ask of it and prints what it saw."""
    import shutil
    import sys

    sys.stdout.reconfigure(line_buffering=True)
    etc_before = sorted(os.listdir("/etc/nut")) if os.path.isdir("/etc/nut") else None
    ours = []

    def timed(what, call):
        started = time.monotonic()
        call()
        print(f"  {what}: {time.monotonic() - started:.2f} s")

    for label, base in (("short folder", tempfile.mkdtemp(prefix="nutcheck-")),
                        ("long folder", tempfile.mkdtemp(prefix="nutcheck-" + "x" * 60))):
        print(f"{label}: {base}")
        server = NutUpsd(pathlib.Path(base) / "upsd")
        started = time.monotonic()
        with server:
            print(f"  started in {time.monotonic() - started:.2f} s at {server.address},"
                  f" state folder given as {server.statepath}")
            ours.extend(server.pids())
            seen = server.read()
            missing = {k: v for k, v in DEFAULT_VARIABLES.items() if seen.get(k) != v}
            assert not missing, f"upsc differs from the data file: {missing} (upsc: {seen})"
            print(f"  upsc shows the {len(DEFAULT_VARIABLES)} given variables; device.model={seen.get('device.model')!r}")
            for status in ("OB", "OB LB", "OL", "OB", "OL"):
                timed(f"set_status({status!r})", lambda: server.set_status(status))
            # A change right after the driver read the one before: its file's time is moved on.
            server.set_vars({"battery.charge": "41"})
            timed("set_vars(right after another change)",
                  lambda: server.set_vars({"battery.charge": "40", "input.voltage": "0.0"}))
            assert server.clients() == [], server.clients()
            with socket.create_connection(("127.0.0.1", server.port), timeout=10) as sock, \
                    sock.makefile("rwb") as lines:
                answers = []
                for line in ("USERNAME follower", f"PASSWORD {server.passwords['follower']}", f"LOGIN {server.ups}"):
                    lines.write(line.encode() + b"\n")
                    lines.flush()
                    answers.append(lines.readline().decode().strip())
                assert answers == ["OK", "OK", "OK"], answers
                print(f"  follower logged in; clients() = {server.clients()}")
                assert server.clients() == ["127.0.0.1"], server.clients()
            server._wait(lambda: server.clients() == [], "the follower to leave the client list")
            print("  clients() empty again once the follower's connection closed")
            timed("fsd()", server.fsd)
            print(f"  status after fsd(): {server.status()!r}")
            server.set_status("OB LB")
            print(f"  status after set_status('OB LB') with FSD set: {server.status()!r}")
            timed("stop() upsd", server.stop)
            code, _, err = run_client(UPSC, server.address, "ups.status")
            assert code != 0
            print(f"  upsc while upsd is stopped: exit {code}, {err.strip().splitlines()[-1]!r}")
            timed("start() upsd again", server.start)
            print(f"  status after the restart: {server.status()!r} (the FSD latch went with the old upsd)")
            assert server.status() == "OB LB"
        left = server.pids()
        assert left == [], f"processes left: {left}"
        print("  closed: no process with its configuration left")
        shutil.rmtree(base)
    pgrep = subprocess.run(["pgrep", "-x", "upsd|dummy-ups"], capture_output=True, text=True).stdout.split()
    assert not set(map(int, pgrep)) & set(ours), pgrep
    print(f"pgrep -x 'upsd|dummy-ups' after all: {pgrep or 'none'} (ours were {sorted(set(ours))})")
    etc_after = sorted(os.listdir("/etc/nut")) if os.path.isdir("/etc/nut") else None
    assert etc_before == etc_after
    print("/etc/nut unchanged; self-check passed")


if __name__ == "__main__":
    _self_check()
