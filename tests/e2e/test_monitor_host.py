"""The monitor thread in a real process under Wine, against the UPS simulator library.

tools/monitor_host.exe starts like the service and runs MonitorThreadMain; the
simulator (NervaUPSLib.dll, steered by NervaUPSSim.ini, logging every call to
NervaUPSSim.log) stands in for the UPS. These tests follow one installation from the
connect over USB to the UPS output-off command and the operating-system shutdown.
"""
import datetime
import json
import os
import pathlib
import re
import shutil
import subprocess
import time

import pytest

BUILD_DIR = pathlib.Path(os.environ.get("VW_BUILD_DIR", pathlib.Path(__file__).resolve().parents[2] / "build" / "main"))

MONITOR_HOST = BUILD_DIR / "tools" / "monitor_host.exe"


@pytest.fixture
def monitor_host_exe():
    """Path of the monitor host program built with the project."""
    if not MONITOR_HOST.exists():
        pytest.fail(f"{MONITOR_HOST} is missing: build the monitor_host target")
    return MONITOR_HOST


class Host:
    """One monitor_host process in an installation folder with the simulator beside it."""

    def __init__(self, installation, exe):
        self.folder = installation.folder
        self.exe = self.folder / "monitor_host.exe"
        shutil.copy2(exe, self.exe)
        self.proc = None
        table = self.folder / "msgtbl_en.json"
        self.texts = json.loads(table.read_text(encoding="utf-8")) if table.exists() else {}

    def text(self, key):
        """The English text of a message key, or the key itself, as the program writes it."""
        return self.texts.get(key, key)

    def write_settings(self, **values):
        settings = {"WAIT_TIME": 60, "BACKUP_TIME": 3, "DEVICE": "USB", "EVENTLOGPATH": "",
                    "DATALOGPATH": "", "EXCMD": "", "EXCMDTIME": 0, "LANG": "en"}
        settings.update(values)
        body = "".join(f"{key}={value}\r\n" for key, value in settings.items())
        (self.folder / "Setting.ini").write_bytes(body.encode("ascii"))

    def write_sim(self, **values):
        """Replaces NervaUPSSim.ini in one step, as its README asks."""
        body = "".join(f"{key}={value}\n" for key, value in values.items())
        temp = self.folder / "NervaUPSSim.ini.new"
        temp.write_text(body)
        os.replace(temp, self.folder / "NervaUPSSim.ini")

    def start(self, *args):
        self.proc = subprocess.Popen(["wine", str(self.exe), *args], cwd=str(self.folder),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)

    def finish(self, timeout):
        out, _ = self.proc.communicate(timeout=timeout)
        return self.proc.returncode, out.decode("ascii", "replace")

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            (self.folder / "monitor_host.stop").write_bytes(b"")
            try:
                self.proc.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.communicate()

    def event_log(self):
        """Texts of EventLog\\EventLog.csv, date and time removed."""
        path = self.folder / "EventLog" / "EventLog.csv"
        if not path.exists():
            return []
        lines = path.read_bytes().decode("latin-1").split("\r\n")
        return [line.split(",", 2)[2] for line in lines if line.count(",") >= 2]

    def status(self):
        path = self.folder / "Status.ini"
        if not path.exists():
            return {}
        pairs = (line.split("=", 1) for line in path.read_bytes().decode("latin-1").splitlines() if "=" in line)
        return {key: value for key, value in pairs}

    def sim_calls(self, name=None):
        """(local time in seconds since the epoch, entry point, items) of every call logged."""
        path = self.folder / "NervaUPSSim.log"
        calls = []
        if not path.exists():
            return calls
        for line in path.read_bytes().decode("latin-1").splitlines():
            fields = line.split(",")
            if len(fields) < 3:
                continue
            stamp = datetime.datetime.strptime(fields[0], "%Y/%m/%d %H:%M:%S.%f")
            items = dict(item.split("=", 1) for item in fields[3:] if "=" in item)
            if name is None or fields[2] == name:
                calls.append((stamp.timestamp(), fields[2], items))
        return calls

    def data_lines(self):
        folder = self.folder / "DataLog"
        lines = []
        for path in sorted(folder.glob("*.csv")) if folder.exists() else []:
            lines += path.read_bytes().decode("latin-1").split("\r\n")[1:]
        return [line for line in lines if line]


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    pytest.fail(f"timed out after {timeout} s waiting for {what}")


@pytest.fixture
def host(installation_with_sim, monitor_host_exe):
    h = Host(installation_with_sim, monitor_host_exe)
    yield h
    h.stop()


