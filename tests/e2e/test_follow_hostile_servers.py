"""Following a network UPS whose server misbehaves: a fake server on 127.0.0.1, one connection thread each,
that never answers, answers half a line, sends 1 MB without a line break, sends binary, closes after its
first OK, or answers OL for a while and then stalls. The service (WAIT_TIME short, so that a false shutdown
would show) never starts the sequence, never holds up a stop or the console, and writes the failure once
however often it reconnects."""
import shutil
import socket
import threading
import time

import pytest

from conftest import DIST_DIR, Installation, ProgramLogs, read_messages, wait_until
from test_follow_upsd import lost_texts
from test_nut import write_settings

ENCODING = "cp1252"
UPS = "ups"
USER, PASSWORD = "follower", "pw"
WAIT_TIME = 5
STOPPED = 1
STOP_LIMIT = 15.0  # seconds: the generous bound the service tests give an idle service's stop
CONSOLE_LIMIT = 15.0
# Errors the client names its failures by (network_ups/network_ups_connection.h).
TIMED_OUT, CLOSED, PROTOCOL = 10060, 10101, 13


class FakeServer:
    """Accepts every connection on 127.0.0.1:<port> and hands it to `behaviour(server, connection)` on a
    thread of its own. `requests` collects every line received, `connections` counts the accepted ones."""

    def __init__(self, behaviour):
        self.behaviour = behaviour
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.closing = threading.Event()
        self.lock = threading.Lock()
        self.connections = 0
        self.requests = []
        self.sockets = []
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self):
        while not self.closing.is_set():
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.connections += 1
                self.sockets.append(conn)
            thread = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self.threads.append(thread)
            thread.start()

    def _serve(self, conn):
        try:
            self.behaviour(self, Lines(self, conn))
        except OSError:
            pass  # the service dropped the connection: what it should do with most of these

    def close(self):
        self.closing.set()
        self.listener.close()
        with self.lock:
            for conn in self.sockets:
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                conn.close()
        for thread in self.threads:
            thread.join(timeout=10)


class Lines:
    """The request lines of one connection, and the raw sending of answers."""

    def __init__(self, server, conn):
        self.server = server
        self.conn = conn
        self.pending = b""
        conn.settimeout(0.2)

    def next(self):
        """The next request line; None once the client has closed or the server is closing."""
        while b"\n" not in self.pending:
            if self.server.closing.is_set():
                return None
            try:
                chunk = self.conn.recv(4096)
            except socket.timeout:
                continue
            if not chunk:
                return None
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        text = line.decode("latin-1").rstrip("\r")
        with self.server.lock:
            self.server.requests.append(text)
        return text

    def send(self, data):
        self.conn.settimeout(None)
        self.conn.sendall(data)
        self.conn.settimeout(0.2)

    def hold(self):
        """Reads whatever comes and never answers, until the client or the server closes."""
        while self.next() is not None:
            pass


def never_answers(server, lines):
    lines.hold()


def half_a_line(server, lines):
    if lines.next() is not None:
        lines.send(f'VAR {UPS} ups.status "O'.encode())
        lines.hold()


def a_megabyte_without_a_line_break(server, lines):
    if lines.next() is not None:
        lines.send(b"x" * (1 << 20))
        lines.hold()


def binary(server, lines):
    if lines.next() is not None:
        lines.send(bytes(range(256)) * 16)
        lines.hold()


def ok_then_close(server, lines):
    if lines.next() is not None:
        lines.send(b"OK\n")
        lines.conn.close()


OL_ANSWERS = 15  # a dozen seconds of polls, then silence
# The answer to LIST VAR of a UPS that measures nothing.
EMPTY_LIST = f"BEGIN LIST VAR {UPS}\nEND LIST VAR {UPS}"


def ol_then_stall(server, lines):
    for _ in range(OL_ANSWERS):
        words = (lines.next() or "").split()
        if not words:
            return
        if words[:3] == ["GET", "VAR", UPS] and len(words) == 4:
            answer = f'VAR {UPS} ups.status "OL"' if words[3] == "ups.status" else "ERR VAR-NOT-SUPPORTED"
        elif words == ["LIST", "VAR", UPS]:
            answer = EMPTY_LIST
        else:
            answer = "OK"
        lines.send(answer.encode() + b"\n")
    lines.hold()


