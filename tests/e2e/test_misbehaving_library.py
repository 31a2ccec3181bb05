"""The service against a UPS library that misbehaves, through Wine's real service control
manager and the simulator: an output-off call that never returns, a reconnection that hangs
during an outage, a library that reports the same mains failure again, a battery-level query
that hangs, and a UPS that comes back flagging a low battery before its first record. Nothing
of it may hold the shutdown back, and nothing may shut down a computer on mains."""
import time

import pytest

from conftest import ProgramLogs, read_sim_calls, wait_until
from test_service import (STOPPED, event_list_text, program, running_service,  # noqa: F401 (fixtures)
                          wait_for_log, write_settings, write_sim_control)


def sim_calls(installation, entry):
    return read_sim_calls(installation.folder / "NervaUPSSim.log", entry)


def event_lines(installation):
    return ProgramLogs(installation.folder, "latin-1").event_lines()


def wait_for_mains_failure(installation):
    wait_until(lambda: b"ACFAIL=1" in installation.read_bytes("Status.ini"), 15, "the mains failure in Status.ini")


def output_offs(installation):
    return [c for c in sim_calls(installation, "Shutdown") if "result" in c[3]]


def blocked(installation, entry):
    return any(f.get("state") == "blocked" for *_, f in sim_calls(installation, entry))


def lose_the_ups(installation, **control):
    """The UPS reports itself lost (code 2); returns once the service looks for it in vain."""
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, LOST=1, **control)
    lost_from = len(sim_calls(installation, "GetUPSList"))
    wait_until(lambda: any(c[3].get("count") == "0" for c in sim_calls(installation, "GetUPSList")[lost_from:]), 20,
               "a connect attempt that finds no UPS")


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


@pytest.mark.parametrize("mains_when_back", ["ON", "OFF"])
def test_a_low_battery_before_the_first_record_of_a_reconnection_is_judged_on_what_holds_now(
        running_service, service_cleanup, mains_when_back):
    """Mains fails, the UPS is lost, and comes back (mains back meanwhile, or still failed)
    flagging a low battery on the new connection before its first record. On mains that
    shuts nothing down and cuts no output; still on battery, the low-battery rule fires."""
    installation = running_service.installation
    write_settings(installation, WAIT_TIME=3600)
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, MAINS="OFF")
    wait_for_mains_failure(installation)
    lose_the_ups(installation, MAINS="OFF")

    events_before = len(sim_calls(installation, "Event"))
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, MAINS=mains_when_back, BATTERY_LOW=1,
                      HOLD_FIRST_RECORD_MS=3000)
    wait_until(lambda: any(c[3].get("code") == "5" for c in sim_calls(installation, "Event")[events_before:]), 30,
               "code 5 on the new connection")
    low_text = event_list_text(installation, 5)
    assert wait_for_log(installation, lambda t: t == low_text, timeout=10), "the service took code 5 as its UPS's"
    reason = running_service.text("Shutdown_by_battery_low")
    os_line = running_service.text("OS_Shutdown_is_started")
    if mains_when_back == "ON":
        wait_until(lambda: b"ACFAIL=0" in installation.read_bytes("Status.ini"), 20, "mains back in Status.ini")
        time.sleep(5)
        log = running_service.log()
        assert reason not in log, log
        assert os_line not in log, log
        assert not output_offs(installation), "no output-off on mains"
    else:
        assert wait_for_log(installation, lambda t: t == os_line, timeout=40), running_service.log()
        log = running_service.log()
        assert log.count(reason) == 1, log
        assert log.index(reason) < log.index(os_line)
        assert len(output_offs(installation)) == 1


