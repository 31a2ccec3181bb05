"""The network UPS protocol server against clients that guess passwords or do not read: one installed
service with the server on and the simulated UPS on mains, raw protocol connections from 127.0.0.1.

- A wrong password counts as a refused login whether LOGIN follows or not: the `NutLogin:NG` line
  (throttled, so it is looked for first in the service's life) and one second per address.
- Only a successful LOGIN protects a connection from being closed for room, so which connection
  survives a flood of fillers never tells a password.
- The server thread sleeps whatever its clients do: a client refused once that then sends requests
  without reading the answers does not make the service spin."""
import os
import socket
import time

import pytest

from conftest import ProgramLogs, wait_until
from nut_clients import RawClient, cpu_seconds, flood_without_reading, pynut_session, service_processes, wineserver_of
from test_nut import ENCODING, PASSWORD, USER, installation_serving_ups

UPS = "ups"
SPACING = 1.0  # the server's refusal spacing per address, in seconds
GUESSERS, FILLERS = 10, 8  # the trial: guesses on ten connections, then eight fillers
CPU_SECONDS = 12
CPU_LIMIT_PERCENT = 5.0
WINESERVER_LIMIT_PERCENT = 10.0  # it serves every process of the prefix; the spin cost it 46 %


class Server:
    def __init__(self, installation, port):
        self.inst = installation
        self.port = port
        self.logs = ProgramLogs(installation.folder, ENCODING)


@pytest.fixture(scope="module")
def server(tmp_path_factory, service_probe):
    tmp = tmp_path_factory.mktemp("nut-hostile")
    with installation_serving_ups(service_probe, tmp / "Voltwarden Nut Hostile", UPS) as (installation, port):
        yield Server(installation, port)


def is_closed(client, within):
    """True when the server closes the connection within `within` seconds (whatever it sends before)."""
    deadline = time.monotonic() + within
    client.sock.settimeout(0.2)
    while time.monotonic() < deadline:
        try:
            if not client.sock.recv(4096):
                return True
        except socket.timeout:
            continue
        except OSError:  # reset: closed with our lines unread
            return True
    return False


def test_a_wrong_password_without_login_is_a_refusal(server):
    # First in the service's life: the line is written at most once an hour.
    before = len(server.logs.event_texts())
    first, second = RawClient(server.port), RawClient(server.port)
    for client in (first, second):
        assert client.ask(f"USERNAME {USER}") == "OK"
    sent_at = time.monotonic()
    first.send(b"PASSWORD wrong-1\n")
    second.send(b"PASSWORD wrong-2\n")
    # Answered as the reference server answers (the refusal is told by LOGIN), the one judged
    # second a spacing after the other, whichever it is.
    assert first.line() == "OK" and second.line() == "OK"
    assert time.monotonic() - sent_at >= SPACING - 0.15, "two wrong passwords of one address within a second"
    wait_until(lambda: "NutLogin:NG" in server.logs.event_texts()[before:], 10, "the refusal line")
    assert server.logs.event_texts()[before:] == ["NutLogin:NG"]
    # The connection goes on reading, as PyNUT's does with a wrong password.
    assert first.ask(f"GET VAR {UPS} ups.status") == f'VAR {UPS} ups.status "OL"'
    assert first.ask(f"LOGIN {UPS}") == "ERR ACCESS-DENIED"
    first.close()
    second.close()
    # PyNUT (USERNAME and PASSWORD without LOGIN) works as before with the right password.
    code, answers, err = pynut_session(server.port, UPS, USER, PASSWORD)
    assert code == 0, err
    assert answers["vars"]["ups.status"] == "OL"
    assert server.logs.event_texts()[before:] == ["NutLogin:NG"], "the right password is no refusal"


def survivors_of_the_fillers(port, right_at):
    """Guesses on GUESSERS connections (the right password on the one at `right_at`, or none), then
    FILLERS connections from the same address; the guessers the server has not closed."""
    guessers = []
    for i in range(GUESSERS):
        client = RawClient(port)
        password = PASSWORD if i == right_at else f"guess-{i}"
        client.send(f"USERNAME {USER}\nPASSWORD {password}\n".encode())
        guessers.append(client)
        time.sleep(0.05)
    time.sleep(0.5)
    fillers = []
    for _ in range(FILLERS):
        fillers.append(RawClient(port))
        assert fillers[-1].ask("NETVER"), "a filler was not answered"
    survivors = {i for i, client in enumerate(guessers) if not is_closed(client, 3)}
    for client in guessers + fillers:
        client.close()
    time.sleep(1.5)  # the server sees them go; the spacing of the wrong guesses has passed
    return survivors


def test_which_connection_survives_the_fillers_does_not_tell_the_password(server):
    # A client that logged in (as upsmon does) is the longest-silent of the address, yet is never
    # closed for room.
    logged_in = RawClient(server.port)
    for line in (f"USERNAME {USER}", f"PASSWORD {PASSWORD}", f"LOGIN {UPS}"):
        assert logged_in.ask(line) == "OK", line
    time.sleep(SPACING)
    results = {right_at: survivors_of_the_fillers(server.port, right_at) for right_at in (None, GUESSERS - 1, 4)}
    assert results[GUESSERS - 1] == results[None], results
    assert results[4] == results[None], results
    assert logged_in.ask(f"GET NUMLOGINS {UPS}") == f"NUMLOGINS {UPS} 1", "the logged-in client was closed"
    logged_in.close()


def test_a_refused_client_that_sends_without_reading_leaves_the_service_idle(server):
    client = socket.socket()
    for option in (socket.SO_RCVBUF, socket.SO_SNDBUF):
        client.setsockopt(socket.SOL_SOCKET, option, 4096)  # small: the flood fills them soon
    client.settimeout(20)
    client.connect(("127.0.0.1", server.port))
    raw = RawClient.__new__(RawClient)
    raw.sock, raw.pending = client, b""
    time.sleep(SPACING)  # past the spacing of the tests before
    for line, answer in ((f"USERNAME {USER}", "OK"), ("PASSWORD not-the-password", "OK"),
                         (f"LOGIN {UPS}", "ERR ACCESS-DENIED")):
        assert raw.ask(line) == answer, line
    sent = flood_without_reading(client, f"LIST VAR {UPS}")
    assert sent > 0
    pids = service_processes(server.inst.folder)
    assert len(pids) == 1, pids
    wineserver = wineserver_of(os.environ["WINEPREFIX"])
    service_before = cpu_seconds(pids[0])
    wineserver_before = cpu_seconds(wineserver) if wineserver else 0
    started = time.monotonic()
    time.sleep(CPU_SECONDS)
    elapsed = time.monotonic() - started
    service_percent = 100 * (cpu_seconds(pids[0]) - service_before) / elapsed
    wineserver_percent = 100 * (cpu_seconds(wineserver) - wineserver_before) / elapsed if wineserver else 0
    print(f"flood of {sent} bytes; over {elapsed:.1f} s the service used {service_percent:.2f} % of one core, "
          f"the wineserver {wineserver_percent:.2f} %")
    assert service_percent < CPU_LIMIT_PERCENT, f"the service used {service_percent:.1f} % of one core"
    assert wineserver_percent < WINESERVER_LIMIT_PERCENT, f"the wineserver used {wineserver_percent:.1f} %"
    # The server still answers others meanwhile, and the connection is still open.
    other = RawClient(server.port)
    assert other.ask(f"GET VAR {UPS} ups.status") == f'VAR {UPS} ups.status "OL"'
    other.close()
    client.close()
