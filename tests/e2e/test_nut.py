"""The network UPS protocol server, end to end: the service under Wine's service control manager with
the simulated UPS, and Debian's real `upsc` and `upsmon` running natively and connecting to its port
on 127.0.0.1. Each installation gets a port that is free at the time.

The story tests run in order on one installed service (with the server on) and end in the shutdown
sequence; after a failed step the later ones are not run."""
import contextlib
import os
import shutil
import socket
import time

import pytest

from conftest import (
    DIST_DIR,
    SIM_DLL,
    Installation,
    ProgramLogs,
    SimulatedUps,
    event_log_texts,
    wait_until,
)
from nut_clients import (
    RawClient,
    SecondaryUpsmon,
    free_tcp_port,
    listening_tcp_ports,
    upsc,
    upsc_status,
    upsc_variables,
    wine_processes,
)

MODEL = "NV-1500 Sim"
USER, PASSWORD = "monuser", "s3cret-pw"
WAIT_TIME = 10  # the window in which upsc must see OB before FSD
EXCMDTIME = 10
ENCODING = "cp1252"


def write_settings(installation, **values):
    lines = ["LANG=en"] + [f"{key}={value}" for key, value in values.items()]
    installation.file("Setting.ini").write_bytes(("\r\n".join(lines) + "\r\n").encode("latin-1"))


def install_and_wait_for_the_ups(installation):
    code, out, err = installation.run("INSTALL", timeout=120)
    assert code == 0, (out, err)
    wait_until(lambda: f"UPS connected:{MODEL}" in event_log_texts(installation), 60, "the UPS connected line")


def service_pids():
    return wine_processes(os.environ["WINEPREFIX"])


def local_to_unix(stamp):
    """A naive local datetime of the simulator's call log (the machine's own time zone here)."""
    return time.mktime(stamp.timetuple()) + stamp.microsecond / 1e6


def test_with_nut_listen_empty_nothing_listens_and_set_it_listens(installation_with_sim, service_cleanup):
    inst = installation_with_sim
    SimulatedUps(inst.folder, PRESENT_ON="USB", MODEL=MODEL, MAINS="ON", MEASUREMENT_PERIOD_MS=500)
    write_settings(inst, WAIT_TIME=3600, NUT_USER=USER, NUT_PASSWORD=PASSWORD)
    install_and_wait_for_the_ups(inst)
    time.sleep(2)  # well past the start of the service
    assert listening_tcp_ports(service_pids()) == set()

    # The same look finds the server once NUT_LISTEN names a port: the check above can fail.
    port = free_tcp_port()
    code, out, _ = inst.run("SET", "1003", f"127.0.0.1:{port}")
    assert code == 0 and out == b"", out
    inst.run("STOP", timeout=120)
    assert service_cleanup.wait_for_state(1, timeout=60)
    inst.run("START", timeout=120)
    assert service_cleanup.wait_for_state(4, timeout=60)
    wait_until(lambda: port in listening_tcp_ports(service_pids()), 30, f"a listener on port {port}")
    assert listening_tcp_ports(service_pids()) == {port}


class Story:
    def __init__(self, installation, port, tmp):
        self.inst = installation
        self.port = port
        self.tmp = tmp
        self.ups = SimulatedUps(installation.folder, PRESENT_ON="USB", MODEL=MODEL, MAINS="ON", BATTERY=90,
                                MEASUREMENT_PERIOD_MS=500)
        self.logs = ProgramLogs(installation.folder, ENCODING)

    def level_calls(self):
        return len(self.ups.calls("GetCurrentBatteryLevel"))


@contextlib.contextmanager
def logged_in_upsmon(story, name):
    """A secondary upsmon with the right password, handed over once the server counts its login."""
    with SecondaryUpsmon(story.tmp / name, story.port, USER, PASSWORD) as upsmon:
        client = RawClient(story.port)
        wait_until(lambda: client.ask("GET NUMLOGINS ups") == "NUMLOGINS ups 1", 30, "upsmon to log in")
        client.close()
        yield upsmon


@contextlib.contextmanager
def installation_for_a_module(service_probe, folder):
    """build/dist and the UPS simulator copied into `folder`, for the tests of a module that share one
    installed service; no service of ours is installed before or after."""
    gone = (["REMOVED"], ["ABSENT"])
    assert service_probe.remove() in gone
    shutil.copytree(DIST_DIR, folder)
    shutil.copy2(SIM_DLL, folder / "NervaUPSLib.dll")
    yield Installation(folder)
    assert service_probe.remove() in gone


