"""The end of the shutdown sequence and watching again, with the service under Wine's
service control manager and the simulated UPS.

Under Wine 8 powrprof's IsPwrHibernateAllowed answers TRUE and SetSuspendState is a stub
that accepts the request, prints its arguments on the powrprof channel
("fixme:powrprof:SetSuspendState (1, 0, 1) stub!": hibernate, not forced, wake events
disabled) and returns TRUE without hibernating; InitiateSystemShutdownEx accepts the
power-off without doing it either. So the roads that are real here are: the hibernation
asked for and accepted, the computer still running a minute later and the power-off asked
for instead; and a power-off accepted that does not happen, after which the service
watches the UPS again (REARM_TIME) and runs a second outage's sequence in full. A refused
hibernation is proved by the unit tests through the seam.

The hibernation's test boots a Wine session of its own with the powrprof, advapi and
eventlog channels on (conftest.WineSession), so that the stub's line and the service's
Windows events can be read, in the order the service made them.
"""
import re
import time

import pytest

from conftest import WineSession, parse_windows_events, read_sim_calls, wait_until
from nut_clients import free_tcp_port, upsc_status
from test_service import (RUNNING, SIM_MODEL, program, running_service,  # noqa: F401 (fixtures)
                          wait_for_first_record, wait_for_log, write_settings, write_sim_control)

HIBERNATE_LIMIT = 60  # seconds the computer may keep running after an accepted hibernation


def output_offs(installation):
    return [c for c in read_sim_calls(installation.folder / "NervaUPSSim.log", "Shutdown") if "result" in c[3]]


def set_mains(installation, state):
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, MAINS=state)
    flag = b"ACFAIL=1" if state == "OFF" else b"ACFAIL=0"
    wait_until(lambda: flag in installation.read_bytes("Status.ini"), 20, f"mains {state} in Status.ini")


def count(lines, text):
    return sum(1 for line in lines if line == text)


WARNING, EV_OS_SHUTDOWN = 2, 2014
SUSPEND_REQUEST = re.compile(rb"fixme:powrprof:SetSuspendState \((\d+), (\d+), (\d+)\) stub")


@pytest.fixture(scope="module")
def traced_session():
    session = WineSession("hibernate", WINEDEBUG="fixme+powrprof,fixme+advapi,+eventlog").start()
    yield session
    session.stop()


@pytest.fixture
def traced_service(traced_session, program):
    """The service installed in the traced session, connected and past the UPS's first record."""
    code, out, err = traced_session.run(program.installation, "INSTALL", timeout=180)
    assert code == 0, (out, err)
    connected = program.text("UPS_connected") + ":" + SIM_MODEL
    assert wait_for_log(program.installation, lambda t: t == connected, timeout=60), program.log()
    assert wait_for_first_record(program.installation, timeout=60), program.log()
    yield program
    traced_session.run(program.installation, "UNINSTALL", timeout=120)


def hibernation_requests(session):
    """The (bHibernate, bForce, bWakeupEventsDisabled) of each SetSuspendState call in the session's
    debug log, and the Windows events reported before the first one; None before any call."""
    debug = session.debug_log.read_bytes()
    first = SUSPEND_REQUEST.search(debug)
    if first is None:
        return None
    requests = [tuple(map(int, found.groups())) for found in SUSPEND_REQUEST.finditer(debug)]
    return requests, [(kind, number) for kind, number, _ in parse_windows_events(debug[:first.start()])]


def test_hibernation_is_asked_for_and_a_computer_still_running_a_minute_later_is_powered_off(traced_session,
                                                                                             traced_service):
    running_service = traced_service
    installation = running_service.installation
    write_settings(installation, WAIT_TIME=2, OS_SHUTDOWN="hibernate")
    set_mains(installation, "OFF")

    hibernating = running_service.text("OS_Hibernate_is_started")
    assert wait_for_log(installation, lambda t: t == hibernating, timeout=30), running_service.log()
    asked_at = time.monotonic()
    assert len(output_offs(installation)) == 1
    # Wake events disabled, so no wake timer cuts the hibernation short; its event is reported
    # before the request, which on Windows returns only after the wake.
    requests, events_before = wait_until(lambda: hibernation_requests(traced_session), 10,
                                         "the SetSuspendState request in the debug log")
    assert requests == [(1, 0, 1)]
    assert events_before[-1:] == [(WARNING, EV_OS_SHUTDOWN)], events_before
    power_off = running_service.text("OS_Shutdown_is_started")
    assert power_off not in running_service.log(), "the power-off waits for the hibernation's minute"

    assert wait_for_log(installation, lambda t: t == power_off, timeout=HIBERNATE_LIMIT + 30), running_service.log()
    waited = time.monotonic() - asked_at
    assert waited >= HIBERNATE_LIMIT - 2, f"the power-off came {waited:.1f} s after the hibernation was accepted"
    log = running_service.log()
    given_up = running_service.text("Hibernation_did_not_happen")
    assert log.index(hibernating) < log.index("Hibernate:Timeout") < log.index(given_up) < log.index(power_off)
    assert count(log, hibernating) == 1, "a hibernation under way is not asked for again"
    assert hibernation_requests(traced_session)[0] == [(1, 0, 1)]
    assert len(output_offs(installation)) == 1, "the output-off once"


def test_a_power_off_that_did_not_happen_is_followed_by_watching_again(program, service_cleanup):
    installation = program.installation
    port = free_tcp_port()
    rearm_time = 10
    # The network server takes NUT_LISTEN when the service starts.
    write_settings(installation, WAIT_TIME=2, REARM_TIME=rearm_time, NUT_LISTEN=f"127.0.0.1:{port}")
    program.run("INSTALL")
    assert service_cleanup.state() == RUNNING
    connected = program.text("UPS_connected") + ":" + SIM_MODEL
    assert wait_for_log(installation, lambda t: t == connected), program.log()
    assert wait_for_first_record(installation), program.log()
    running_service = program
    set_mains(installation, "OFF")

    power_off = running_service.text("OS_Shutdown_is_started")
    assert wait_for_log(installation, lambda t: t == power_off, timeout=30), running_service.log()
    assert len(output_offs(installation)) == 1
    wait_until(lambda: upsc_status(port) == "FSD OB", 20, "FSD shown while the shutdown is under way")
    # Mains comes back while Windows, which accepted the power-off, stays up.
    set_mains(installation, "OL")

    not_done = running_service.text("OS_Shutdown_did_not_happen")
    assert wait_for_log(installation, lambda t: t == not_done, timeout=rearm_time + 20), running_service.log()
    wait_until(lambda: upsc_status(port) == "OL", 30, "the network server without FSD once the service re-armed")

    # A second outage: the whole sequence once more.
    set_mains(installation, "OFF")
    wait_until(lambda: count(running_service.log(), power_off) == 2, 30, "the second outage's OS shutdown")
    assert len(output_offs(installation)) == 2, "the second outage has its own output-off"
    log = running_service.log()
    assert log.index(power_off) < log.index(not_done)
    assert count(log, not_done) == 1
