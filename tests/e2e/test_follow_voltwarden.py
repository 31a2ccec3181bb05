"""One UPS, two Windows computers: a primary (the simulated UPS on its cable, its network server on) and a
secondary in a Wine prefix of its own that follows the primary's UPS over the network UPS protocol, with no
UPS library beside it, and serves it on with its own network server. The primary's outage reaches the
secondary (and its own clients), which shuts down on the primary's FSD and logs out before the primary
switches the UPS output off."""
import shutil
import time

import pytest

from conftest import (
    DIST_DIR,
    Installation,
    ProgramLogs,
    SimulatedUps,
    WineSession,
    read_messages,
    wait_until,
)
from nut_clients import RawClient, free_tcp_port, upsc_status
from test_nut import installation_for_a_module, install_and_wait_for_the_ups, local_to_unix, write_settings

MODEL = "NV-1500 Sim"
USER, PASSWORD = "follower", "f0llow-me"
WAIT_TIME = 5
# Without EXCMD the primary waits up to EXCMDTIME for its clients to log out before its output-off,
# and no longer than they take.
EXCMDTIME = 40
ENCODING = "cp1252"


@pytest.fixture
def secondary_session():
    session = WineSession("follow-secondary").start()
    yield session
    session.stop()


def test_the_primarys_outage_reaches_the_secondary_which_logs_out_before_the_output_off(
        tmp_path, service_probe, secondary_session):
    with installation_for_a_module(service_probe, tmp_path / "Primary") as primary:
        ups = SimulatedUps(primary.folder, PRESENT_ON="USB", MODEL=MODEL, MAINS="ON", BATTERY=90,
                           MEASUREMENT_PERIOD_MS=500)
        port = free_tcp_port()
        write_settings(primary, WAIT_TIME=WAIT_TIME, EXCMDTIME=EXCMDTIME,
                       NUT_LISTEN=f"127.0.0.1:{port}", NUT_UPSNAME="ups", NUT_USER=USER, NUT_PASSWORD=PASSWORD)
        install_and_wait_for_the_ups(primary)
        wait_until(lambda: upsc_status(port) == "OL", 30, "the primary's server to answer OL")

        # The secondary: the program's files and nothing else, no UPS library.
        secondary_folder = tmp_path / "Secondary"
        shutil.copytree(DIST_DIR, secondary_folder)
        assert not (secondary_folder / "NervaUPSLib.dll").exists()
        secondary = Installation(secondary_folder)
        relay_port = free_tcp_port()
        write_settings(secondary, WAIT_TIME=3600, DEVICE=f"ups@127.0.0.1:{port}", REMOTE_USER=USER,
                       REMOTE_PASSWORD=PASSWORD, NUT_LISTEN=f"127.0.0.1:{relay_port}")
        code, out, err = secondary_session.run(secondary, "INSTALL", timeout=180)
        assert code == 0, (out, err)
        try:
            logs = ProgramLogs(secondary_folder, ENCODING)
            wait_until(lambda: f"UPS connected:{MODEL}" in logs.event_texts(), 60, "the secondary to connect")
            client = RawClient(port)
            wait_until(lambda: client.ask("GET NUMLOGINS ups") == "NUMLOGINS ups 1", 30,
                       "the secondary's login to be counted")
            client.close()
            wait_until(lambda: logs.status().get("CONNECTION") == "1", 30, "the secondary's status")
            assert logs.status().get("ACFAIL") == "0"
            # The secondary serves the followed UPS on, and keeps it fresh.
            wait_until(lambda: upsc_status(relay_port) == "OL", 30, "the secondary's server to answer OL")
            time.sleep(12)  # beyond the 10 s after which a UPS's data counts as stale
            assert upsc_status(relay_port) == "OL"

            failed_at = ups.set(MAINS="OFF")
            wait_until(lambda: logs.status().get("ACFAIL") == "1", 10, "the secondary to see the outage")
            seen_at = time.time()
            assert seen_at - failed_at < 10
            wait_until(lambda: upsc_status(relay_port) in ("OB", "FSD OB"), 10, "the relay to show OB")

            messages = read_messages(secondary_folder, "en")
            wait_until(lambda: messages["OS_Shutdown_is_started"] in logs.event_texts(), WAIT_TIME + 30,
                       "the secondary's OS shutdown")
            texts = logs.event_texts()
            fsd = texts.index(messages["Shutdown_by_remote_fsd"])
            left = texts.index(messages["Output_off_left_to_server"])
            started = texts.index(messages["OS_Shutdown_is_started"])
            assert fsd < left < started, texts
            assert not any(t.startswith("UPSLogout:ER=") for t in texts), texts
            assert not any(t.startswith("UPSShutdown:ER=") for t in texts), texts
            assert upsc_status(relay_port) == "FSD OB", "the relay shows the shutdown, FSD first"

            # The primary waited for its follower before switching the UPS off.
            wait_until(lambda: ups.calls("Shutdown"), EXCMDTIME + 30, "the primary's output-off")
            primary_texts = ProgramLogs(primary.folder, ENCODING).event_texts()
            assert "NutClients:LoggedIn=0" in primary_texts, primary_texts
            output_off_at = local_to_unix(ups.calls("Shutdown")[0][0])
            secondary_left_at = secondary_session.unix_time(logs.event_lines()[left][0])
            # Whole seconds in the event log: the logout's second is not after the output-off.
            assert secondary_left_at <= output_off_at, (secondary_left_at, output_off_at)
            assert output_off_at - failed_at < WAIT_TIME + EXCMDTIME, "the primary waited out EXCMDTIME: the secondary never logged out"
        finally:
            secondary_session.run(secondary, "UNINSTALL", timeout=120)

