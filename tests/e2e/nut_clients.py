"""Debian's real Network UPS Tools clients (package nut-client), run natively on the host against the
service's protocol server on 127.0.0.1, and a raw protocol connection for what no real client sends.

upsmon is kept away from the system: it runs in a private mount and PID namespace (so its PID file in
the compiled-in /run/nut lands in a test folder and all its processes end with it), reads its
configuration from a private folder, and finds a private `wall` first in PATH. Its SHUTDOWNCMD only
writes the time into a marker file.

Debian's python3-nut (PyNUT) runs under the system's own interpreter, and nut-cgi's pages run as a web
server would run them: a CGI program with a private configuration folder."""
import json
import os
import pathlib
import shutil
import socket
import subprocess
import time

UPSC = "/usr/bin/upsc"
UPSRW = "/usr/bin/upsrw"
UPSCMD = "/usr/bin/upscmd"
UPSMON = "/lib/nut/upsmon"  # Debian's /sbin/upsmon is a wrapper that wants /etc/nut/nut.conf
SYSTEM_PYTHON = "/usr/bin/python3"  # the interpreter python3-nut installs PyNUT for
CGI_DIR = pathlib.Path("/usr/lib/cgi-bin/nut")
# nut-cgi ships its page templates with its example configuration; they are copied, never changed.
CGI_TEMPLATES = [pathlib.Path("/etc/nut/upsstats.html"), pathlib.Path("/etc/nut/upsstats-single.html")]


def free_tcp_port():
    """A port on 127.0.0.1 that nobody listens on now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_client(program, *args, timeout=20):
    """Runs one of nut-client's programs with these arguments and no input (so it never waits for a
    typed user or password); returns (exit code, stdout text, stderr text)."""
    proc = subprocess.run([program, *args], stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout,
                          text=True)
    return proc.returncode, proc.stdout, proc.stderr


def upsc(*args, timeout=20):
    """Runs upsc with these arguments; returns (exit code, stdout text, stderr text)."""
    return run_client(UPSC, *args, timeout=timeout)


def upsc_variables(port):
    """`upsc ups@...` as a dict, or None when it failed."""
    code, out, _ = upsc(f"ups@127.0.0.1:{port}")
    if code != 0:
        return None
    return dict(line.split(": ", 1) for line in out.splitlines() if ": " in line)


def upsc_status(port):
    """ups.status as upsc prints it, or None while upsc fails (no server, stale data)."""
    code, out, _ = upsc(f"ups@127.0.0.1:{port}", "ups.status")
    return out.strip() if code == 0 else None


PYNUT_SESSION = r"""
import json, sys
import PyNUT
port, login, password, ups = int(sys.argv[1]), sys.argv[2] or None, sys.argv[3] or None, sys.argv[4]
client = PyNUT.PyNUTClient(host="127.0.0.1", port=port, login=login, password=password, timeout=10)
text = lambda answer: {key.decode(): value.decode() for key, value in answer.items()}
answers = {"ups": text(client.GetUPSList()), "vars": text(client.GetUPSVars(ups)),
           "commands": text(client.GetUPSCommands(ups)), "rw": text(client.GetRWVars(ups)),
           "ver": client.ver().decode()}
refused = {}
for name, call in (("FSD", lambda: client.FSD(ups)), ("SetRWVar", lambda: client.SetRWVar(ups, "ups.id", "x")),
                   ("RunUPSCommand", lambda: client.RunUPSCommand(ups, "load.off"))):
    try:
        refused[name] = "accepted: " + str(call())
    except PyNUT.PyNUTError as error:
        refused[name] = str(error)