# The fake server, whether the service logs in, the error of the connection failure line (None: the
# service connects, and the UPS is lost later), and how many connections make the test's observation.
CASES = [
    pytest.param(never_answers, False, TIMED_OUT, 3, id="never-answers"),
    pytest.param(half_a_line, False, TIMED_OUT, 3, id="half-a-line"),
    pytest.param(a_megabyte_without_a_line_break, False, PROTOCOL, 4, id="1MB-without-a-line-break"),
    pytest.param(binary, False, PROTOCOL, 4, id="binary"),
    pytest.param(ok_then_close, True, CLOSED, 4, id="closes-after-OK"),
    pytest.param(ol_then_stall, False, None, 2, id="answers-OL-then-stalls"),
]


@pytest.fixture
def follower(tmp_path, service_probe):
    gone = (["REMOVED"], ["ABSENT"])
    assert service_probe.remove() in gone
    folder = tmp_path / "Voltwarden Follower"
    shutil.copytree(DIST_DIR, folder)
    yield Installation(folder)
    assert service_probe.remove() in gone


@pytest.mark.parametrize("behaviour, logs_in, error, connections", CASES)
def test_a_hostile_server_never_causes_a_shutdown_a_hang_or_a_flood_of_lines(
        follower, service_probe, behaviour, logs_in, error, connections):
    server = FakeServer(behaviour)
    try:
        logs = ProgramLogs(follower.folder, ENCODING)
        text = read_messages(follower.folder, "en")
        lost = lost_texts(follower.folder)
        settings = dict(WAIT_TIME=WAIT_TIME, DEVICE=f"{UPS}@127.0.0.1:{server.port}")
        if logs_in:
            settings.update(REMOTE_USER=USER, REMOTE_PASSWORD=PASSWORD)
        write_settings(follower, **settings)
        code, out, err = follower.run("INSTALL", timeout=180)
        assert code == 0, (out, err)
        wait_until(lambda: server.requests, 60, "the service's first request")
        first = server.requests[0]
        assert first == (f"USERNAME {USER}" if logs_in else f"GET VAR {UPS} ups.status"), server.requests

        # The console answers while the service is held up by the server.
        started = time.monotonic()
        code, out, _ = follower.run("SET", "1", timeout=60)
        assert time.monotonic() - started < CONSOLE_LIMIT
        shown = out.replace(b"\r\n", b"\n").decode(ENCODING).split("\n")
        assert shown[0] == text["Status_running"], shown

        # Attempt after attempt (the service reconnects), each failing the same way.
        wait_until(lambda: server.connections >= connections, 90, f"{connections} connections")
        texts = logs.event_texts()
        failures = [t for t in texts if t.startswith("NetworkUps:ER=")]
        if error is None:
            assert failures == [], texts
            assert f"{text['UPS_connected']}:{UPS}" in texts, texts
            wait_until(lambda: lost & set(logs.event_texts()), 30, "the lost line")
            texts = logs.event_texts()
        else:
            # Written once however often it fails: a line a second would fill the log.
            assert failures == [f"NetworkUps:ER={error}"], texts
            assert not [t for t in texts if t.startswith(text["UPS_connected"])], texts
            assert shown[1:3] == [text["Status_not_connected"], "-"], shown
        assert logs.status().get("ACFAIL", "0") == "0"

        # A stop while the server holds a connection.
        started = time.monotonic()
        code, out, _ = follower.run("STOP", timeout=120)
        elapsed = time.monotonic() - started
        print(f"STOP took {elapsed:.2f} s")
        assert elapsed < STOP_LIMIT, elapsed
        assert service_probe.wait_for_state(STOPPED, timeout=30)

        texts = logs.event_texts()
        sequence = {text[k] for k in ("Output_off_left_to_server", "OS_Shutdown_is_started", "Shutdown_by_remote_fsd",
                                      "Shutdown_by_battery_low", "Shutdown_by_battery_charge")}
        assert not [t for t in texts if t in sequence or t.startswith("UPSLogout:")], texts
        # A UPS never connected is never lost.
        assert bool(lost & set(texts)) == (error is None), texts
    finally:
        server.close()
