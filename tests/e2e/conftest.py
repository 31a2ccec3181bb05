"""Shared fixtures for end-to-end tests: a deployed copy of build/dist under Wine.

The Wine prefix and its wineserver are started by scripts/test.sh; every test gets
its own installation folder so that settings, logs and status files never leak
from one test to the next.
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

SOURCE_DIR = pathlib.Path(os.environ.get("VW_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
# The build folder the README names, relative to the checkout; BUILD_DIR may lie elsewhere.
DEFAULT_BUILD = "build/main"
BUILD_DIR = pathlib.Path(os.environ.get("VW_BUILD_DIR", SOURCE_DIR / DEFAULT_BUILD))
DIST_DIR = BUILD_DIR / "dist"
SIM_DLL = BUILD_DIR / "sim" / "NervaUPSLib.dll"


# Wine's loader now and then asserts in glibc's dl-fini when a process ends, after the Windows
# program has done its work; the process then ends with 127 instead of its own exit code. The
# Wine processes a test runs are watched for it, and the tests that met it are listed at the end
# of the run, so that tests/run_test_program.py can tell that fault from a failure of our own.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from run_test_program import LOADER_FAULT, LOADER_FAULT_HEADING  # noqa: E402

_running_test = [None]
_tests_that_met_the_loader_fault = []


def note_loader_fault(stderr):
    """Records the running test when a Wine process's standard error shows the loader fault."""
    test = _running_test[0]
    if stderr and LOADER_FAULT.encode() in stderr and test and test not in _tests_that_met_the_loader_fault:
        _tests_that_met_the_loader_fault.append(test)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    _running_test[0] = item.nodeid
    yield
    _running_test[0] = None


def pytest_terminal_summary(terminalreporter):
    if _tests_that_met_the_loader_fault:
        terminalreporter.write_line(LOADER_FAULT_HEADING)
        for test in _tests_that_met_the_loader_fault:
            terminalreporter.write_line("  " + test)


def windows_path(path):
    """The path as Wine's programs see it (drive Z: is the Linux root)."""
    return "Z:" + str(path).replace("/", "\\")


class Installation:
    """One deployed program folder, optionally with the UPS simulator beside the exe."""

    def __init__(self, folder):
        self.folder = pathlib.Path(folder)
        self.exe = self.folder / "Voltwarden.exe"

    def run(self, *args, stdin=b"", timeout=120, env=None, cwd=None):
        """Runs the exe under Wine; returns (exit code, stdout bytes, stderr bytes)."""
        run_env = dict(os.environ)
        if env:
            run_env.update(env)
        proc = subprocess.run(
            ["wine", str(self.exe), *args],
            input=stdin,
            capture_output=True,
            timeout=timeout,
            env=run_env,
            cwd=str(cwd or self.folder),
        )
        note_loader_fault(proc.stderr)
        return proc.returncode, proc.stdout, proc.stderr

    def file(self, name):
        return self.folder / name

    def read_bytes(self, name):
        path = self.file(name)
        return path.read_bytes() if path.exists() else b""


@pytest.fixture
def installation(tmp_path):
    """build/dist copied into a fresh folder (no UPS library)."""
    folder = tmp_path / "Voltwarden Test"
    shutil.copytree(DIST_DIR, folder)
    return Installation(folder)


@pytest.fixture
def installation_with_sim(installation):
    """build/dist plus the UPS simulator library beside the exe."""
    shutil.copy2(SIM_DLL, installation.folder / "NervaUPSLib.dll")
    return installation


# ---------------------------------------------------------------------------
# Service control manager helpers (the service name is global to the Wine prefix).

SERVICE_NAME = "VoltwardenBasicEdition"
E2E_SOURCE_DIR = pathlib.Path(__file__).resolve().parent


def console_text(output):
    """Console bytes as text with Windows line ends turned into "\\n"."""
    return output.replace(b"\r\n", b"\n").decode("latin-1")


def event_log_texts(installation):
    """The texts of the EventLog\\EventLog.csv lines, without their date and time."""
    raw = installation.read_bytes("EventLog/EventLog.csv").decode("latin-1")
    texts = []
    for line in raw.split("\r\n"):
        if line:
            parts = line.split(",", 2)
            texts.append(parts[2] if len(parts) == 3 else "<unstamped>" + line)
    return texts