def test_connects_over_usb_and_stops_on_request(host):
    host.write_settings(WAIT_TIME=60)
    host.write_sim(PRESENT_ON="USB", MODEL="NV-E2E 1500", MEASUREMENT_PERIOD_MS=200)
    host.start()

    connected = f"{host.text('UPS_connected')}:NV-E2E 1500"
    wait_for(lambda: connected in host.event_log(), 60, "the UPS_connected line")
    # The status file is written after the line: wait for it rather than read it at once.
    expected = {"ACFAIL": "0", "CONNECTION": "1", "MODEL": "NV-E2E 1500"}
    wait_for(lambda: host.status() == expected, 10, f"Status.ini to read {expected}")
    # The first record after the start makes a data-log line: date, time, seven fields, level.
    line = wait_for(lambda: host.data_lines(), 10, "a data-log line")[0]
    columns = line.split(",")
    assert len(columns) == 10, line
    assert re.fullmatch(r"\d{4}/\d\d/\d\d", columns[0]) and re.fullmatch(r"\d\d:\d\d:\d\d", columns[1])
    assert re.fullmatch(r"-?\d+", columns[9]), line
    asked = [call[1] for call in host.sim_calls() if call[1] != "GetCurrentBatteryLevel"]
    assert asked[:3] == ["InitNervaUPSLib", "GetUPSList", "GetModelName"], asked

    started = time.monotonic()
    (host.folder / "monitor_host.stop").write_bytes(b"")
    code, out = host.finish(timeout=30)
    assert code == 0 and "monitor thread ended: stopped" in out, out
    assert time.monotonic() - started < 5, "a stop wakes the monitor's waits"
    assert not host.sim_calls("Shutdown")


def test_mains_failure_runs_the_command_then_shuts_the_ups_down(host):
    wait_time, excmd_time, backup_time = 4, 2, 7
    excmd = "cmd /c echo ran> excmd_ran.txt"
    host.write_settings(WAIT_TIME=wait_time, EXCMD=excmd, EXCMDTIME=excmd_time, BACKUP_TIME=backup_time)
    host.write_sim(PRESENT_ON="USB", MODEL="NV-E2E", MEASUREMENT_PERIOD_MS=200)
    host.start()
    wait_for(lambda: host.status().get("CONNECTION") == "1" and host.status().get("MODEL") == "NV-E2E", 60,
             "the connect")
    time.sleep(0.5)  # a few records: the first one after the connect is not reported

    failed_at = time.time()
    host.write_sim(PRESENT_ON="USB", MODEL="NV-E2E", MEASUREMENT_PERIOD_MS=200, MAINS="OFF")
    wait_for(lambda: host.status().get("ACFAIL") == "1", 5, "ACFAIL=1 in Status.ini")

    code, out = host.finish(timeout=wait_time + excmd_time + 60)
    assert code == 0 and "monitor thread ended: shutdown" in out, out

    shutdowns = host.sim_calls("Shutdown")
    assert len(shutdowns) == 1, shutdowns
    at, _, items = shutdowns[0]
    assert items["backupTime"] == str(backup_time) and items["result"] == "0"
    delay = at - failed_at
    print(f"output-off {delay:.3f} s after the failure was written")
    assert delay >= wait_time + excmd_time - 0.05, f"output-off only {delay:.3f} s after the failure"
    assert delay <= wait_time + excmd_time + 1.6, f"output-off {delay:.3f} s after the failure"

    assert (host.folder / "excmd_ran.txt").read_bytes().strip() == b"ran"
    log = host.event_log()
    start_line = f"{host.text('External_command_start')}:({excmd})"
    assert start_line in log
    assert log.index(start_line) < log.index(host.text("OS_Shutdown_is_started"))
    assert "ExCommand:NG" not in log
    assert host.status()["ACFAIL"] == "1"


def test_recovery_within_wait_time_does_not_shut_down(host):
    host.write_settings(WAIT_TIME=3)
    host.write_sim(PRESENT_ON="USB", MEASUREMENT_PERIOD_MS=200)
    host.start()
    wait_for(lambda: host.status().get("CONNECTION") == "1", 60, "the connect")
    time.sleep(0.5)
    host.write_sim(PRESENT_ON="USB", MEASUREMENT_PERIOD_MS=200, MAINS="OFF")
    wait_for(lambda: host.status().get("ACFAIL") == "1", 5, "ACFAIL=1")
    time.sleep(1.5)
    host.write_sim(PRESENT_ON="USB", MEASUREMENT_PERIOD_MS=200, MAINS="ON")
    wait_for(lambda: host.status().get("ACFAIL") == "0", 5, "ACFAIL=0")
    time.sleep(4)
    assert host.proc.poll() is None, "the monitor ended without cause"
    assert not host.sim_calls("Shutdown")
