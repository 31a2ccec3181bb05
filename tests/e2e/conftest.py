"""Shared fixtures for end-to-end tests: a deployed copy of build/dist under Wine.

The Wine prefix and its wineserver are started by scripts/test.sh; every test gets
its own installation folder so that settings, logs and status files never leak
from one test to the next.
"""
import os
import pathlib
import shutil
import subprocess

import pytest

BUILD_DIR = pathlib.Path(os.environ.get("VW_BUILD_DIR", pathlib.Path(__file__).resolve().parents[2] / "build" / "main"))
DIST_DIR = BUILD_DIR / "dist"
SIM_DLL = BUILD_DIR / "sim" / "NervaUPSLib.dll"


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
        return proc.stdout.decode("latin-1").split()

    def state(self):
        """The service's state number, or None when it is not installed."""
        words = self.run("query")
        return int(words[1]) if words[:1] == ["STATE"] else None

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


@pytest.fixture(scope="session")
def service_probe():
    """tests/e2e/service_probe.c built for Windows once per session."""
    out_dir = BUILD_DIR / "e2e-tools"
    out_dir.mkdir(parents=True, exist_ok=True)
    exe = out_dir / "service_probe.exe"
    source = E2E_SOURCE_DIR / "service_probe.c"
    if not exe.exists() or exe.stat().st_mtime < source.stat().st_mtime:
        subprocess.run(["x86_64-w64-mingw32-gcc", "-O1", "-Wall", "-Werror", "-static", "-o", str(exe),
                        str(source), "-ladvapi32"], check=True)
    return ServiceProbe(exe)


@pytest.fixture
def service_cleanup(service_probe):
    """Makes sure no service of ours is installed before the test and removes it after,
    even when the test fails."""
    gone = (["REMOVED"], ["ABSENT"])
    assert service_probe.remove() in gone, "a leftover service could not be removed"
    yield service_probe
    assert service_probe.remove() in gone, "the service could not be removed after the test"