@contextlib.contextmanager
def installation_serving_ups(service_probe, folder, ups):
    """An installed service whose network server answers on 127.0.0.1 for the UPS named `ups`, the
    simulated UPS on mains at 90 %; yields (installation, port) once `upsc` reads OL."""
    with installation_for_a_module(service_probe, folder) as installation:
        SimulatedUps(installation.folder, PRESENT_ON="USB", MODEL=MODEL, MAINS="ON", BATTERY=90,
                     MEASUREMENT_PERIOD_MS=500)
        port = free_tcp_port()
        write_settings(installation, WAIT_TIME=3600, NUT_LISTEN=f"127.0.0.1:{port}", NUT_UPSNAME=ups,
                       NUT_USER=USER, NUT_PASSWORD=PASSWORD)
        install_and_wait_for_the_ups(installation)
        wait_until(lambda: upsc_status(port) == "OL", 30, "the server to answer OL")
        yield installation, port


@pytest.fixture(scope="module")
def story(tmp_path_factory, service_probe):
    tmp = tmp_path_factory.mktemp("nut")
    with installation_for_a_module(service_probe, tmp / "Voltwarden Nut") as installation:
        port = free_tcp_port()
        state = Story(installation, port, tmp)
        write_settings(installation, WAIT_TIME=WAIT_TIME, EXCMD="cmd /c exit 0", EXCMDTIME=EXCMDTIME,
                       NUT_LISTEN=f"127.0.0.1:{port}", NUT_UPSNAME="ups", NUT_USER=USER, NUT_PASSWORD=PASSWORD)
        install_and_wait_for_the_ups(installation)
        yield state