answers["refused"] = refused
answers["status after the refusals"] = text(client.GetUPSVars(ups))["ups.status"]
print(json.dumps(answers))
"""


def pynut_session(port, ups, login=None, password=None, timeout=60):
    """One PyNUTClient (with login/password when given) asking for the UPS list and the UPS's
    variables, commands and writable variables, then trying FSD, SetRWVar and RunUPSCommand (each
    answered with its error text) and reading the variables once more. Returns (exit code, the
    answers as a dict of text or None, stderr text)."""
    proc = subprocess.run([SYSTEM_PYTHON, "-c", PYNUT_SESSION, str(port), login or "", password or "", ups],
                          capture_output=True, timeout=timeout, text=True)
    answers = json.loads(proc.stdout) if proc.returncode == 0 else None
    return proc.returncode, answers, proc.stderr


def cgi_folder(folder, *monitor_lines):
    """A private configuration folder for nut-cgi: hosts.conf with these MONITOR lines and the
    page templates."""
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "hosts.conf").write_text("".join(line + "\n" for line in monitor_lines))
    for template in CGI_TEMPLATES:
        shutil.copy2(template, folder / template.name)
    return folder


def run_cgi(program, query, conf_folder, timeout=60):
    """Runs one of nut-cgi's programs as a web server runs a GET request; returns (exit code,
    output bytes). The overview page of nut-cgi 2.8.0 reads hosts.conf from the compiled-in /etc/nut
    whatever NUT_CONFPATH says, so the program runs in a private mount namespace in which the
    private folder stands over /etc/nut; the machine's own folder is never touched."""
    env = dict(os.environ, REQUEST_METHOD="GET", QUERY_STRING=query, NUT_CONFPATH=str(conf_folder))
    proc = subprocess.run(["unshare", "--mount", "sh", "-c", 'mount --bind "$1" /etc/nut && exec "$2"', "sh",
                           str(conf_folder), str(CGI_DIR / program)],
                          env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    return proc.returncode, proc.stdout + proc.stderr


class RawClient:
    """One protocol connection, line by line."""

    def __init__(self, port, timeout=20):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.pending = b""

    def send(self, data):
        self.sock.sendall(data)

    def line(self):
        """The next answer line, or None once the server has closed the connection."""
        while b"\n" not in self.pending:
            try:
                chunk = self.sock.recv(4096)
            except (ConnectionResetError, ConnectionAbortedError):
                chunk = b""
            if not chunk:
                return None
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode("latin-1")

    def ask(self, text):
        self.send(text.encode("latin-1") + b"\n")
        return self.line()

    def ask_list(self, query):
        """Sends `LIST <query>`; returns the item lines between BEGIN and END, or the answer line
        (an ERR) when the list was refused."""
        first = self.ask(f"LIST {query}")
        if first != f"BEGIN LIST {query}":
            return first
        items = []
        while (line := self.line()) != f"END LIST {query}":
            assert line is not None, f"the connection closed inside LIST {query}"
            items.append(line)
        return items

    def close(self):
        self.sock.close()


class SecondaryUpsmon:
    """Debian's upsmon as a secondary of ups@127.0.0.1:port, in a private folder."""

    def __init__(self, folder, port, user, password, pollfreq=1):
        self.folder = pathlib.Path(folder)
        self.marker = self.folder / "shutdown-ran"
        self.output_file = self.folder / "upsmon.out"
        for sub in ("conf", "run", "state", "bin"):
            (self.folder / sub).mkdir(parents=True, exist_ok=True)
        wall = self.folder / "bin" / "wall"
        wall.write_text("#!/bin/sh\ncat >/dev/null\n")
        shutdown = self.folder / "bin" / "shutdown-marker"
        shutdown.write_text(f"#!/bin/sh\ndate +%s.%N > '{self.marker}'\n")
        for script in (wall, shutdown):
            script.chmod(0o755)
        conf = self.folder / "conf" / "upsmon.conf"
        conf.write_text(
            f"MONITOR ups@127.0.0.1:{port} 1 {user} {password} secondary\n"
            "MINSUPPLIES 1\n"
            f'SHUTDOWNCMD "{shutdown}"\n'
            f"POLLFREQ {pollfreq}\nPOLLFREQALERT {pollfreq}\n"
            "FINALDELAY 0\n"
            f"POWERDOWNFLAG {self.folder / 'state' / 'killpower'}\n"
            "RUN_AS_USER root\n")
        conf.chmod(0o600)
        self.proc = None

    def start(self):
        run = self.folder / "run"
        # /run/nut is where upsmon 2.8.0 writes its PID file whatever it is told; inside the private
        # mount namespace a folder of ours stands there (a private /run when the system has none).
        script = (f"if [ -d /run/nut ]; then mount --bind '{run}' /run/nut; "
                  "else mount -t tmpfs tmpfs /run && mkdir /run/nut; fi && "
                  f"exec {UPSMON} -F -u root")
        env = dict(os.environ)
        env.update(PATH=f"{self.folder / 'bin'}:{env.get('PATH', '/usr/bin:/bin')}",
                   NUT_CONFPATH=str(self.folder / "conf"), NUT_STATEPATH=str(self.folder / "state"),
                   NUT_ALTPIDPATH=str(run))
        with open(self.output_file, "wb") as out:
            self.proc = subprocess.Popen(["unshare", "--mount", "--pid", "--fork", "--kill-child", "sh", "-c", script],
                                         env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        return self

    def shutdown_time(self):
        """The Unix time at which the SHUTDOWNCMD ran, or None."""
        try:
            return float(self.marker.read_text().strip())
        except (FileNotFoundError, ValueError):
            return None

    def output(self):
        return self.output_file.read_text(errors="replace") if self.output_file.exists() else ""

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()  # --kill-child takes the namespace's processes with it
            self.proc.wait(timeout=30)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def listening_tcp_ports(pids):
    """The TCP ports in LISTEN state whose sockets the given processes hold open."""
    inodes = set()
    for pid in pids:
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                try:
                    target = os.readlink(f"/proc/{pid}/fd/{fd}")
                except OSError:
                    continue
                if target.startswith("socket:["):
                    inodes.add(target[8:-1])
        except OSError:
            continue
    ports = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            lines = pathlib.Path(table).read_text().splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            fields = line.split()
            if fields[3] == "0A" and fields[9] in inodes:
                ports.add(int(fields[1].rsplit(":", 1)[1], 16))
    return ports


def wine_processes(prefix):
    """The processes of a Wine prefix (its wineserver and every program it runs)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            environ = pathlib.Path(f"/proc/{entry}/environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if f"WINEPREFIX={prefix}".encode() in environ:
            pids.append(int(entry))
    return pids



def service_processes(folder):
    """The Unix processes in which Wine runs this folder's Voltwarden.exe (the service, or a console
    command of it meanwhile)."""
    fragment = str(folder).replace("/", "\\").lower()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            line = pathlib.Path(f"/proc/{entry}/cmdline").read_bytes().replace(b"\0", b" ").decode("latin-1")
        except OSError:
            continue
        if "voltwarden.exe" in line.lower() and fragment in line.lower():
            pids.append(int(entry))
    return pids


def wineserver_of(prefix):
    """The wineserver process of a Wine prefix, or None."""
    for pid in wine_processes(prefix):
        try:
            if pathlib.Path(f"/proc/{pid}/comm").read_text().startswith("wineserver"):
                return pid
        except OSError:
            continue
    return None


CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """utime + stime of the whole Unix process, its ended threads included (10 ms ticks)."""
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def flood_without_reading(sock, line, quiet=0.5, limit=30):
    """Sends `line` again and again on the socket and never reads, until neither the server nor the
    connection takes more for `quiet` seconds (or `limit` seconds have passed). Returns the bytes sent."""
    chunk = (line.encode("latin-1") + b"\n") * max(1, 4096 // (len(line) + 1))
    sock.setblocking(False)
    sent, last_progress = 0, time.monotonic()
    started = last_progress
    while time.monotonic() - last_progress < quiet and time.monotonic() - started < limit:
        try:
            sent += sock.send(chunk)
            last_progress = time.monotonic()
        except BlockingIOError:
            time.sleep(0.05)
    return sent
