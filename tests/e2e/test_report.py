"""REPORT under Wine, and the page it writes opened in a real browser: Debian's headless
Chromium parses it, lays it out and takes a screenshot (kept under build/main/e2e-artifacts).

Today's part of the logs is made by the service and the simulated UPS (a mains failure and its
return); the days before are written by the test, one of them with an outage, a gap and fields
the UPS did not report, one without any data-log file."""
import datetime
import html.parser
import shutil
import subprocess
import time

import pytest

from conftest import BUILD_DIR, console_text, windows_path
from test_service import (event_list_text, program, running_service, wait_for_log,  # noqa: F401 (fixtures)
                          write_settings, write_sim_control)

ARTIFACTS = BUILD_DIR / "e2e-artifacts"
HEADING = ("Date,Time,Input voltage(V),Input frequency(Hz),Output voltage(V),Output frequency(Hz),Load(%),"
           "Internal temperature(C),Battery voltage(V),Battery charge(%)")


class PageShape(html.parser.HTMLParser):
    """What a parsed page holds, day by day: series paths, ribbon segments by state, markers."""

    def __init__(self):
        super().__init__()
        self.days = {}
        self.day = None
        self.scripts = 0
        self.no_data = set()
        self._in_no_data = False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        classes = (attrs.get("class") or "").split()
        if tag == "script":
            self.scripts += 1
        if tag == "section" and "day" in classes:
            self.day = attrs["id"][1:]
            self.days[self.day] = {"series": [], "ribbon": [], "markers": []}
        elif self.day is None:
            return
        elif tag == "path" and "series" in classes:
            self.days[self.day]["series"].append((classes[1], attrs.get("d", "")))
        elif tag == "rect" and "ribbon" in classes:
            self.days[self.day]["ribbon"].append(classes[1])
        elif tag == "g" and "marker" in classes:
            self.days[self.day]["markers"].append(classes[1])
        elif tag == "p" and "no-data" in classes:
            self.no_data.add(self.day)


def chromium(profile, *args):
    # --no-sandbox: the test machines run as root, where Chromium's sandbox refuses to start.
    return subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr",
                           f"--user-data-dir={profile}", *args], capture_output=True, timeout=180)


def stamp(day):
    return day.strftime("%Y%m%d")


def write_day(folder, day, minutes, fields):
    lines = [HEADING] + [f"{day:%Y/%m/%d},{m // 60:02d}:{m % 60:02d}:{m % 7:02d},{fields(m)}" for m in minutes]
    (folder / "DataLog" / f"{stamp(day)}.csv").write_bytes(("\r\n".join(lines) + "\r\n").encode("latin-1"))


def normal_fields(minute):
    return f"{100 + minute % 5}.0,50.0,100.0,50.0,{30 + minute % 10},{25 + minute // 300}.5,27.2,100"


def outage_fields(minute):
    # 10:00 to 10:20 on battery: no input frequency, the charge falling.
    if 600 <= minute < 620:
        return f"0.0,--.-,100.0,--.-,35,26.5,25.1,{100 - (minute - 600) * 2}"
    return normal_fields(minute)


@pytest.fixture
def service_made_today(running_service):
    """Today's logs from the service: a mains failure of a few seconds, then the service stopped."""
    installation = running_service.installation
    failed, restored = event_list_text(installation, 3), event_list_text(installation, 4)
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, MAINS="OFF")
    assert wait_for_log(installation, lambda t: t == failed), running_service.log()
    time.sleep(2)
    write_sim_control(installation, MEASUREMENT_PERIOD_MS=200, MAINS="ON")
    assert wait_for_log(installation, lambda t: t == restored), running_service.log()
    running_service.run("STOP")
    return running_service


