"""The life of one installation, end to end: the real exe under Wine's service control manager,
the simulated UPS beside it, and every trace the service leaves behind.

The story runs in its own Wine session so that the service can be watched through Wine's debug
channels (Windows events) and so that it runs under a time zone whose local midnight falls a minute
or so after the start: the data log must roll over to a new day's file while the service runs.
Steps run in order and share one installation; after a failed step the later ones are not run.
"""
import datetime
import re
import shutil
import time

import pytest

from conftest import (
    DIST_DIR,
    SIM_DLL,
    Installation,
    ProgramLogs,
    SimulatedUps,
    WineSession,
    console_lines,
    read_event_list,
    read_messages,
    tz_with_local_midnight_at,
    wait_until,
    windows_path,
)

pytestmark = pytest.mark.incremental

BANNER = "----Voltwarden Basic Edition Version:1.1.1----"
MODEL = "NV-1500 Sim"
WAIT_TIME_BRIEF = 8
ENCODING = "cp1252"  # the English tables under Wine's default ANSI code page

# Windows event ids as the Event Viewer shows them, with their message keys.
EV_RECOVERY, EV_CONNECTED, EV_START, EV_STOP = 1001, 1002, 1003, 1004
EV_AC_FAIL, EV_LOST, EV_BATTERY_LOW, EV_OS_SHUTDOWN = 2001, 2010, 2012, 2014
INFO, WARNING = 4, 2


class Road:
    """Everything the steps share: the session, the installation, the UPS and the logs."""

    def __init__(self, session, installation, midnight, local_day):
        self.session = session
        self.inst = installation
        self.midnight = midnight
        self.local_day = local_day
        self.ups = SimulatedUps(installation.folder, PRESENT_ON="USB", PORTS="COM1", MODEL=MODEL, MAINS="ON",
                                BATTERY_LOW=0, SILENT=0)
        self.logs = ProgramLogs(installation.folder, ENCODING)
        self.msg = read_messages(installation.folder, "en")
        self.event_list = {k: v.decode(ENCODING) for k, v in read_event_list(installation.folder, "en").items()}

    def cmd(self, *args, stdin=b"", exit_code=0):
        """Runs a console command; every command ends with exit code 0, whatever happened, but a
        one-shot SET that did not do what it was asked (exit code 1)."""
        code, out, err = self.session.run(self.inst, *args, stdin=stdin)
        assert code == exit_code, (args, out, err)
        return [line for line in console_lines(out, ENCODING) if line]

    def text(self, key):
        return self.msg[key]

    def events(self):
        return self.session.windows_events()

    def calls(self, entry=None, since=None):
        """Calls the service made of the UPS library, with their times as Unix times."""
        found = [(self.session.unix_time(stamp), fields) for stamp, _, name, fields in self.ups.calls(entry)]
        return [c for c in found if since is None or c[0] >= since]

    def new_event_lines(self, since_count):
        return self.logs.event_texts()[since_count:]

    def wait_event_line(self, text, since_count, timeout, what=None):
        return wait_until(lambda: text in self.new_event_lines(since_count), timeout,
                          what or f"event-log line {text!r}")

    def wait_windows_event(self, wanted, since_count, timeout):
        return wait_until(lambda: wanted in self.events()[since_count:], timeout, f"Windows event {wanted}")

    def shutdown_calls(self):
        return self.calls("Shutdown")

    def wait_first_record_after_connect(self, timeout=10):
        """Until the UPS's first record after a connect, mains changes are taken in silently;
        a step that expects their events waits for that record (a battery-level query) first."""
        connected_at = self.calls("GetModelName")[-1][0]
        wait_until(lambda: self.calls("GetCurrentBatteryLevel", since=connected_at), timeout,
                   "the UPS's first record after the connect")


