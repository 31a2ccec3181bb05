"""A Japanese Windows: the ANSI code page is 932, and every text the program shows or records comes
from the Japanese message table converted to it.

Wine takes a process's ANSI code page from its Unix locale; the service is started by services.exe
and inherits the locale of the wineserver's first process. So this module boots its own Wine session
under LC_ALL=ja_JP.UTF-8 (the locale that scripts/setup.sh generates).
"""
import shutil

import pytest

from conftest import (
    DIST_DIR,
    SIM_DLL,
    Installation,
    ProgramLogs,
    SimulatedUps,
    WineSession,
    read_event_list,
    read_messages,
    wait_until,
)
from test_service import wait_for_first_record

CP = "cp932"
MODEL = "NV-700J Sim"
BANNER = b"----Voltwarden Basic Edition Version:1.1.1----"


@pytest.fixture(scope="module")
def japanese():
    session = WineSession("japanese", LC_ALL="ja_JP.UTF-8", LANG="ja_JP.UTF-8",
                          WINEDEBUG="fixme+advapi,+eventlog")
    session.start()
    yield session
    session.stop()


@pytest.fixture
def jp_installation(tmp_path, japanese):
    folder = tmp_path / "Voltwarden JP"
    shutil.copytree(DIST_DIR, folder)
    shutil.copy2(SIM_DLL, folder / "NervaUPSLib.dll")
    return Installation(folder)


def jp(key):
    return read_messages(DIST_DIR, "jp")[key]


def sjis(text):
    return text.encode(CP)


def run(session, inst, *args, stdin=b"", exit_code=0):
    code, out, err = session.run(inst, *args, stdin=stdin)
    assert code == exit_code, (args, out, err)
    return out


def test_the_session_really_has_code_page_932(japanese, jp_installation):
    # Every byte check below means something only if the ANSI code page is 932: the one-shot
    # "print LANG" shows the default "jp", and an unknown entry prints a Japanese text in Shift-JIS.
    assert run(japanese, jp_installation, "SET", "1001") == b"jp\r\n"
    out = run(japanese, jp_installation, "SET", "99", exit_code=1)
    assert out == sjis(jp("Number_is_not_on_the_menu")) + b"\r\n"
    assert out.decode(CP) != out.decode("utf-8", "replace")


@pytest.mark.parametrize("args, keys_and_literals, exit_code", [
    (("SET", "99"), ["Number_is_not_on_the_menu"], 1),
    (("SET", "4", "36001"), ["Input_value_is_abnormal"], 1),
    (("SET", "4"), ["Invalid_argument", ("ABEND", "")], 1),
    (("SET", "1"), ["Status_failed_to_get_data", "=-", "=-", ("ABEND", "1060")], 1),
    (("BOGUS",), ["ABEND"], 0),
])
def test_console_texts_are_the_japanese_table_in_code_page_932(japanese, jp_installation, args, keys_and_literals,
                                                               exit_code):
    expected = b""
    for item in keys_and_literals:
        if isinstance(item, tuple):
            expected += sjis(jp(item[0]) + item[1]) + b"\r\n"
        elif item.startswith("="):
            expected += item[1:].encode() + b"\r\n"
        else:
            expected += sjis(jp(item)) + b"\r\n"
    assert run(japanese, jp_installation, *args, exit_code=exit_code) == expected


def padded(label_bytes):
    return label_bytes + b" " * max(0, 32 - len(label_bytes))


def test_settings_screen_pads_japanese_labels_to_32_bytes_not_characters(japanese, jp_installation):
    # Interactive: menu, entry 2, a key to leave the screen, then 0 to end.
    out = run(japanese, jp_installation, "SET", stdin=b"2\n \n0\n")
    sec, minute = jp("Sec"), jp("Min")
    rows = [
        (b" \t", jp("Connected_device_setting"), b"USB"),
        (b"\t", f"{jp('Delay_time')}({sec})", b"60"),
        (b"\t", jp("External_command"), b""),
        (b"\t", f"{jp('External_command_time')}({sec})", b"0"),
        (b"\t", f"{jp('Shutdown_expectation_time')}({minute})", b"3"),
        (b"\t", jp("Nut_listen"), b""),
        (b"\t", jp("Nut_ups_name"), b"ups"),
        (b"\t", jp("Nut_user"), b""),
        (b"\t", jp("Nut_password"), b""),
        (b"\t", jp("Battery_low_shutdown"), b"1"),
        (b"\t", f"{jp('Shutdown_charge')}({jp('Percent')})", b"0"),
        (b"\t", jp("Os_shutdown"), sjis(jp("Os_shutdown_poweroff"))),
        (b"\t", f"{jp('Rearm_time')}({sec})", b"300"),
        (b"\t", jp("Notify_command"), b""),
        (b"\t", f"{jp('Notify_time')}({sec})", b"30"),
    ]
    lines = out.split(b"\r\n")
    for lead, label, value in rows:
        line = lead + padded(sjis(label)) + b":" + value
        assert line in lines, (line, lines)
    # The point of counting bytes: a label of n Japanese characters takes 2n bytes of the 32.
    label = sjis(jp("Delay_time"))
    assert len(label) > len(jp("Delay_time"))


