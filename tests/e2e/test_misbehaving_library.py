"""The service against a UPS library that misbehaves, through Wine's real service control
manager and the simulator: an output-off call that never returns, a reconnection that hangs
during an outage, and a library that reports the same mains failure again. Nothing of it may
hold the shutdown back."""
import time

from conftest import ProgramLogs, read_sim_calls, wait_until
from test_service import (STOPPED, program, running_service, wait_for_log,  # noqa: F401 (fixtures)
                          write_settings, write_sim_control)


def sim_calls(installation, entry):
    return read_sim_calls(installation.folder / "NervaUPSSim.log", entry)


def event_lines(installation):
    return ProgramLogs(installation.folder, "latin-1").event_lines()


def wait_for_mains_failure(installation):
    wait_until(lambda: b"ACFAIL=1" in installation.read_bytes("Status.ini"), 15, "the mains failure in Status.ini")


def test_an_output_off_that_hangs_is_given_up_and_windows_shut_down(running_service, service_cleanup):
    """The UPS library's Shutdown never returns: after its 10 s the event log says so
    (ER=1460, ERROR_TIMEOUT) and the OS shutdown follows at once; once the call returns, the
    service stops as usual."""
    installation = running_service.installation
    write_settings(installation, WAIT_TIME=1)
    write_sim_control(installation, BLOCK="Shutdown", MAINS="OFF")
    wait_until(lambda: any(f.get("state") == "blocked" for *_, f in sim_calls(installation, "Shutdown")), 30,
               "the output-off to hang")
    blocked_at = time.time()
    os_line = running_service.text("OS_Shutdown_is_started")
    assert wait_for_log(installation, lambda t: t == os_line, timeout=40), running_service.log()

    lines = event_lines(installation)
    texts = [text for _, text in lines]
    assert texts.index("UPSShutdown:ER=1460") < texts.index(os_line)
    shut_down_at = next(stamp for stamp, text in lines if text == os_line).timestamp()
    # Ten seconds of the call, stamped in whole seconds, on a machine that may be loaded.
    assert blocked_at + 8 <= shut_down_at <= blocked_at + 25, shut_down_at - blocked_at

    write_sim_control(installation, MAINS="OFF")  # the call returns
    wait_until(lambda: len(sim_calls(installation, "Shutdown")) == 2, 20, "the hung output-off to return")
    reply, changes = service_cleanup.control("stop", watch_ms=30000)
    assert changes and changes[-1][1] == STOPPED, changes
    assert len([c for c in sim_calls(installation, "Shutdown") if "result" in c[3]]) == 1, "sent once"


def test_a_reconnection_that_hangs_during_an_outage_never_holds_the_decision(running_service, service_cleanup):
    """The UPS falls silent during an outage and the reconnection hangs inside the library
    for ever: the OS shutdown still comes at WAIT_TIME, on the last state the UPS reported."""
    installation = running_service.installation
    wait_time = 16  # past the 10 s after which the silent UPS is dropped and a reconnection begins
    write_settings(installation, WAIT_TIME=wait_time)
    failed_at = time.time()
    write_sim_control(installation, MAINS="OFF")
    wait_for_mains_failure(installation)
    write_sim_control(installation, MAINS="OFF", SILENT=1, BLOCK="InitNervaUPSLib")

    os_line = running_service.text("OS_Shutdown_is_started")
    assert wait_for_log(installation, lambda t: t == os_line, timeout=wait_time + 30), running_service.log()
    assert any(f.get("state") == "blocked" for *_, f in sim_calls(installation, "InitNervaUPSLib")), \
        "the reconnection never began"
    lines = event_lines(installation)
    shut_down_at = next(stamp for stamp, text in lines if text == os_line).timestamp()
    assert failed_at + wait_time - 1 <= shut_down_at <= failed_at + wait_time + 4, shut_down_at - failed_at
    texts = [text for _, text in lines]
    assert texts.index("UPSShutdown:ER=1167") < texts.index(os_line)

    # Released, the hanging call returns; a stop ends the service as usual.
    write_sim_control(installation, MAINS="OFF")
    reply, changes = service_cleanup.control("stop", watch_ms=30000)
    assert changes and changes[-1][1] == STOPPED, changes


def test_a_repeated_failure_report_does_not_restart_the_countdown(running_service, service_cleanup):
    """The library reports the mains failure (code 3) a second time while mains is still off:
    the output-off still comes WAIT_TIME after the first report."""
    installation = running_service.installation
    wait_time = 6
    write_settings(installation, WAIT_TIME=wait_time)
    write_sim_control(installation, MAINS="OFF")
    wait_for_mains_failure(installation)
    time.sleep(3)
    write_sim_control(installation, MAINS="OFF", EVENT=3, EVENT_SEQ=1)

    wait_until(lambda: sim_calls(installation, "Shutdown"), wait_time + 20, "the output-off")
    code3 = [c[0] for c in sim_calls(installation, "Event") if c[3].get("code") == "3"]
    assert len(code3) >= 2, "the failure was reported twice"
    off = sim_calls(installation, "Shutdown")[0][0]
    after_first = (off - code3[0]).total_seconds()
    assert wait_time - 0.5 <= after_first <= wait_time + 2, after_first