@pytest.mark.incremental
class TestNetworkClients:
    def test_upsc_lists_the_ups_and_its_variables(self, story):
        wait_until(lambda: upsc_status(story.port) == "OL", 30, "upsc to see OL")
        variables = upsc_variables(story.port)
        assert variables["ups.status"] == "OL"
        assert variables["device.type"] == "ups"
        assert variables["ups.model"] == MODEL
        assert variables["battery.charge"] == "90"
        for name in ("input.voltage", "input.frequency", "output.voltage", "output.frequency", "ups.load",
                     "ups.temperature", "battery.voltage"):
            float(variables[name])  # present, and a number
        # The simulator's record: field 6 the temperature (28), field 7 the battery voltage (12.0 to 13.6).
        assert variables["ups.temperature"] == "28"
        assert 12.0 <= float(variables["battery.voltage"]) <= 13.6, variables["battery.voltage"]
        code, out, _ = upsc("-l", f"127.0.0.1:{story.port}")
        assert (code, out) == (0, "ups\n")
        code, out, err = upsc(f"nosuch@127.0.0.1:{story.port}")
        assert code != 0 and "Unknown UPS" in err

    def test_a_wrong_password_is_refused_and_written_once(self, story):
        before = len(story.logs.event_texts())
        for attempt in range(5):
            client = RawClient(story.port)
            assert client.ask(f"USERNAME {USER}") == "OK"
            assert client.ask(f"PASSWORD wrong{attempt}") == "OK"
            assert client.ask("LOGIN ups") == "ERR ACCESS-DENIED"
            client.close()
        with SecondaryUpsmon(story.tmp / "wrong-upsmon", story.port, USER, "not-the-password") as upsmon:
            wait_until(lambda: "ACCESS-DENIED" in upsmon.output(), 30, "upsmon to be refused")
        assert story.logs.event_texts()[before:] == ["NutLogin:NG"]
        client = RawClient(story.port)
        assert client.ask("GET NUMLOGINS ups") == "NUMLOGINS ups 0"
        assert client.ask("SET VAR ups ups.id x") == "ERR ACCESS-DENIED"
        assert client.ask("INSTCMD ups load.off") == "ERR ACCESS-DENIED"
        client.close()

    def test_hostile_input_never_stops_the_monitoring_or_the_server(self, story):
        lines0 = len(story.logs.event_texts())
        calls0 = story.level_calls()
        overlong = RawClient(story.port)
        overlong.send(b"GET VAR ups " + b"x" * 5000 + b"\n")
        assert overlong.line() == "ERR INVALID-ARGUMENT"
        assert overlong.line() is None
        binary = RawClient(story.port)
        binary.send(bytes(range(256)) * 2)
        assert binary.line() == "ERR INVALID-ARGUMENT"
        half = RawClient(story.port)
        half.send(b"GET VAR ups ups.sta")  # and then nothing more
        silent = RawClient(story.port)
        held = [RawClient(story.port) for _ in range(40)]  # beyond the connection limit
        for _ in range(300):  # a burst of connects that say nothing and go
            with socket.create_connection(("127.0.0.1", story.port), timeout=20):
                pass
        for client in held + [binary, half, silent, overlong]:
            client.close()
        # The service went on meanwhile and wrote nothing; it still handles the UPS's records
        # (a new battery level reaches the simulator's call log, which logs only changed
        # answers, and the clients) and answers a normal client.
        assert story.logs.event_texts()[lines0:] == []
        story.ups.set(BATTERY=80)
        wait_until(lambda: story.level_calls() > calls0, 30, "the service to keep handling records")
        assert wait_until(lambda: (upsc_variables(story.port) or {}).get("battery.charge") == "80", 30,
                          "upsc to be answered with the new level")
        assert story.logs.event_texts()[lines0:] == []
        assert upsc_status(story.port) == "OL"

    def test_idle_connections_cannot_lock_out_the_clients(self, story):
        with logged_in_upsmon(story, "lockout-upsmon"):
            held = [RawClient(story.port) for _ in range(40)]  # they send nothing
            assert upsc_status(story.port) == "OL"
            check = RawClient(story.port)
            assert check.ask("GET NUMLOGINS ups") == "NUMLOGINS ups 1", "the logged-in upsmon was never closed"
            check.close()
            for c in held:
                c.close()

    def test_a_tray_client_ending_its_lines_in_cr_cr_lf_is_answered(self, story):
        client = RawClient(story.port)
        client.send(b"VER\r\r\n")
        version = client.line().split()
        assert len(version) >= 5 and version[4][0].isdigit(), version  # the fifth word is the version
        for line, answer in ((f"USERNAME {USER}", "OK"), (f"PASSWORD {PASSWORD}", "OK"), ("LOGIN ups", "OK"),
                             ("GET VAR ups ups.status", 'VAR ups ups.status "OL"')):
            client.send(line.encode() + b"\r\r\n")
            assert client.line() == answer, line
        client.send(b"LOGOUT\r\r\n")
        assert client.line() == "OK Goodbye"
        client.close()

    def test_one_connection_silent_for_more_than_a_minute_stays_open(self, story):
        client = RawClient(story.port, timeout=30)
        client.send(b"LIST VAR ups\n")
        assert client.line() == "BEGIN LIST VAR ups"
        while client.line() != "END LIST VAR ups":
            pass
        time.sleep(65)  # a home-automation poller asks once a minute
        client.send(b"LIST VAR ups\n")
        assert client.line() == "BEGIN LIST VAR ups"
        client.close()

    def test_upsmon_secondary_shuts_down_when_our_sequence_starts_before_the_output_off(self, story):
        with logged_in_upsmon(story, "secondary") as upsmon:
            failed_at = story.ups.set(MAINS="OFF")
            wait_until(lambda: upsc_status(story.port) == "OB", WAIT_TIME, "upsc to see OB")
            shutdown_at = wait_until(upsmon.shutdown_time, WAIT_TIME + 30, "the secondary's SHUTDOWNCMD")
            assert shutdown_at > failed_at + WAIT_TIME - 1
            wait_until(lambda: story.ups.calls("Shutdown"), EXCMDTIME + 30, "the UPS output-off")
            output_off_at = local_to_unix(story.ups.calls("Shutdown")[0][0])
            assert shutdown_at < output_off_at, upsmon.output()
            assert upsc_status(story.port) == "FSD OB"
            # Written before the output-off: the secondary had logged out by then.
            assert "NutClients:LoggedIn=0" in story.logs.event_texts(), story.logs.event_texts()
            # The UPS lost now: the other machines still learn of the shutdown.
            story.ups.set(MAINS="OFF", LOST=1)
            time.sleep(3)
            assert upsc_status(story.port) == "FSD OB"