def test_a_battery_query_that_hangs_never_holds_up_the_decision(running_service, service_cleanup):
    """GetCurrentBatteryLevel never returns: mains failure is still recorded at once and the
    OS shutdown comes within WAIT_TIME + 15 s."""
    installation = running_service.installation
    wait_time = 5
    write_settings(installation, WAIT_TIME=wait_time)
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, BLOCK="GetCurrentBatteryLevel")
    wait_until(lambda: blocked(installation, "GetCurrentBatteryLevel"), 20, "the battery query to hang")
    failed_at = time.time()
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, BLOCK="GetCurrentBatteryLevel", MAINS="OFF")
    wait_for_mains_failure(installation)

    os_line = running_service.text("OS_Shutdown_is_started")
    assert wait_for_log(installation, lambda t: t == os_line, timeout=wait_time + 30), running_service.log()
    lines = event_lines(installation)
    shut_down_at = next(stamp for stamp, text in lines if text == os_line).timestamp()
    # Stamped in whole seconds.
    assert shut_down_at <= failed_at + wait_time + 15, shut_down_at - failed_at
    assert len(output_offs(installation)) == 1, "the output-off went through beside the hung query"

    write_sim_control(installation, MAINS="OFF")  # the query returns
    reply, changes = service_cleanup.control("stop", watch_ms=30000)
    assert changes and changes[-1][1] == STOPPED, changes


@pytest.mark.parametrize("charge_query_hangs", [False, True])
def test_the_charge_rule_sees_through_a_hung_model_query_or_says_it_cannot(
        running_service, service_cleanup, charge_query_hangs):
    """A reconnection hangs in GetModelName while the records flow, and mains fails with the
    charge at 75 % under SHUTDOWN_CHARGE 95: the charge, asked on its own thread, starts the
    shutdown. When the charge query hangs too, a line says after 30 s on battery that the
    rule cannot see the charge, and WAIT_TIME still shuts down."""
    installation = running_service.installation
    wait_time = 45
    write_settings(installation, WAIT_TIME=wait_time, SHUTDOWN_CHARGE=95)
    block = "GetModelName,GetCurrentBatteryLevel" if charge_query_hangs else "GetModelName"
    lose_the_ups(installation, BATTERY=75)
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, BATTERY=75, BLOCK=block)
    wait_until(lambda: blocked(installation, "GetModelName"), 30, "the model query to hang")
    time.sleep(7)  # the call on the link has hung for more than 5 s: it counts as stalled
    failed_at = time.time()
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, BATTERY=75, BLOCK=block, MAINS="OFF")
    wait_for_mains_failure(installation)

    os_line = running_service.text("OS_Shutdown_is_started")
    unreadable = running_service.text("Battery_charge_unreadable")
    charge_prefix = running_service.text("Shutdown_by_battery_charge") + ":"
    if not charge_query_hangs:
        assert wait_for_log(installation, lambda t: t == os_line, timeout=40), running_service.log()
        log = running_service.log()
        fired = [t for t in log if t.startswith(charge_prefix)]
        assert len(fired) == 1, log
        assert 70 <= int(fired[0][len(charge_prefix):]) <= 75
        assert unreadable not in log
    else:
        assert wait_for_log(installation, lambda t: t == unreadable, timeout=45), running_service.log()
        lines = event_lines(installation)
        said_at = next(stamp for stamp, text in lines if text == unreadable).timestamp()
        assert failed_at + 29 <= said_at <= failed_at + 40, said_at - failed_at
        assert wait_for_log(installation, lambda t: t == os_line, timeout=wait_time + 30), running_service.log()
        lines = event_lines(installation)
        texts = [text for _, text in lines]
        assert texts.count(unreadable) == 1, "throttled"
        assert not [t for t in texts if t.startswith(charge_prefix)]
        shut_down_at = next(stamp for stamp, text in lines if text == os_line).timestamp()
        assert failed_at + wait_time - 1 <= shut_down_at <= failed_at + wait_time + 15, shut_down_at - failed_at

    write_sim_control(installation, MAINS="OFF")  # every hung call returns
    reply, changes = service_cleanup.control("stop", watch_ms=30000)
    assert changes and changes[-1][1] == STOPPED, changes