def test_the_report_opens_in_a_browser_with_its_charts_ribbons_and_gaps(service_made_today, tmp_path):
    installation = service_made_today.installation
    today = datetime.date.today()
    yesterday, before = today - datetime.timedelta(days=1), today - datetime.timedelta(days=2)
    write_day(installation.folder, yesterday, [m for m in range(1440) if not 900 <= m < 930], outage_fields)
    # The day before: no data-log file at all, but the service was running.
    y = f"{yesterday:%Y/%m/%d}"
    older = [f"{before:%Y/%m/%d},08:00:00,Service started", f"{before:%Y/%m/%d},08:00:02,UPS connected:Sim",
             f"{y},10:00:03,{event_list_text(installation, 3)}",
             f"{y},10:15:00,External command started:(C:\\Tools\\save all.cmd)",
             f"{y},10:19:00,Operating system shutdown started", f"{y},10:19:30,Service stopped",
             f"{y},10:40:00,Service started", f"{y},10:40:02,UPS connected:Sim"]
    with open(installation.folder / "EventLog" / "EventLog.csv", "ab") as log:
        log.write(("\r\n".join(older) + "\r\n").encode("latin-1"))

    out = service_made_today.run("REPORT", "3")
    report = installation.folder / "DataLog" / "Report.html"
    assert out == windows_path(report) + "\n"
    page = report.read_bytes().decode("utf-8")  # strictly UTF-8

    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    shutil.copy2(report, ARTIFACTS / "report.html")
    dom = chromium(tmp_path / "profile", "--dump-dom", report.as_uri())
    assert dom.returncode == 0, dom.stderr.decode(errors="replace")[-2000:]
    assert b"Content Security Policy" not in dom.stderr, "the page asks for nothing its own policy forbids"
    shape = PageShape()
    shape.feed(dom.stdout.decode("utf-8"))
    assert shape.scripts == 0 and "<script" not in page

    assert list(shape.days) == [stamp(today), stamp(yesterday), stamp(before)], "newest first, three days"
    assert shape.no_data == {stamp(before)}
    assert shape.days[stamp(before)]["ribbon"] == ["on-mains"], "the service's states even without data"

    past = shape.days[stamp(yesterday)]
    assert sorted(c for c, _ in past["series"]) == sorted(
        ["input-voltage", "output-voltage", "load", "battery-charge", "temperature"])
    assert past["ribbon"] == ["on-mains", "on-battery", "on-mains"]
    assert past["markers"] == ["external-command", "os-shutdown"]
    # The half hour without lines breaks every series.
    for css, path in past["series"]:
        assert path.count("M") >= 2, (css, path[:200])

    present = shape.days[stamp(today)]
    assert present["series"], "the service's own data-log lines are drawn"
    assert present["ribbon"].count("on-battery") == 1, present["ribbon"]
    assert "on-mains" in present["ribbon"]

    # The summary of yesterday: one switch to battery, 19 min 27 s until the service stopped.
    section = page[page.index(f'id="d{stamp(yesterday)}"'):page.index(f'id="d{stamp(before)}"')]
    assert "<b>Switches to battery:</b> 1<" in section
    assert "<b>Time on battery:</b> 0:19:27<" in section
    assert "<b>Minutes without data:</b> 30<" in section
    assert "<b>Lowest battery charge:</b> 62 %<" in section

    shot = ARTIFACTS / "report.png"
    shot.unlink(missing_ok=True)
    taken = chromium(tmp_path / "profile", f"--screenshot={shot}", "--window-size=1100,2600", report.as_uri())
    assert taken.returncode == 0 and shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("days", ["0", "30", "x", "-1"])
def test_a_day_count_outside_1_to_29_is_refused_and_writes_nothing(installation, days):
    write_settings(installation)
    code, out, _ = installation.run("REPORT", days)
    assert code == 1
    assert console_text(out).endswith("Error 87\n")
    assert not (installation.folder / "DataLog" / "Report.html").exists()


def test_without_a_count_the_report_covers_a_week_even_with_no_logs(installation):
    write_settings(installation)
    code, out, _ = installation.run("report")
    report = installation.folder / "DataLog" / "Report.html"
    assert (code, console_text(out)) == (0, windows_path(report) + "\n")
    page = report.read_bytes().decode("utf-8")
    assert page.count('<section class="day"') == 7
    assert page.count('<p class="no-data">no data</p>') == 7
