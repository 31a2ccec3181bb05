"""NOTIFY_CMD under Wine's service control manager with the simulated UPS: the command hears of
the power events in order, with the event's name and text as arguments and in its environment;
one that outlives NOTIFY_TIME is ended and holds nothing of the shutdown back; a flapping UPS
starts a handful of notifications, not one a change."""
import time

import pytest

from conftest import built_test_tool, read_sim_calls, wait_until, windows_path
from test_service import (SIM_MODEL, event_list_text, program, running_service, wait_for_log,  # noqa: F401
                          write_settings, write_sim_control)


@pytest.fixture(scope="module")
def notify_probe():
    return built_test_tool("notify_probe")


class Told:
    """The probe's file: one "start|..." line when a notification begins, "end|EVENT" when it ends."""

    def __init__(self, installation, probe, sleep_seconds=0):
        self.path = installation.folder / "notified.txt"
        # The folder's name holds a blank: the command keeps quotes of its own.
        self.command = f'"{windows_path(probe)}" "{windows_path(self.path)}" {sleep_seconds}'

    def lines(self):
        raw = self.path.read_bytes() if self.path.exists() else b""
        return [line.split("|") for line in raw.decode("latin-1").split("\r\n") if line]

    def started(self):
        return [fields[1:] for fields in self.lines() if fields[0] == "start"]

    def events(self):
        return [fields[0] for fields in self.started()]

    def wait_for(self, count, timeout=30):
        return wait_until(lambda: len(self.started()) >= count, timeout, f"notification {count}: {self.events()}")


def wait_for_first_record_after_the_last_connect(installation):
    """Until a (re)connected UPS's first record the service takes a mains change in silently: a
    failure whose notification is awaited comes after that record (its battery-level query)."""
    def record_after_connect():
        calls = read_sim_calls(installation.folder / "NervaUPSSim.log")
        connects = [c[0] for c in calls if c[2] == "GetModelName"]
        return connects and any(c[2] == "GetCurrentBatteryLevel" and c[0] >= connects[-1] for c in calls)
    wait_until(record_after_connect, 20, "the UPS's first record after its connect")


def output_offs(installation):
    return [c for c in read_sim_calls(installation.folder / "NervaUPSSim.log", "Shutdown") if "result" in c[3]]


def test_a_day_of_power_events_reaches_the_command_in_order(running_service, notify_probe):
    installation = running_service.installation
    told = Told(installation, notify_probe)
    # Set the way an administrator does, the command with arguments of its own in one word.
    code, out, _ = installation.run("SET", "1012", told.command)
    assert code == 0 and out == b"", out
    write_settings(installation, WAIT_TIME=600, BATTERY_LOW_SHUTDOWN=0, NOTIFY_CMD=told.command)

    def change(**sim):
        write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, **sim)

    change(MAINS="OFF")
    told.wait_for(1)
    change(MAINS="OFF", BATTERY_LOW=1)
    told.wait_for(2)
    change(MAINS="ON")
    told.wait_for(3)
    change(MAINS="ON", LOST=1)
    told.wait_for(4)
    change(MAINS="ON", LOST=0)
    told.wait_for(5)
    wait_for_first_record_after_the_last_connect(installation)
    # The last outage ends in the shutdown sequence: the countdown runs out after 2 s.
    write_settings(installation, WAIT_TIME=2, NOTIFY_CMD=told.command)
    change(MAINS="OFF")
    told.wait_for(7)
    wait_until(lambda: output_offs(installation), 30, "the output-off")

    assert told.events() == ["ONBATT", "LOWBATT", "ONLINE", "COMMBAD", "COMMOK", "ONBATT", "SHUTDOWN"], told.lines()
    texts = {
        "ONBATT": event_list_text(installation, 3),
        "LOWBATT": event_list_text(installation, 5),
        "ONLINE": event_list_text(installation, 4),
        "COMMBAD": running_service.text("UPS_disconnected"),
        "COMMOK": running_service.text("UPS_connected"),  # the model only in VOLTWARDEN_MODEL
        "SHUTDOWN": running_service.text("Shutdown_by_wait_time"),
    }
    for event, text, env_event, env_text, charge, model in told.started():
        assert (text, env_event, env_text, model) == (texts[event], event, text, SIM_MODEL), (event, told.lines())
        if event in ("ONBATT", "LOWBATT", "SHUTDOWN"):
            assert charge == "" or 1 <= int(charge) <= 100, charge
    log = running_service.log()
    assert wait_for_log(installation, lambda t: t == "Notify(SHUTDOWN):ExitCode=0"), log
    for event in told.events():
        assert f"Notify({event}):ExitCode=0" in running_service.log()


def test_a_notification_past_its_time_limit_is_ended_and_holds_nothing_back(running_service, notify_probe):
    installation = running_service.installation
    told = Told(installation, notify_probe, sleep_seconds=60)
    wait_time = 4
    write_settings(installation, WAIT_TIME=wait_time, NOTIFY_CMD=told.command, NOTIFY_TIME=3)
    failed_at = time.time()
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, MAINS="OFF")

    wait_until(lambda: output_offs(installation), wait_time + 30, "the output-off")
    delay = output_offs(installation)[0][0].timestamp() - failed_at
    # Within the usual reach of the countdown, whatever the hanging notification does.
    assert wait_time <= delay < wait_time + 5, delay
    assert wait_for_log(installation, lambda t: t == "Notify(ONBATT):TimeOut"), running_service.log()
    assert wait_for_log(installation, lambda t: t == "Notify(SHUTDOWN):TimeOut"), running_service.log()
    assert told.events() == ["ONBATT", "SHUTDOWN"]
    assert not [fields for fields in told.lines() if fields[0] == "end"], "a notification outlived NOTIFY_TIME"


def test_a_flapping_ups_starts_a_handful_of_notifications(running_service, notify_probe):
    installation = running_service.installation
    told = Told(installation, notify_probe)
    write_settings(installation, WAIT_TIME=600, NOTIFY_CMD=told.command)
    mains = "ON"
    flaps_until = time.monotonic() + 40
    while time.monotonic() < flaps_until:
        mains = "OFF" if mains == "ON" else "ON"
        write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, MAINS=mains)
        time.sleep(2)
    failures = running_service.log().count(event_list_text(installation, 3))
    assert failures >= 5, "the service saw the flapping"
    time.sleep(3)  # the last notification's turn
    # Each event at once and its first repeat, then nothing for the hour.
    assert told.events() == ["ONBATT", "ONLINE", "ONBATT", "ONLINE"], told.lines()