def test_service_records_japanese_texts_as_code_page_932_bytes(japanese, jp_installation):
    ups = SimulatedUps(jp_installation.folder, PRESENT_ON="USB", MODEL=MODEL, MAINS="ON")
    logs = ProgramLogs(jp_installation.folder, CP)
    events0 = len(japanese.windows_events())
    if japanese.service_state() is not None:  # a service left by an interrupted run
        run(japanese, jp_installation, "UNINSTALL")
    try:
        out = run(japanese, jp_installation, "INSTALL")
        assert [l for l in out.split(b"\r\n") if l] == [BANNER, sjis(jp("Install_start")), BANNER, sjis(jp("SUCCESS"))]
        event_log = jp_installation.folder / "EventLog" / "EventLog.csv"
        connected = sjis(jp("UPS_connected")) + b":" + MODEL.encode()
        wait_until(lambda: connected + b"\r\n" in event_log.read_bytes(), 30, "the Japanese UPS_connected line")
        assert b"," + sjis(jp("Service_start")) + b"\r\n" in event_log.read_bytes()
        # Until the UPS's first record after the connect, a mains change is taken in silently:
        # wait for that record (its data-log line) before the failure whose line is read.
        assert wait_for_first_record(jp_installation), "no data-log line after the connect"

        # The event list is shipped in code page 932 and written byte for byte.
        ups.set(MAINS="OFF")
        mains_failed = read_event_list(jp_installation.folder, "jp")[3]
        wait_until(lambda: b"," + mains_failed + b"\r\n" in event_log.read_bytes(), 10, "the event-list line of code 3")
        ups.set(MAINS="ON")

        # The data log's heading line.
        def day_file():
            files = logs.data_logs()
            return next(iter(files)) if len(files) == 1 else None
        name = wait_until(day_file, 15, "the data-log file")
        raw = (jp_installation.folder / "DataLog" / name).read_bytes()
        assert raw.startswith(sjis(jp("Data_logHeader")) + b"\r\n")

        # The Windows events carry the same texts (Wine hands them on as UTF-16 from code page 932).
        wanted = [(4, 1003, jp("Service_start")), (4, 1002, jp("UPS_connected")), (2, 2001, jp("AC_fail"))]
        wait_until(lambda: all(w in japanese.windows_events()[events0:] for w in wanted), 10, f"Windows events {wanted}")
    finally:
        run(japanese, jp_installation, "UNINSTALL")


def test_the_report_is_utf8_and_reads_the_code_page_932_logs(japanese, jp_installation):
    # Logs as a Japanese service writes them: texts in code page 932, the event list's bytes as shipped.
    import datetime
    today = datetime.date.today()
    d = f"{today:%Y/%m/%d}"
    events = read_event_list(jp_installation.folder, "jp")
    lines = [d.encode() + b",00:00:05," + sjis(jp("Service_start")),
             d.encode() + b",00:00:07," + sjis(jp("UPS_connected")) + b":" + MODEL.encode(),
             d.encode() + b",00:10:00," + events[3],
             d.encode() + b",00:12:30," + events[4]]
    (jp_installation.folder / "EventLog").mkdir(exist_ok=True)
    (jp_installation.folder / "EventLog" / "EventLog.csv").write_bytes(b"\r\n".join(lines) + b"\r\n")
    (jp_installation.folder / "DataLog").mkdir(exist_ok=True)
    (jp_installation.folder / "DataLog" / f"{today:%Y%m%d}.csv").write_bytes(
        sjis(jp("Data_logHeader")) + b"\r\n" + d.encode() + b",00:00:30,100.0,60.0,100.0,60.0,25,24.5,27.2,100\r\n")

    out = run(japanese, jp_installation, "REPORT", "2")
    assert out.endswith(b"\\DataLog\\Report.html\r\n")
    page = (jp_installation.folder / "DataLog" / "Report.html").read_bytes().decode("utf-8")  # strictly
    assert '<html lang="ja">' in page
    assert f"<h1>{jp('Report_title')}</h1>" in page
    assert f'<p class="no-data">{jp("Report_no_data")}</p>' in page, "yesterday has no file"
    # The column names come from the Japanese heading, the states from the code page 932 lines.
    assert jp("Data_logHeader").split(",")[2] in page
    assert page.count('<rect class="ribbon on-battery"') == 1
    assert f"<b>{jp('Report_time_on_battery')}:</b> 0:02:30<" in page
