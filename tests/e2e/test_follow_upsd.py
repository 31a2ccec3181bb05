"""Following a UPS that Debian's real upsd serves (dummy-ups behind it, nut_upsd.py): the service in a Wine
session of its own (so that its Windows events can be read), with DEVICE ups@127.0.0.1:<port> and no UPS
library beside it. Each test has its own upsd and its own installed service: upsd's FSD is a latch, and a
countdown, a login or a refusal of one test must not reach the next."""
import shutil
import time

import pytest

from conftest import DIST_DIR, Installation, ProgramLogs, WineSession, read_event_list, read_messages, wait_until
from nut_upsd import DEFAULT_VARIABLES, NutUpsd
from test_nut import write_settings

ENCODING = "cp1252"
USER = "follower"  # upsd.users of nut_upsd.py: an upsmon secondary
MODEL = DEFAULT_VARIABLES["ups.model"]
# Generous beyond any due moment: the sequence has no external command here, and LOGOUT is one exchange.
LATE = 8
WARNING, INFORMATION = 2, 4
EV_POWER_RECOVERY, EV_UPS_CONNECTED = 1001, 1002
EV_AC_FAIL, EV_UPS_LOST, EV_BATTERY_LOW, EV_OS_SHUTDOWN, EV_LOGIN_REFUSED = 2001, 2010, 2012, 2014, 2019

# The dummy's measurements, each column of the data log a value of its own, and no output.frequency.
MEASURED = {
    "input.voltage": "229.4",
    "input.frequency": "49.9",
    "output.voltage": "231.2",
    "ups.load": "37",
    "ups.temperature": "33.5",
    "battery.voltage": "26.8",
    "battery.charge": "87",
}
VARIABLES = {**{k: v for k, v in DEFAULT_VARIABLES.items() if k != "output.frequency"}, **MEASURED}
# Input V, Hz, output V, Hz, load, temperature, battery V, level: the data log's order.
DATA_COLUMNS = ["229.4", "49.9", "231.2", "--.-", "37", "33.5", "26.8", "87"]


def lost_texts(folder):
    """The texts of a lost UPS: the connection's end (the event list's code 2) or, when the server just
    stops answering, the monitor's silence rule, whichever comes first."""
    return {read_event_list(folder, "en")[2].decode(ENCODING), read_messages(folder, "en")["UPS_disconnected"]}


@pytest.fixture(scope="module")
def session():
    wine = WineSession("follow-upsd", WINEDEBUG="fixme+advapi,+eventlog").start()
    yield wine
    wine.stop()


class Follower:
    """A deployed copy of the program (no UPS library) following `upsd`'s UPS, installed by install()."""

    def __init__(self, session, folder, upsd):
        shutil.copytree(DIST_DIR, folder)
        assert not (folder / "NervaUPSLib.dll").exists()
        self.session = session
        self.upsd = upsd
        self.inst = Installation(folder)
        self.logs = ProgramLogs(folder, ENCODING)
        self.text = read_messages(folder, "en")
        self.event_list = {code: text.decode(ENCODING) for code, text in read_event_list(folder, "en").items()}
        self.events0 = len(session.windows_events())
        self.lost = lost_texts(folder)

    def install(self, **settings):
        write_settings(self.inst, DEVICE=self.upsd.address, **settings)
        code, out, err = self.session.run(self.inst, "INSTALL", timeout=180)
        assert code == 0, (out, err)
        wait_until(lambda: f"{self.text['UPS_connected']}:{MODEL}" in self.texts(), 60, "the UPS connected line")
        wait_until(lambda: self.logs.status().get("CONNECTION") == "1", 30, "CONNECTION=1 in Status.ini")

    def login(self):
        return dict(REMOTE_USER=USER, REMOTE_PASSWORD=self.upsd.passwords[USER])

    def texts(self):
        return self.logs.event_texts()

    def stamp(self, text):
        """The Unix time of the first event-log line with this text."""
        for stamp, line in self.logs.event_lines():
            if line == text:
                return self.session.unix_time(stamp)
        raise AssertionError(f"no line {text!r} in {self.texts()}")

    def windows_events(self):
        """(type, event id) of this test's Windows events."""
        return [(kind, number) for kind, number, _ in self.session.windows_events()[self.events0:]]

    def mains_failed(self):
        """Sets the dummy on battery and waits until the service has taken the outage in; returns the
        time of its mains-failed line."""
        self.upsd.set_status("OB")
        wait_until(lambda: self.logs.status().get("ACFAIL") == "1", 15, "ACFAIL=1 in Status.ini")
        wait_until(lambda: self.event_list[3] in self.texts(), 15, "the mains-failed line")
        return self.stamp(self.event_list[3])

    def wait_for_os_shutdown(self, timeout):
        wait_until(lambda: self.text["OS_Shutdown_is_started"] in self.texts(), timeout, "the OS shutdown line")

    def sequence_lines(self):
        keys = ("Output_off_left_to_server", "OS_Shutdown_is_started", "Shutdown_by_battery_low",
                "Shutdown_by_remote_fsd", "Shutdown_by_battery_charge", "External_command_start")
        return [t for t in self.texts() if t in {self.text[k] for k in keys} or t.startswith("UPSLogout:")]