@pytest.fixture(scope="module")
def road(tmp_path_factory):
    # Local midnight on a whole minute at least 40 s ahead: after the service's first data-log
    # line, and well before the story ends.
    now = time.time()
    midnight = (int(now) // 60 + 1) * 60
    while midnight < now + 40:
        midnight += 60
    tz, offset = tz_with_local_midnight_at(midnight)
    local_day = datetime.datetime.utcfromtimestamp(midnight - 1 + offset).date()
    session = WineSession("scenarios", utc_offset=offset, TZ=tz, WINEDEBUG="fixme+advapi,+eventlog")

    folder = tmp_path_factory.mktemp("road") / "Voltwarden Road"
    shutil.copytree(DIST_DIR, folder)
    shutil.copy2(SIM_DLL, folder / "NervaUPSLib.dll")
    installation = Installation(folder)
    session.start()
    state = Road(session, installation, midnight, local_day)
    if session.service_state() is not None:  # a service left by an interrupted run
        session.run(installation, "UNINSTALL", timeout=90)
    yield state
    if session.service_state() is not None:
        session.run(installation, "UNINSTALL", timeout=90)
    session.stop()


def test_console_configures_the_installation_before_it_is_installed(road):
    assert road.cmd("SET", "1002", "en") == []
    assert road.cmd("SET", "1001") == ["en"]
    assert road.cmd("SET", "4", str(WAIT_TIME_BRIEF)) == []
    assert road.cmd("SET", "7", "2") == []
    # The settings screen in one-shot form: WAIT_TIME, BACKUP_TIME, DEVICE, EXCMD (empty), EXCMDTIME.
    _, out, _ = road.session.run(road.inst, "SET", "2")
    assert console_lines(out, ENCODING) == [str(WAIT_TIME_BRIEF), "2", "USB", "", "0", ""]
    # Not installed: the query fails with the manager's "no such service".
    assert road.cmd("SET", "1", exit_code=1) == [road.text("Status_failed_to_get_data"), "-", "-",
                                                 road.text("ABEND") + "1060"]


def test_install_starts_the_service_and_it_connects_to_the_usb_ups(road):
    lines0, events0 = len(road.logs.event_texts()), len(road.events())
    assert road.cmd("INSTALL") == [BANNER, road.text("Install_start"), BANNER, road.text("SUCCESS")]
    connected = f"{road.text('UPS_connected')}:{MODEL}"
    road.wait_event_line(connected, lines0, 30)
    story = road.new_event_lines(lines0)
    assert story.index("Install:OK") < story.index(road.text("Service_start")) < story.index(connected)
    road.wait_windows_event((INFO, EV_CONNECTED, road.text("UPS_connected")), events0, 10)
    events = road.events()[events0:]
    assert events.index((INFO, EV_START, road.text("Service_start"))) < \
        events.index((INFO, EV_CONNECTED, road.text("UPS_connected")))
    assert road.logs.status() == {"ACFAIL": "0", "CONNECTION": "1", "MODEL": MODEL}
    assert road.cmd("SET", "1") == [road.text("Status_running"), MODEL, road.text("Status_normal_output")]
    assert road.session.service_state() == 4
    # What the service asked of the library: a callback, the USB device list, the model.
    assert any(f.get("callback") == "set" for _, f in road.calls("InitNervaUPSLib"))
    assert any(f.get("count") == "1" for _, f in road.calls("GetUPSList"))
    assert any(f.get("model") == MODEL and f.get("result") == "0" for _, f in road.calls("GetModelName"))


def test_first_measurement_opens_the_day_file_of_the_data_log(road):
    day_file = road.local_day.strftime("%Y%m%d") + ".csv"
    logs = wait_until(lambda: (lambda d: d if len(d.get(day_file, [])) >= 2 else None)(road.logs.data_logs()),
                      15, f"a data line in {day_file}")
    header, first = logs[day_file][0], logs[day_file][1]
    assert header == road.text("Data_logHeader")
    columns = first.split(",")
    assert len(columns) == 10, first
    assert columns[0] == road.local_day.strftime("%Y/%m/%d")
    assert 0 <= int(columns[9]) <= 100


def test_brief_outage_is_recorded_and_recovered_without_a_shutdown(road):
    lines0, events0 = len(road.logs.event_texts()), len(road.events())
    failed_at = road.ups.set(MAINS="OFF")
    wait_until(lambda: road.logs.status().get("ACFAIL") == "1", 10, "ACFAIL=1 in Status.ini")
    road.wait_windows_event((WARNING, EV_AC_FAIL, road.text("AC_fail")), events0, 10)
    assert road.cmd("SET", "1") == [road.text("Status_running"), MODEL, road.text("Status_battery_output")]
    time.sleep(max(0.0, failed_at + 3 - time.time()))
    road.ups.set(MAINS="ON")
    wait_until(lambda: road.logs.status().get("ACFAIL") == "0", 10, "ACFAIL=0 in Status.ini")
    road.wait_windows_event((INFO, EV_RECOVERY, road.text("Power_recovery")), events0, 10)
    events = road.events()[events0:]
    assert events.index((WARNING, EV_AC_FAIL, road.text("AC_fail"))) < \
        events.index((INFO, EV_RECOVERY, road.text("Power_recovery")))
    story = road.new_event_lines(lines0)
    assert story.index(road.event_list[3]) < story.index(road.event_list[4])
    # Well past WAIT_TIME since the failure: nothing of the shutdown sequence happened.
    time.sleep(max(0.0, failed_at + WAIT_TIME_BRIEF + 3 - time.time()))
    assert road.shutdown_calls() == []
    story = road.new_event_lines(lines0)
    assert not any(t.startswith(road.text("External_command_start")) for t in story)
    assert road.text("OS_Shutdown_is_started") not in story
    assert (WARNING, EV_OS_SHUTDOWN, road.text("OS_Shutdown_is_started")) not in road.events()


def test_wait_time_raised_by_the_console_during_a_countdown_is_taken_at_once(road):
    assert road.cmd("SET", "4", "6") == []
    events0 = len(road.events())
    failed_at = road.ups.set(MAINS="OFF")
    road.wait_windows_event((WARNING, EV_AC_FAIL, road.text("AC_fail")), events0, 10)
    # The service keeps running; only the file changes, and the countdown must follow it.
    assert road.cmd("SET", "4", "3600") == []
    assert time.time() < failed_at + 5, "the console was too slow to change WAIT_TIME in time"
    time.sleep(max(0.0, failed_at + 6 + 4 - time.time()))
    assert road.shutdown_calls() == []
    road.ups.set(MAINS="ON")
    road.wait_windows_event((INFO, EV_RECOVERY, road.text("Power_recovery")), events0, 10)


def test_silent_ups_is_dropped_after_ten_seconds_and_reconnected(road):
    lines0, events0 = len(road.logs.event_texts()), len(road.events())
    silent_at = road.ups.set(SILENT=1)
    road.wait_event_line(road.text("UPS_disconnected"), lines0, 20)
    road.wait_windows_event((WARNING, EV_LOST, road.text("UPS_disconnected")), events0, 5)
    # The drop is followed in the same pass by a new connect attempt, whose time the call log keeps.
    attempts = wait_until(lambda: road.calls("InitNervaUPSLib", since=silent_at), 5,
                          "a connect attempt after the UPS fell silent")
    # The last sign of life came at most about a second before the UPS fell silent.
    assert 8.8 <= attempts[0][0] - silent_at <= 14, attempts[0][0] - silent_at
    connected = f"{road.text('UPS_connected')}:{MODEL}"
    wait_until(lambda: connected in road.new_event_lines(lines0), 10, "the reconnection")
    road.ups.set(SILENT=0)
    wait_until(lambda: road.logs.status().get("CONNECTION") == "1", 10, "CONNECTION=1")


def test_battery_low_is_reported_but_never_starts_a_shutdown(road):
    # Reported at all only if the callbacks of the reconnected device are heard.
    lines0, events0 = len(road.logs.event_texts()), len(road.events())
    low_at = road.ups.set(BATTERY_LOW=1)
    road.wait_windows_event((WARNING, EV_BATTERY_LOW, road.text("Battery_low_event_occurred")), events0, 10)
    road.wait_event_line(road.event_list[5], lines0, 5)
    time.sleep(max(0.0, low_at + 4 - time.time()))
    assert road.shutdown_calls() == []
    assert road.logs.status().get("ACFAIL") == "0"
    road.ups.set(BATTERY_LOW=0)


def test_com_auto_scans_the_ports_when_the_ups_moves_to_a_serial_port(road):
    assert road.cmd("SET", "3", "COM_AUTO") == []
    lines0, events0 = len(road.logs.event_texts()), len(road.events())
    moved_at = road.ups.set(PORTS="COM1,COM3", OPENCOM_FAIL="COM1", PRESENT_ON="COM3")
    # The USB device reports itself lost (event code 2): dropped at once, no ten-second wait.
    road.wait_windows_event((WARNING, EV_LOST, road.text("UPS_disconnected")), events0, 10)
    road.wait_event_line(road.event_list[2], lines0, 5)
    connected = f"{road.text('UPS_connected')}:{MODEL}"
    road.wait_event_line(connected, lines0, 15)
    wanted = [("GetCOMList", {"count": "2"}), ("OpenCOM", {"port": "COM1"}), ("OpenCOM", {"port": "COM3", "result": "0"}),
              ("StartEventThreadForCOM", {"result": "0"}), ("FreeCOMList", {"count": "2"}), ("GetModelName", {"result": "0"})]
    seen = [(name, fields) for stamp, _, name, fields in road.ups.calls() if road.session.unix_time(stamp) >= moved_at]
    position = 0
    for name, expected in wanted:
        while position < len(seen) and not (seen[position][0] == name and
                                            all(seen[position][1].get(k) == v for k, v in expected.items())):
            position += 1
        assert position < len(seen), f"{name} {expected} missing or out of order in {seen}"
    refused = [f for n, f in seen if n == "OpenCOM" and f.get("port") == "COM1"]
    assert refused and refused[0].get("result") != "0"
    assert road.logs.status() == {"ACFAIL": "0", "CONNECTION": "1", "MODEL": MODEL}
    road.wait_first_record_after_connect()


def test_mains_failure_survives_a_reconnection_and_ends_in_the_shutdown_sequence(road):
    proof = road.inst.folder / "excmd-proof.txt"
    excmd = f'cmd /c echo saved> "{windows_path(proof)}"'
    assert road.cmd("SET", "5", excmd) == []
    assert road.cmd("SET", "6", "2") == []
    assert road.cmd("SET", "7", "4") == []
    assert road.cmd("SET", "4", "3600") == []
    _, out, _ = road.session.run(road.inst, "SET", "2")
    assert console_lines(out, ENCODING) == ["3600", "4", "COM_AUTO", excmd, "2", ""]

    lines0, events0 = len(road.logs.event_texts()), len(road.events())
    failed_at = road.ups.set(MAINS="OFF")
    road.wait_windows_event((WARNING, EV_AC_FAIL, road.text("AC_fail")), events0, 10)
    # Lowered while counting down: the deadline is 20 s after the failure, not after this change.
    assert road.cmd("SET", "4", "20") == []
    # The UPS falls silent in the middle of the countdown and comes back. It was lost and found
    # twice within the last minutes (silent, then moved to the serial port) without a minute of
    # normal reports in between: this loss repeats that cycle, which is written once an hour, so
    # the drop and the reconnection show in the library's calls rather than in the event log.
    silent_at = road.ups.set(SILENT=1)
    wait_until(lambda: road.calls("CloseCOM", since=silent_at), 16, "the silent UPS to be dropped")
    dropped_at = time.time()
    road.ups.set(SILENT=0)
    # A device opened through a serial port is closed properly before it is opened again.
    reopened = wait_until(lambda: [c for c in road.calls("GetModelName", since=dropped_at - 1)
                                   if c[1].get("result") == "0"], 10, "the reconnection during the countdown")
    assert any(f.get("port") == "COM3" for _, f in road.calls("OpenCOM", since=dropped_at - 2))
    assert road.calls("FinishNervaUPSLib", since=failed_at)
    assert road.text("UPS_disconnected") not in road.new_event_lines(lines0)

    shutdown = wait_until(lambda: road.shutdown_calls(), failed_at + 45 - time.time(), "Shutdown in the call log")
    at, fields = shutdown[0]
    assert fields.get("backupTime") == "4" and fields.get("result") == "0", fields
    # WAIT_TIME 20 s from the failure, then EXCMDTIME 2 s for the external command; a countdown
    # restarted by the reconnection would have ended 30 s or more after the failure.
    assert 22 <= at - failed_at <= 28, at - failed_at
    assert proof.read_bytes().strip() == b"saved"
    road.wait_event_line(road.text("OS_Shutdown_is_started"), lines0, 10)
    story = road.new_event_lines(lines0)
    started = f"{road.text('External_command_start')}:({excmd})"
    assert story.index(started) < story.index(road.text("OS_Shutdown_is_started"))
    assert reopened[0][0] < at, "the output-off went to the reconnected UPS"
    assert "ExCommand:NG" not in story and not any(t.startswith("UPSShutdown:ER=") for t in story)
    road.wait_windows_event((WARNING, EV_OS_SHUTDOWN, road.text("OS_Shutdown_is_started")), events0, 10)
    events = road.events()[events0:]
    assert events.index((WARNING, EV_AC_FAIL, road.text("AC_fail"))) < \
        events.index((WARNING, EV_OS_SHUTDOWN, road.text("OS_Shutdown_is_started")))
    assert len(road.shutdown_calls()) == 1
    assert road.logs.status().get("ACFAIL") == "1"
    # The request gives Windows' own reason "Power Failure: Environment" (major power, minor
    # environment, not planned), forces applications closed and does not restart; Wine's stub
    # prints its arguments.
    assert re.findall(rb"fixme:advapi:InitiateSystemShutdownExA (.*)", road.session.debug_log.read_bytes()) == \
        [b"(null) (null) 0 1 0 0x6000c"]


def test_data_log_rolls_over_to_a_new_file_at_local_midnight(road):
    before = road.local_day.strftime("%Y%m%d") + ".csv"
    after_day = road.local_day + datetime.timedelta(days=1)
    after = after_day.strftime("%Y%m%d") + ".csv"
    # The library keeps reporting after the monitor has finished, so a line after midnight comes
    # within a minute of the last one.
    wait_until(lambda: len(road.logs.data_logs().get(after, [])) >= 2,
               max(10.0, road.midnight + 75 - time.time()), f"a data line in {after}")
    logs = road.logs.data_logs()
    for name, day in ((before, road.local_day), (after, after_day)):
        lines = logs[name]
        assert lines[0] == road.text("Data_logHeader"), name
        assert road.text("Data_logHeader") not in lines[1:], name
        assert len(lines) >= 2, name
        for line in lines[1:]:
            columns = line.split(",")
            assert len(columns) == 10 and columns[0] == day.strftime("%Y/%m/%d"), (name, line)
            # With mains failed the input frequency reads "--.-", and so does the output's.
            if columns[3] == "--.-":
                assert columns[5] == "--.-", line


def test_stop_after_the_shutdown_is_recorded_and_repeats_nothing_of_it(road):
    lines0, events0 = len(road.logs.event_texts()), len(road.events())
    started = time.time()
    assert road.cmd("STOP") == [BANNER, "Service Stop", BANNER, road.text("SUCCESS")]
    assert time.time() - started < 15
    assert road.session.service_state() == 1
    road.wait_event_line(road.text("Service_stop"), lines0, 5)
    road.wait_windows_event((INFO, EV_STOP, road.text("Service_stop")), events0, 5)
    assert road.cmd("SET", "1") == [road.text("Status_stop"), "-", "-"]
    # The stop's last pass finds the shutdown already started: nothing of it happens twice.
    assert len(road.shutdown_calls()) == 1
    story = road.logs.event_texts()
    assert story.count(road.text("OS_Shutdown_is_started")) == 1
    assert sum(t.startswith(road.text("External_command_start")) for t in story) == 1
    assert [e for e in road.events() if e[1] == EV_OS_SHUTDOWN] == \
        [(WARNING, EV_OS_SHUTDOWN, road.text("OS_Shutdown_is_started"))]


def test_uninstall_removes_the_service(road):
    lines0 = len(road.logs.event_texts())
    assert road.cmd("UNINSTALL") == [BANNER, road.text("Uninstall_start"), BANNER, road.text("SUCCESS")]
    assert "Uninstall:OK" in road.new_event_lines(lines0)
    assert road.session.service_state() is None
    assert road.cmd("SET", "1", exit_code=1) == [road.text("Status_failed_to_get_data"), "-", "-",
                                                 road.text("ABEND") + "1060"]
