"""Following a network UPS whose server is slow but within its limits: a scripted server on 127.0.0.1
that takes its time over some answers. The status is reported before any measurement is asked, so a
server already on battery or in its forced shutdown when the service connects is acted on at once, a
slow server is never taken for a lost one, and the logout waits for an answer in flight."""
import threading
import time

import pytest

from conftest import ProgramLogs, read_messages, wait_until
from test_follow_hostile_servers import FakeServer, follower  # noqa: F401
from test_follow_upsd import lost_texts
from test_nut import write_settings

ENCODING = "cp1252"
UPS = "ups"
MODEL = "Slow 1500"
USER, PASSWORD = "follower", "pw"
# The service acts on a forced shutdown already there within this of its connection: the first poll's
# status is its first question after the model.
FSD_LIMIT = 5.0
MEASUREMENTS = {
    "input.voltage": "229.4", "input.frequency": "49.9", "output.voltage": "231.2", "output.frequency": "50.1",
    "ups.load": "37", "ups.temperature": "31", "battery.voltage": "26.8", "battery.charge": "80",
}


class SlowUps:
    """The behaviour of one connection of a UPS whose status words are `status`: every answer takes
    `every` seconds, and each answer about the measurements (a GET VAR of one, or LIST VAR) `measurement`
    seconds more. With `list_refused` the server knows no LIST VAR, so the measurements come one by one."""

    def __init__(self, status, every=0.0, measurement=0.0, list_refused=False):
        self.status = status
        self.every = every
        self.measurement = measurement
        self.list_refused = list_refused
        self.first_status_at = None  # time.monotonic() of the first status question
        self.lock = threading.Lock()

    def answer(self, words):
        if words[:3] == ["GET", "VAR", UPS] and len(words) == 4:
            name = words[3]
            if name == "ups.status":
                with self.lock:
                    if self.first_status_at is None:
                        self.first_status_at = time.monotonic()
                return f'VAR {UPS} ups.status "{self.status}"', 0.0
            if name == "ups.model":
                return f'VAR {UPS} ups.model "{MODEL}"', 0.0
            if name in MEASUREMENTS:
                return f'VAR {UPS} {name} "{MEASUREMENTS[name]}"', self.measurement
            return "ERR VAR-NOT-SUPPORTED", 0.0
        if words == ["LIST", "VAR", UPS]:
            if self.list_refused:
                return "ERR UNKNOWN-COMMAND", 0.0
            listed = [f'VAR {UPS} ups.status "{self.status}"'] + [f'VAR {UPS} {k} "{v}"' for k, v in MEASUREMENTS.items()]
            return "\n".join([f"BEGIN LIST VAR {UPS}", *listed, f"END LIST VAR {UPS}"]), self.measurement
        if words[0] in ("USERNAME", "PASSWORD", "LOGIN"):
            return "OK", 0.0
        if words[0] == "LOGOUT":
            return "OK Goodbye", 0.0
        return "ERR UNKNOWN-COMMAND", 0.0

    def __call__(self, server, lines):
        while True:
            line = lines.next()
            if line is None:
                return
            answer, slower = self.answer(line.split())
            time.sleep(self.every + slower)
            lines.send(answer.encode() + b"\n")
            if line == "LOGOUT":
                lines.conn.close()
                return


def follow(follower, ups, **settings):
    """Installs the service following `ups` on a fresh fake server; the server, the logs and the texts."""
    server = FakeServer(ups)
    write_settings(follower, DEVICE=f"{UPS}@127.0.0.1:{server.port}", **settings)
    code, out, err = follower.run("INSTALL", timeout=180)
    assert code == 0, (out, err)
    return server, ProgramLogs(follower.folder, ENCODING), read_messages(follower.folder, "en")


def sequence_lines(logs, text):
    keys = ("Output_off_left_to_server", "OS_Shutdown_is_started", "Shutdown_by_battery_low", "Shutdown_by_remote_fsd",
            "Shutdown_by_battery_charge")
    return [t for t in logs.event_texts() if t in {text[k] for k in keys} or t.startswith("UPSLogout:")]


@pytest.mark.parametrize("list_refused", [True, False], ids=["one-at-a-time", "listed"])
def test_a_server_on_battery_with_slow_measurements_is_followed_to_the_shutdown(follower, list_refused):
    # Each measurement takes 1.5 s: one at a time, the eight of them take longer than the library's
    # silence rule. The countdown starts at the first poll and runs out at WAIT_TIME.
    ups = SlowUps("OB DISCHRG", measurement=1.5, list_refused=list_refused)
    server, logs, text = follow(follower, ups, WAIT_TIME=5)
    try:
        wait_until(lambda: text["OS_Shutdown_is_started"] in logs.event_texts(), 60, "the OS shutdown line")
        texts = logs.event_texts()
        assert f"{text['UPS_connected']}:{MODEL}" in texts, texts
        assert not lost_texts(follower.folder) & set(texts), "a slow server taken for a lost one"
        assert not [t for t in texts if t.startswith("NetworkUps:ER=")], texts
        assert server.connections == 1, "one connection from the start to the shutdown"
        assert logs.status().get("ACFAIL") == "1"
    finally:
        server.close()


def test_a_forced_shutdown_already_there_is_acted_on_at_once_whatever_the_measurements_take(follower):
    # FSD on mains power, WAIT_TIME ten minutes: only the FSD can start the sequence.
    ups = SlowUps("FSD OL", measurement=1.5)
    server, logs, text = follow(follower, ups, WAIT_TIME=600)
    try:
        wait_until(lambda: text["Shutdown_by_remote_fsd"] in logs.event_texts(), 60, "the FSD line")
        acted_at = time.monotonic()
        assert ups.first_status_at is not None
        print(f"FSD acted on {acted_at - ups.first_status_at:.2f} s after the first status question")
        assert acted_at - ups.first_status_at < FSD_LIMIT
        wait_until(lambda: text["OS_Shutdown_is_started"] in logs.event_texts(), 60, "the OS shutdown line")
        assert sequence_lines(logs, text) == [text["Shutdown_by_remote_fsd"], text["Output_off_left_to_server"],
                                              text["OS_Shutdown_is_started"]]
    finally:
        server.close()


def test_the_logout_reaches_a_slow_server_after_the_answer_in_flight(follower):
    # Every answer takes 1.2 s, so the poller is nearly always waiting for one when the sequence ends
    # the login: the LOGOUT follows that answer instead of giving up on it.
    ups = SlowUps("FSD OB", every=1.2)
    server, logs, text = follow(follower, ups, WAIT_TIME=600, REMOTE_USER=USER, REMOTE_PASSWORD=PASSWORD)
    try:
        wait_until(lambda: text["OS_Shutdown_is_started"] in logs.event_texts(), 90, "the OS shutdown line")
        assert sequence_lines(logs, text) == [text["Shutdown_by_remote_fsd"], text["Output_off_left_to_server"],
                                              text["OS_Shutdown_is_started"]], "the logout failed"
        wait_until(lambda: "LOGOUT" in server.requests, 10, "the LOGOUT at the server")
        assert server.requests[:3] == [f"USERNAME {USER}", f"PASSWORD {PASSWORD}", f"LOGIN {UPS}"]
    finally:
        server.close()