@pytest.fixture
def follower(tmp_path, session):
    with NutUpsd(tmp_path / "upsd", variables=VARIABLES) as upsd:
        follower = Follower(session, tmp_path / "Voltwarden Follower", upsd)
        try:
            yield follower
        finally:
            session.run(follower.inst, "UNINSTALL", timeout=120)


@pytest.mark.parametrize("logs_in", [True, False], ids=["with-a-user", "without-a-user"])
def test_a_connected_follower_shows_the_ups_logs_its_values_and_is_counted_only_with_a_user(follower, logs_in):
    follower.install(WAIT_TIME=3600, **(follower.login() if logs_in else {}))
    status = follower.logs.status()
    assert (status.get("MODEL"), status.get("ACFAIL")) == (MODEL, "0"), status
    # The login comes before the connected line: upsd counts us by now, or never.
    assert follower.upsd.clients() == (["127.0.0.1"] if logs_in else [])
    code, out, _ = follower.session.run(follower.inst, "SET", "1", timeout=60)
    assert out.replace(b"\r\n", b"\n").decode(ENCODING).split("\n")[:3] == [
        follower.text["Status_running"], MODEL, follower.text["Status_normal_output"]]

    def data_line():
        lines = [day[1] for day in follower.logs.data_logs().values() if len(day) >= 2]
        return lines[-1] if lines else None

    line = wait_until(data_line, 30, "a data-log line")
    assert line.split(",")[2:] == DATA_COLUMNS, line
    assert (INFORMATION, EV_UPS_CONNECTED) in follower.windows_events()
    assert not [t for t in follower.texts() if t.startswith(follower.text["Remote_login_refused"])]
    assert follower.sequence_lines() == []


def test_mains_back_before_wait_time_ends_the_countdown_without_a_shutdown(follower):
    wait_time = 12
    follower.install(WAIT_TIME=wait_time, **follower.login())
    failed_at = follower.mains_failed()
    follower.upsd.set_status("OL")
    wait_until(lambda: follower.logs.status().get("ACFAIL") == "0", 15, "ACFAIL=0 in Status.ini")
    texts = follower.texts()
    assert texts.index(follower.event_list[3]) < texts.index(follower.event_list[4]), texts
    # Well past the moment at which the countdown would have ended.
    time.sleep(max(0.0, failed_at + wait_time + 5 - time.time()))
    assert follower.sequence_lines() == []
    assert follower.upsd.clients() == ["127.0.0.1"], "the follower stopped watching"
    events = follower.windows_events()
    assert events.index((WARNING, EV_AC_FAIL)) < events.index((INFORMATION, EV_POWER_RECOVERY)), events
    assert (WARNING, EV_OS_SHUTDOWN) not in events


# What starts the sequence, WAIT_TIME, its own line before the sequence (none for the countdown) and the
# moment from which the sequence is due, in seconds after the change of the UPS: the countdown's from the
# mains-failed line, the others' at once.
TRIGGERS = [
    pytest.param("OB", 6, None, 6, id="outage-for-wait-time"),
    pytest.param("OB LB", 3600, "Shutdown_by_battery_low", 0, id="low-battery-on-battery"),
    pytest.param("FSD", 3600, "Shutdown_by_remote_fsd", 0, id="fsd-from-the-server"),
]


