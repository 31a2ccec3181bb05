"""The battery's say in the shutdown, with the service under Wine's service control manager
and the simulated UPS: a low battery on battery power, and a charge at SHUTDOWN_CHARGE or
below, start the sequence at once, long before WAIT_TIME; with BATTERY_LOW_SHUTDOWN=0 a low
battery waits for WAIT_TIME as before."""
import time

from conftest import read_sim_calls, wait_until
from test_service import (event_list_text, program, running_service, wait_for_log,  # noqa: F401 (fixtures)
                          write_settings, write_sim_control)


def output_offs(installation):
    return [c for c in read_sim_calls(installation.folder / "NervaUPSSim.log", "Shutdown") if "result" in c[3]]


def fail_mains(installation, **more):
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, MAINS="OFF", **more)
    wait_until(lambda: b"ACFAIL=1" in installation.read_bytes("Status.ini"), 15, "the mains failure in Status.ini")


def test_a_low_battery_on_battery_starts_the_shutdown_at_once(running_service, service_cleanup):
    installation = running_service.installation
    write_settings(installation, WAIT_TIME=600)
    fail_mains(installation)
    reported_at = time.time()
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, MAINS="OFF", BATTERY_LOW=1)

    wait_until(lambda: output_offs(installation), 20, "the output-off")
    assert output_offs(installation)[0][0].timestamp() - reported_at < 10
    os_line = running_service.text("OS_Shutdown_is_started")
    assert wait_for_log(installation, lambda t: t == os_line, timeout=20), running_service.log()
    log = running_service.log()
    reason = running_service.text("Shutdown_by_battery_low")
    assert log.count(reason) == 1, log
    assert log.index(reason) < log.index(os_line)


def test_with_the_rule_off_a_low_battery_waits_for_wait_time(running_service, service_cleanup):
    installation = running_service.installation
    write_settings(installation, WAIT_TIME=600, BATTERY_LOW_SHUTDOWN=0)
    fail_mains(installation, BATTERY_LOW=1)
    time.sleep(8)
    assert not output_offs(installation)
    log = running_service.log()
    assert running_service.text("Shutdown_by_battery_low") not in log
    assert running_service.text("OS_Shutdown_is_started") not in log
    assert event_list_text(installation, 5) in log, "the low battery itself is recorded"


def test_a_charge_at_the_threshold_starts_the_shutdown(running_service, service_cleanup):
    installation = running_service.installation
    write_settings(installation, WAIT_TIME=600, SHUTDOWN_CHARGE=40)
    fail_mains(installation, BATTERY=70)
    time.sleep(3)
    assert not output_offs(installation), "70 % is above the threshold"
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, MAINS="OFF", BATTERY=38)

    wait_until(lambda: output_offs(installation), 20, "the output-off")
    os_line = running_service.text("OS_Shutdown_is_started")
    assert wait_for_log(installation, lambda t: t == os_line, timeout=20), running_service.log()
    prefix = running_service.text("Shutdown_by_battery_charge") + ":"
    lines = [t for t in running_service.log() if t.startswith(prefix)]
    assert len(lines) == 1, running_service.log()
    assert 1 <= int(lines[0][len(prefix):]) <= 40