def message_texts(installation, lang="en"):
    """The message table the program loads for LANG, as a dict (empty when missing)."""
    import json

    path = installation.file("msgtbl_jp.json" if lang == "jp" else "msgtbl_en.json")
    if not path.exists():
        return {}
    return json.loads(path.read_text(encoding="utf-8"))


class ServiceProbe:
    """Queries and controls the service through the service control manager."""

    def __init__(self, exe):
        self.exe = exe

    def run(self, *args, timeout=60):
        proc = subprocess.run(["wine", str(self.exe), SERVICE_NAME, *map(str, args)],
                              capture_output=True, timeout=timeout)
        note_loader_fault(proc.stderr)
        return proc.stdout.decode("latin-1").split()

    def state(self):
        """The service's state number, or None when it is not installed."""
        words = self.run("query")
        return int(words[1]) if words[:1] == ["STATE"] else None

    def accepted_controls(self):
        """The SERVICE_ACCEPT_ bits the service reports (Wine's sc query does not show them), or None."""
        words = self.run("query")
        return int(words[3]) if words[:1] == ["STATE"] and words[2:3] == ["ACCEPTS"] else None

    def control(self, verb, watch_ms=0):
        """Sends pause/continue/stop; returns (first reply words, [(ms, state), ...])."""
        words = self.run(verb, watch_ms, timeout=60 + watch_ms / 1000)
        changes = [(int(words[i]), int(words[i + 1])) for i in range(2, len(words) - 1, 2)]
        return words[:2], changes

    def wait_for_state(self, state, timeout=30.0):
        import time

        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.state() == state:
                return True
            time.sleep(0.2)
        return False

    def remove(self):
        """Stops and deletes the service if it is installed and waits until it is gone.
        Returns the probe's reply: ["REMOVED"] or ["ABSENT"] on success."""
        return self.run("remove", timeout=90)


def built_test_tool(name, *libraries):
    """tests/e2e/<name>.c built for Windows into <build>/e2e-tools/<name>.exe, again only when the
    source is newer; returns the exe's path."""
    out_dir = BUILD_DIR / "e2e-tools"
    out_dir.mkdir(parents=True, exist_ok=True)
    exe = out_dir / f"{name}.exe"
    source = E2E_SOURCE_DIR / f"{name}.c"
    if not exe.exists() or exe.stat().st_mtime < source.stat().st_mtime:
        # Built under a name of this process's own and then put in place in one step: the groups of
        # end-to-end modules run side by side and may build it at the same moment.
        scratch = out_dir / f"{name}.{os.getpid()}.exe"
        subprocess.run(["x86_64-w64-mingw32-gcc", "-O1", "-Wall", "-Werror", "-static", "-o", str(scratch),
                        str(source), *libraries], check=True)
        os.replace(scratch, exe)
    return exe


@pytest.fixture(scope="session")
def service_probe():
    """tests/e2e/service_probe.c built for Windows once per session."""
    return ServiceProbe(built_test_tool("service_probe", "-ladvapi32"))


# ---------------------------------------------------------------------------
# Wine's own tools (reg, sc, net), as an administrator would use them.

EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Voltwarden Basic Edition"
EVENT_MESSAGE_RENDER = BUILD_DIR / "tests" / "event_message_render.exe"


def run_wine_tool(*args, env=None, timeout=60):
    """Runs one of Wine's programs ("reg", "sc", "net" ...); returns (exit code, console text)."""
    proc = subprocess.run(["wine", *map(str, args)], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=timeout)
    note_loader_fault(proc.stderr)
    return proc.returncode, console_text(proc.stdout)


def registry_values(key, env=None):
    """The values of a registry key as `reg query` lists them, {name: (type, data)}; None when the
    key does not exist."""
    code, out = run_wine_tool("reg", "query", key, env=env)
    if code != 0:
        return None
    values = {}
    for line in out.split("\n"):
        found = re.match(r"^    (.+?)    (REG_[A-Z_]+)    (.*)$", line)
        if found:
            values[found.group(1)] = (found.group(2), found.group(3))
    return values