@pytest.mark.parametrize("change, wait_time, reason, due_after", TRIGGERS)
def test_the_sequence_starts_when_due_and_logs_out_before_the_os_shutdown(follower, change, wait_time, reason,
                                                                        due_after):
    follower.install(WAIT_TIME=wait_time, **follower.login())
    assert follower.upsd.clients() == ["127.0.0.1"]
    changed_at = time.time()
    if change == "FSD":
        follower.upsd.fsd()
    elif change == "OB":
        changed_at = follower.mains_failed()
    else:
        follower.upsd.set_status(change)
    follower.wait_for_os_shutdown(due_after + LATE + 10)
    started_at = follower.stamp(follower.text["OS_Shutdown_is_started"])
    # Whole seconds in the event log: a line of the countdown's second counts as its start.
    assert int(changed_at) + due_after <= started_at <= changed_at + due_after + LATE, (changed_at, started_at)

    expected = ([follower.text[reason]] if reason else []) + [
        follower.text["Output_off_left_to_server"], follower.text["OS_Shutdown_is_started"]]
    assert follower.sequence_lines() == expected
    # The LOGOUT reached upsd (which writes it, and nothing of the kind for a connection merely closed):
    # the follower is no longer counted while it still runs.
    logged_out = f"User {USER}@127.0.0.1 logged out from UPS [{follower.upsd.ups}]"
    wait_until(lambda: logged_out in follower.upsd.log("upsd"), 10, "upsd to write the LOGOUT")
    wait_until(lambda: follower.upsd.clients() == [], 10, "upsd to forget the follower's login")
    events = follower.windows_events()
    assert (WARNING, EV_OS_SHUTDOWN) in events
    if change.startswith("OB"):
        assert (WARNING, EV_AC_FAIL) in events
        assert follower.logs.status().get("ACFAIL") == "1"
    if change == "OB LB":
        assert (WARNING, EV_BATTERY_LOW) in events


def test_a_server_lost_during_an_outage_is_decided_at_wait_time_on_the_last_state(follower):
    wait_time = 10
    follower.install(WAIT_TIME=wait_time, **follower.login())
    failed_at = follower.mains_failed()
    follower.upsd.stop()
    wait_until(lambda: follower.lost & set(follower.texts()), 15, "the lost line")
    lost = next(t for t in follower.texts() if t in follower.lost)
    assert follower.logs.status().get("CONNECTION") == "0"
    follower.wait_for_os_shutdown(wait_time + LATE + 10)
    started_at = follower.stamp(follower.text["OS_Shutdown_is_started"])
    assert failed_at + wait_time <= started_at <= failed_at + wait_time + LATE, (failed_at, started_at)

    texts = follower.texts()
    # Reconnection attempts ran meanwhile; upsd is down, so each failed, and the failure was written once.
    assert len([t for t in texts if t.startswith("NetworkUps:ER=")]) == 1, texts
    sequence = follower.sequence_lines()
    assert sequence[0] == follower.text["Output_off_left_to_server"], sequence
    assert sequence[1].startswith("UPSLogout:ER="), "a LOGOUT to a lost server reported as done"
    assert sequence[2:] == [follower.text["OS_Shutdown_is_started"]], sequence
    assert texts.index(follower.event_list[3]) < texts.index(lost) < texts.index(sequence[0]), texts
    events = follower.windows_events()
    assert events.index((WARNING, EV_AC_FAIL)) < events.index((WARNING, EV_UPS_LOST)), events
    assert events.index((WARNING, EV_UPS_LOST)) < events.index((WARNING, EV_OS_SHUTDOWN)), events


def test_a_refused_login_is_written_once_and_the_ups_is_still_watched(follower):
    wait_time = 6
    follower.install(WAIT_TIME=wait_time, REMOTE_USER=USER, REMOTE_PASSWORD="not-the-password")
    refused = [t for t in follower.texts() if t.startswith(follower.text["Remote_login_refused"])]
    assert len(refused) == 1, follower.texts()
    assert (WARNING, EV_LOGIN_REFUSED) in follower.windows_events()
    assert follower.upsd.clients() == []

    failed_at = follower.mains_failed()
    follower.wait_for_os_shutdown(wait_time + LATE + 10)
    started_at = follower.stamp(follower.text["OS_Shutdown_is_started"])
    assert failed_at + wait_time <= started_at <= failed_at + wait_time + LATE, (failed_at, started_at)
    assert follower.sequence_lines() == [follower.text["Output_off_left_to_server"],
                                         follower.text["OS_Shutdown_is_started"]]
    refused = [t for t in follower.texts() if t.startswith(follower.text["Remote_login_refused"])]
    assert len(refused) == 1, follower.texts()
