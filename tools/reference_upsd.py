"""Network UPS Tools' own server from Debian's nut-server, for comparison: `upsd` with the `dummy-ups`
driver serving one UPS of fixed values, run as the current user from private configuration and state
folders on a private port on 127.0.0.1. The machine's own NUT setup (/etc/nut, its services and
/run/nut) is never read or touched: NUT_CONFPATH, NUT_STATEPATH and NUT_ALTPIDPATH point into the
given folder, and both programs stay in the foreground, so they write no PID file."""
import getpass
import pathlib
import shutil
import subprocess

from nut_clients import upsc_status  # tests/e2e, on the path of the benchmark that uses this

NUT_PROGRAMS = pathlib.Path("/lib/nut")  # where nut-server installs upsd and its drivers


class ReferenceUpsd:
    def __init__(self, folder, port, user, password, ups="ups", values=None):
        self.folder = pathlib.Path(folder)
        self.port = port
        self.conf = self.folder / "conf"
        self.state = self.folder / "state"
        if self.folder.exists():
            shutil.rmtree(self.folder)
        self.conf.mkdir(parents=True)
        self.state.mkdir(mode=0o700)
        self.account = getpass.getuser()
        dev = {"device.type": "ups", "ups.status": "OL", **(values or {})}
        files = {
            "ups.conf": f'user = {self.account}\n[{ups}]\n  driver = dummy-ups\n  port = {ups}.dev\n'
                        '  desc = "Comparison UPS"\n',
            f"{ups}.dev": "".join(f"{name}: {value}\n" for name, value in dev.items()),
            "upsd.conf": f"LISTEN 127.0.0.1 {port}\n",
            "upsd.users": f"[{user}]\n  password = {password}\n  upsmon secondary\n",
        }
        for name, text in files.items():
            (self.conf / name).write_text(text)
            (self.conf / name).chmod(0o600)
        self.ups = ups
        self.processes = []

    def _start(self, *args, log):
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "NUT_CONFPATH": str(self.conf),
               "NUT_STATEPATH": str(self.state), "NUT_ALTPIDPATH": str(self.state)}
        with open(self.folder / log, "wb") as out:
            process = subprocess.Popen([*args, "-F", "-u", self.account], env=env, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=subprocess.STDOUT)
        self.processes.append(process)
        return process

    def start(self, wait_until):
        """Starts the driver, waits for its socket, then starts upsd and waits until it answers the
        UPS's status."""
        self._start(str(NUT_PROGRAMS / "dummy-ups"), "-a", self.ups, log="dummy-ups.log")
        wait_until(lambda: any(self.state.glob(f"dummy-ups-{self.ups}*")) or self._ended(), 30,
                   "the dummy-ups driver's socket")
        self._start(str(NUT_PROGRAMS / "upsd"), log="upsd.log")
        wait_until(lambda: "listening on" in self.log("upsd.log") or self._ended(), 30, "upsd to listen")
        if self._ended():
            raise RuntimeError(f"Network UPS Tools' server did not start:\n{self.log('dummy-ups.log')}\n"
                               f"{self.log('upsd.log')}")
        wait_until(lambda: upsc_status(self.port) == "OL", 60, "upsd to answer the UPS's status")
        return self

    def _ended(self):
        return any(process.poll() is not None for process in self.processes)

    def log(self, name):
        path = self.folder / name
        return path.read_text(errors="replace") if path.exists() else ""

    def pids(self):
        """upsd's and the driver's process ids."""
        return [process.pid for process in self.processes]

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
        for process in self.processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=30)
        self.processes = []