def sc_query_state(env=None):
    """The service's state number as `sc query` shows it, or None when it does not exist."""
    _, out = run_wine_tool("sc", "query", SERVICE_NAME, env=env)
    found = re.search(r"STATE\s*:\s*(\d+)", out)
    return int(found.group(1)) if found else None


def render_event_messages(message_file, text, identifiers):
    """Renders identifiers from the message table of `message_file` (a Windows path) as the
    Event Viewer does, with `text` as the insertion string: {identifier: "[rendered]" or "ER <code>"}."""
    code, out = run_wine_tool(EVENT_MESSAGE_RENDER, message_file, text, *(hex(i) for i in identifiers))
    rendered = {}
    for line in out.split("\n"):
        if line:
            number, _, result = line.partition(" ")
            rendered[int(number, 16) if number.startswith("0x") else number] = result
    return rendered


@pytest.fixture
def service_cleanup(service_probe):
    """Makes sure no service of ours and no key of its event source is there before the test,
    and removes the service after, even when the test fails."""
    gone = (["REMOVED"], ["ABSENT"])
    assert service_probe.remove() in gone, "a leftover service could not be removed"
    run_wine_tool("reg", "delete", EVENT_SOURCE_KEY, "/f")
    assert registry_values(EVENT_SOURCE_KEY) is None, "a leftover event source key could not be removed"
    yield service_probe
    assert service_probe.remove() in gone, "the service could not be removed after the test"


# ---------------------------------------------------------------------------------------------
# Whole-road scenarios: a private Wine session per scenario module, the simulated UPS's control
# file and call log, and readers for everything the service leaves behind.
# ---------------------------------------------------------------------------------------------
import calendar
import datetime
import json
import re
import time

WINE_SESSIONS_DIR = BUILD_DIR / "e2e-wine"
# What Wine writes when a process of it cannot map its shared user data page.
WINE_START_FAULT = b"failed to map the shared user data"


def wait_until(predicate, timeout, what, interval=0.2):
    """Polls predicate until it gives a true value and returns that value; fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


def tz_with_local_midnight_at(utc_instant):
    """A POSIX TZ string under which local midnight falls at utc_instant (a whole UTC minute).

    The C runtime inside a Wine service takes its time zone from Wine's bias, which counts whole
    minutes, so the offset is kept to whole minutes and both clocks agree to the second."""
    assert utc_instant % 60 == 0
    offset = (-utc_instant) % 86400  # seconds east of UTC that make utc_instant a local midnight
    if offset > 43200:
        offset -= 86400
    sign = "-" if offset >= 0 else "+"  # POSIX counts west as positive
    minutes = abs(offset) // 60
    return f"RWZ{sign}{minutes // 60:02d}:{minutes % 60:02d}", offset


class WineSession:
    """A Wine prefix with its own wineserver, started with a chosen environment.

    Wine's services.exe, and so every service it starts, inherits the environment and the standard
    error of the first process of a wineserver. A scenario that must see the service's debug
    channels, or run it under another time zone or code page, therefore boots its own prefix with
    that environment and keeps the first process's standard error in debug_log."""

    def __init__(self, name, utc_offset=None, **extra_env):
        self.prefix = WINE_SESSIONS_DIR / name
        # Seconds east of UTC of the programs' local time (the TZ given, else this machine's).
        self.utc_offset = utc_offset if utc_offset is not None else time.localtime().tm_gmtoff
        self.debug_log = WINE_SESSIONS_DIR / f"{name}-debug.log"
        self.env = dict(os.environ)
        self.env.update(
            WINEPREFIX=str(self.prefix),
            WINEARCH="win64",
            WINEDLLOVERRIDES="mscoree,mshtml=",
            WINEDEBUG="-all",
        )
        self.boot_env = dict(self.env)
        self.boot_env.update(extra_env)
        # Console commands run with the same clock and locale as the service, but quiet.
        self.env.update({k: v for k, v in extra_env.items() if k != "WINEDEBUG"})

    def start(self):
        self.prefix.mkdir(parents=True, exist_ok=True)
        self.stop()  # a server left over from an interrupted run would keep its old environment
        # A fresh prefix every time: a service that an earlier run left registered here would
        # start by itself with the prefix, since it is installed for automatic start.
        shutil.rmtree(self.prefix)
        self.prefix.mkdir(parents=True)
        for attempt in (1, 2):
            with open(self.debug_log, "wb") as log:
                subprocess.run(["wineserver", "-p"], env=self.boot_env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=True)
                booted = subprocess.run(["wine", "wineboot"], env=self.boot_env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=log, timeout=180)
            if booted.returncode == 0:
                return self
            # Now and then a Wine process cannot place the shared user data page at its fixed
            # address and dies before any program of ours runs. That is Wine's start failing, not
            # a test: the boot alone is made once more, and the run's list of second tries says so.
            if attempt == 2 or WINE_START_FAULT not in self.debug_log.read_bytes():
                break
            self.stop()
            shutil.rmtree(self.prefix)
            self.prefix.mkdir(parents=True)
            with open(BUILD_DIR / "retried-tests.txt", "a", encoding="utf-8") as record:
                record.write(f"Wine session {self.prefix.name}: wineboot booted again after Wine's start fault\n")
        raise subprocess.CalledProcessError(booted.returncode, ["wine", "wineboot"])

    def unix_time(self, local):
        """A naive local datetime written by a program of this session, as a Unix time."""
        return calendar.timegm(local.timetuple()) + local.microsecond / 1e6 - self.utc_offset

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def run(self, installation, *args, stdin=b"", timeout=120):
        return installation.run(*args, stdin=stdin, timeout=timeout, env=self.env)

    def windows_events(self):
        return parse_windows_events(self.debug_log.read_bytes() if self.debug_log.exists() else b"")

    def service_state(self):
        """The service's state number as `sc query` shows it, or None when it does not exist."""
        return sc_query_state(self.env)


