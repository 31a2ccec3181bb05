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