_REPORT_EVENT = re.compile(rb"^([0-9a-f]+):fixme:advapi:ReportEventA \([^,]*,0x([0-9a-f]+),0x[0-9a-f]+,0x([0-9a-f]+),")
_REPORT_TEXT = re.compile(rb'^([0-9a-f]+):[a-z]+:eventlog:ReportEventW L"(.*)"\s*$')


def _unescape_wine_debug_string(text):
    """Undoes the escaping of Wine's debugstr_w: \\n, \\r, \\t, \\", \\\\, and a backslash with four hex
    digits for any other character outside printable ASCII."""
    escapes = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            if text[i + 1] in escapes:
                out.append(escapes[text[i + 1]])
                i += 2
                continue
            if re.fullmatch(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
                out.append(chr(int(text[i + 1:i + 5], 16)))
                i += 5
                continue
        out.append(text[i])
        i += 1
    return "".join(out)


def parse_windows_events(debug_bytes):
    """The Windows event-log entries reported through ReportEventA, as (type, event id, text).

    Wine's ReportEventA is a stub that prints its arguments on the advapi channel and hands over to
    ReportEventW, which prints each insertion string on the eventlog channel from the same thread.
    The event id is the low 16 bits of the identifier, as the Event Viewer shows it."""
    events, pending = [], {}
    for line in debug_bytes.splitlines():
        head = _REPORT_EVENT.match(line)
        if head:
            tid = head.group(1)
            pending[tid] = [int(head.group(2), 16), int(head.group(3), 16) & 0xFFFF, None]
            events.append(pending[tid])
            continue
        text = _REPORT_TEXT.match(line)
        if text and text.group(1) in pending and pending[text.group(1)][2] is None:
            pending.pop(text.group(1))[2] = _unescape_wine_debug_string(text.group(2).decode("latin-1"))
    return [tuple(e) for e in events]


def read_messages(folder, lang):
    """The message table as shipped: key -> text (Unicode)."""
    return json.loads((pathlib.Path(folder) / f"msgtbl_{lang}.json").read_text(encoding="utf-8"))


def read_event_list(folder, lang):
    """The shipped event list: event number -> text of its first line, in the file's own bytes."""
    entries = {}
    for raw in (pathlib.Path(folder) / f"EventList_{lang}.csv").read_bytes().split(b"\n"):
        line = raw[:-1] if raw.endswith(b"\r") else raw
        number, comma, text = line.partition(b",")
        found = re.match(rb"\s*([+-]?\d+)", number)
        if not comma or not text or not found:
            continue
        entries.setdefault(int(found.group(1)), text[:-1] if text.endswith(b",") else text)
    return entries


class SimulatedUps:
    """The simulator library's control file (NervaUPSSim.ini) and call log (NervaUPSSim.log)."""

    def __init__(self, folder, **initial):
        self.folder = pathlib.Path(folder)
        self.control_file = self.folder / "NervaUPSSim.ini"
        self.call_log = self.folder / "NervaUPSSim.log"
        self.keys = {}
        self.set(**initial)

    def set(self, **keys):
        """Changes control keys; the file is replaced whole so the simulator never reads half of it.
        Returns the wall-clock time of the change."""
        self.keys.update({k.upper(): v for k, v in keys.items()})
        text = "".join(f"{k}={v}\r\n" for k, v in self.keys.items())
        scratch = self.control_file.with_suffix(".tmp")
        scratch.write_bytes(text.encode("ascii"))
        os.replace(scratch, self.control_file)
        return time.time()

    def calls(self, entry=None):
        """Every logged call as (local datetime, pid, entry, {name: value}), optionally of one entry."""
        return read_sim_calls(self.call_log, entry)


def read_sim_calls(call_log, entry=None):
    """The simulator's call log (NervaUPSSim.log) as (local datetime, pid, entry, {name: value}),
    optionally of one entry; reading it never touches the control file."""
    result = []
    call_log = pathlib.Path(call_log)
    raw = call_log.read_bytes() if call_log.exists() else b""
    for line in raw.decode("latin-1").splitlines():
        parts = line.split(",")
        if len(parts) < 3:
            continue
        try:
            stamp = datetime.datetime.strptime(parts[0], "%Y/%m/%d %H:%M:%S.%f")
        except ValueError:
            continue
        fields = dict(p.split("=", 1) for p in parts[3:] if "=" in p)
        if entry is None or parts[2] == entry:
            result.append((stamp, int(parts[1]) if parts[1].isdigit() else parts[1], parts[2], fields))
    return result


class ProgramLogs:
    """Readers for the files a deployed program writes beside itself."""

    def __init__(self, folder, encoding):
        self.folder = pathlib.Path(folder)
        self.encoding = encoding

    def event_lines(self):
        """EventLog\\EventLog.csv as (local datetime, text) pairs."""
        path = self.folder / "EventLog" / "EventLog.csv"
        raw = path.read_bytes() if path.exists() else b""
        lines = []
        for line in raw.split(b"\r\n"):
            if not line:
                continue
            stamp, text = line[:19].decode("ascii", "replace"), line[20:].decode(self.encoding, "replace")
            lines.append((datetime.datetime.strptime(stamp, "%Y/%m/%d,%H:%M:%S"), text))
        return lines

    def event_texts(self):
        return [text for _, text in self.event_lines()]

    def status(self):
        """Status.ini as a dict, or {} while it does not exist."""
        path = self.folder / "Status.ini"
        try:
            raw = path.read_bytes()
        except FileNotFoundError:
            return {}
        return dict(l.split("=", 1) for l in raw.decode(self.encoding, "replace").split("\r\n") if "=" in l)

    def data_logs(self):
        """{file name: [lines]} of the DataLog folder, lines decoded, CR LF split."""
        folder = self.folder / "DataLog"
        if not folder.is_dir():
            return {}
        return {p.name: p.read_bytes().decode(self.encoding, "replace").split("\r\n")[:-1]
                for p in sorted(folder.iterdir()) if p.is_file()}


def console_lines(stdout, encoding):
    """Console output as text lines (CR LF split)."""
    return stdout.decode(encoding).replace("\r\n", "\n").split("\n")


def pytest_configure(config):
    config.addinivalue_line("markers", "incremental: steps of one story; after a failed step the later ones are not run")


def pytest_runtest_makereport(item, call):
    if "incremental" in item.keywords and call.excinfo is not None and call.when == "call":
        item.parent._failed_step = item


def pytest_runtest_setup(item):
    if "incremental" in item.keywords:
        failed = getattr(item.parent, "_failed_step", None)
        if failed is not None:
            pytest.xfail(f"an earlier step of the story failed: {failed.name}")
