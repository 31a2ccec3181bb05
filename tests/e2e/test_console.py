"""The SET command and COMLIST as an administrator runs them, under Wine.

Message tables are replaced by empty ones, so that every text prints as its key and
the expected output is exact. Standard output is in text mode: lines end in CR LF.
"""
import os
import shlex
import shutil
import subprocess
import time

import pytest

from conftest import SIM_DLL, windows_path


def settings_text(folder, wait=60, backup=3, device="USB", command="", command_time=0, lang="jp"):
    """Setting.ini as the program writes it, for an installation in `folder`."""
    log_dir = windows_path(folder) + "\\"
    return (
        f"WAIT_TIME={wait}\r\nBACKUP_TIME={backup}\r\nDEVICE={device}\r\n"
        f"EVENTLOGPATH={log_dir}\r\nDATALOGPATH={log_dir}\r\nEXCMD={command}\r\n"
        f"EXCMDTIME={command_time}\r\nLANG={lang}\r\n"
    ).encode("ascii")


def lines(*texts):
    return b"".join(t.encode("ascii") + b"\r\n" for t in texts)


@pytest.fixture
def keyed(installation):
    """An installation whose message tables are empty and whose Setting.ini holds the defaults."""
    for name in ("msgtbl_jp.json", "msgtbl_en.json"):
        installation.file(name).write_bytes(b"{}")
    code, out, err = installation.run("SET", "0")
    assert (code, out) == (0, b""), err.decode("latin-1", "replace")
    assert installation.read_bytes("Setting.ini") == settings_text(installation.folder)
    return installation


def test_first_run_creates_setting_ini_and_shows_the_defaults(keyed):
    code, out, _ = keyed.run("SET", "2")
    assert code == 0
    assert out == lines("60", "3", "USB", "", "0")


ONE_SHOT_CASES = [
    # (arguments after SET, output, settings afterwards as keyword changes, or None when unchanged,
    # exit code: 1 when the form did not show or save what it was asked)
    (["4", "36000"], b"", {"wait": 36000}, 0),
    (["4", "0"], b"", {"wait": 0}, 0),
    (["4", "36001"], lines("Input_value_is_abnormal"), None, 1),
    (["4", "-1"], lines("Input_value_is_abnormal"), None, 1),
    (["4", "99999999999"], lines("Invalid_argument"), None, 1),
    (["4"], lines("Invalid_argument", "ABEND"), None, 1),
    (["7"], lines("Invalid_argument", "ABEND"), None, 1),
    (["7", "30"], b"", {"backup": 30}, 0),
    (["7", "31"], lines("Input_value_is_abnormal"), None, 1),
    (["6", "7200"], b"", {"command_time": 7200}, 0),
    (["6", "7201"], lines("Input_value_is_abnormal"), None, 1),
    (["3", "COM7"], b"", {"device": "COM7"}, 0),
    (["3", "COM7\r\nWAIT_TIME=0"], lines("Input_value_is_abnormal"), None, 1),
    (["5", "C:\\tools\\ups off.cmd /q"], b"", {"command": "C:\\tools\\ups off.cmd /q"}, 0),
    # Quotes of its own, passed as a script's argument list passes them (\" inside one word).
    (["5", '"C:\\Program Files\\ups\\off.cmd" /q "a b"'], b"",
     {"command": '"C:\\Program Files\\ups\\off.cmd" /q "a b"'}, 0),
    (["5", "c" * 256], b"", {"command": "c" * 256}, 0),
    (["5", "c" * 257], lines("Input_value_is_abnormal"), None, 1),
    (["1001"], lines("jp"), None, 0),
    (["1002", "en"], b"", {"lang": "en"}, 0),
    (["1002", "EN"], lines("ABEND"), None, 1),
    (["1002"], lines("ABEND"), None, 1),
    (["1002", "en", "extra"], lines("ABEND"), None, 1),
    (["9"], lines("Number_is_not_on_the_menu"), None, 1),
    (["abc"], lines("Invalid_argument"), None, 1),
    (["set"], lines("Invalid_argument"), None, 1),
    (["0"], b"", None, 0),
]


@pytest.mark.parametrize("words,output,changes,exit_code", ONE_SHOT_CASES, ids=lambda v: repr(v)[:40])
def test_one_shot_form(keyed, words, output, changes, exit_code):
    code, out, _ = keyed.run("SET", *words)
    assert code == exit_code
    assert out == output
    expected = settings_text(keyed.folder, **(changes or {}))
    assert keyed.read_bytes("Setting.ini") == expected


def test_command_word_in_any_case_and_entries_without_a_keyboard_cancel(keyed):
    # Entry 6 without a value asks on the console keyboard; under a pipe there is none,
    # which counts as ESC instead of waiting for ever; nothing saved, so exit code 1.
    code, out, _ = keyed.run("set", "6", timeout=60)
    assert code == 1
    assert out == lines("Enter_the_external_command_time_msg", "[ESC:Cancel]") + b">" + lines("Cancel")
    assert keyed.read_bytes("Setting.ini") == settings_text(keyed.folder)


def test_one_shot_command_entry_reads_the_line_and_the_confirmation_from_stdin(keyed):
    code, out, _ = keyed.run("SET", "5", stdin=b"C:\\tools\\off.cmd /now\r\n1\r\n")
    assert code == 0
    assert out == (lines("Enter_the_external_command_msg") + b">" + lines("Update_the_external_command_msg")
                   + lines("0:(NO)", "1:(YES)") + b">")
    assert keyed.read_bytes("Setting.ini") == settings_text(keyed.folder, command="C:\\tools\\off.cmd /now")


def test_language_saved_by_1002_chooses_the_message_table_of_the_next_start(keyed):
    keyed.file("msgtbl_en.json").write_bytes(b'{"Number_is_not_on_the_menu": "No such entry"}')
    assert keyed.run("SET", "9")[1] == lines("Number_is_not_on_the_menu")
    assert keyed.run("SET", "1002", "en")[1] == b""
    assert keyed.run("SET", "9")[1] == lines("No such entry")
    assert keyed.run("SET", "1001")[1] == lines("en")


def test_interactive_menu_from_a_pipe_stops_when_stdin_ends(keyed):
    banner = b"\r\n----Voltwarden Basic Edition Version:1.1.1----\r\n"
    menu = banner + lines(
        "\t1:Status_display", "\t2:Setting_display", "\t3:Connected_device", "\t4:Delay_time_setting",
        "\t5:External_command_setting", "\t6:External_command_time_setting",
        "\t7:Shutdown_expectation_time_setting", "", "Enter_menuNo_msg") + b">"
    code, out, _ = keyed.run("SET", stdin=b"abc\r\n1002\r\n", timeout=60)
    assert code == 0
    assert out == (menu + banner + lines("Invalid_argument") + menu + banner + lines("Number_is_not_on_the_menu")
                   + menu)


def test_interactive_command_entry_from_a_pipe(keyed):
    code, out, _ = keyed.run("SET", stdin=b"5\r\nrun me.cmd\r\nx\r\n5\r\nrun me.cmd\r\n1\r\n0\r\n", timeout=60)
    assert code == 0
    # The first confirmation is not a number: no, and the menu reads on.
    assert out.count(b"Update_the_external_command_msg") == 2
    assert out.endswith(b"Enter_menuNo_msg\r\n>")
    assert keyed.read_bytes("Setting.ini") == settings_text(keyed.folder, command="run me.cmd")


def test_unreadable_setting_ini_is_reported_and_left_alone(keyed, tmp_path):
    # A folder named Setting.ini can be neither read nor replaced.
    keyed.file("Setting.ini").unlink()
    keyed.file("Setting.ini").mkdir()
    code, out, _ = keyed.run("SET", "4", "100")
    assert code == 1
    assert out == lines("File_write_abnormality", "ABEND")
    assert keyed.file("Setting.ini").is_dir()


# ---- Status screen -------------------------------------------------------------


def test_status_when_the_service_is_not_installed(keyed, service_cleanup):
    code, out, _ = keyed.run("SET", "1")
    assert code == 1
    assert out == lines("Status_failed_to_get_data", "-", "-", "ABEND1060")


@pytest.fixture
def installed_service(keyed, service_cleanup):
    """The service installed and started from the keyed installation (removed afterwards)."""
    code, out, _ = keyed.run("INSTALL", timeout=120)
    assert code == 0
    assert out.endswith(lines("SUCCESS")), out
    return keyed


def test_status_with_the_service_running_and_stopped(installed_service, tmp_path):
    inst = installed_service
    # With no UPS library the service never writes Status.ini; the console reads the
    # one beside the executable even when started from another folder.
    inst.file("Status.ini").write_bytes(b"ACFAIL=1\r\nCONNECTION=1\r\nMODEL=Test UPS 1500\r\n")
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "Status.ini").write_bytes(b"ACFAIL=0\r\nCONNECTION=0\r\nMODEL=stale\r\n")
    code, out, _ = inst.run("SET", "1", cwd=elsewhere)
    assert out == lines("Status_running", "Test UPS 1500", "Status_battery_output")

    inst.file("Status.ini").write_bytes(b"ACFAIL=0\r\nCONNECTION=0\r\nMODEL=Test UPS 1500\r\n")
    assert inst.run("SET", "1")[1] == lines("Status_running", "Status_not_connected", "-")

    code, out, _ = inst.run("STOP", timeout=120)
    assert out.endswith(lines("SUCCESS")), out
    code, out, _ = inst.run("SET", "1")
    assert out == lines("Status_stop", "-", "-")


# ---- COMLIST -------------------------------------------------------------------


def test_comlist_without_the_ups_library_fails(keyed):
    code, out, _ = keyed.run("COMLIST")
    assert code == 0
    assert out == lines("ABEND")


@pytest.mark.parametrize("ports,output", [
    ("COM1,COM3", lines("COM1", "COM3")),
    ("COM7", lines("COM7")),
    ("", b""),
])
def test_comlist_prints_the_librarys_ports_one_a_line(keyed, ports, output):
    shutil.copy2(SIM_DLL, keyed.file("NervaUPSLib.dll"))
    keyed.file("NervaUPSSim.ini").write_bytes(f"PORTS={ports}\r\n".encode("ascii"))
    code, out, _ = keyed.run("comlist")
    assert code == 0
    assert out == output
    assert keyed.read_bytes("Setting.ini") == settings_text(keyed.folder)


def test_device_choice_from_a_pipe_has_no_keyboard_and_saves_nothing(keyed):
    shutil.copy2(SIM_DLL, keyed.file("NervaUPSLib.dll"))
    keyed.file("NervaUPSSim.ini").write_bytes(b"PORTS=COM2\r\n")
    code, out, _ = keyed.run("SET", "3", timeout=60)
    assert code == 1
    assert out == lines("0:USB", "1:COM_AUTO", "2:COM2", "Select_connected_device_msg", "[ESC:Cancel]") + b">" + \
        lines("Cancel")
    assert keyed.read_bytes("Setting.ini") == settings_text(keyed.folder)


# ---- Interactive menu through a real terminal ------------------------------------


class Terminal:
    """The program in a tmux pane, so that keys reach it as console key presses."""

    def __init__(self, installation, *args):
        self.socket = f"vw-console-{os.getpid()}-{time.monotonic_ns()}"
        env = " ".join(f"{k}={shlex.quote(os.environ[k])}" for k in
                       ("WINEPREFIX", "WINEARCH", "WINEDEBUG", "WINEDLLOVERRIDES") if k in os.environ)
        command = (f"cd {shlex.quote(str(installation.folder))} && env {env} wine "
                   f"{shlex.quote(str(installation.exe))} {' '.join(args)}; echo '[exited]'; sleep 600")
        self.tmux("new-session", "-d", "-x", "160", "-y", "50", command)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, *args], capture_output=True, timeout=30, check=True)

    def screen(self):
        return self.tmux("capture-pane", "-p", "-S", "-200").stdout.decode("ascii", "replace")

    def wait_for(self, text, count=1, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.screen().count(text) >= count:
                return
            time.sleep(0.2)
        raise AssertionError(f"{text!r} x{count} did not appear:\n{self.screen()}")

    def keys(self, *keys):
        self.tmux("send-keys", *keys)

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True, timeout=30)


@pytest.fixture
def terminal_factory():
    if shutil.which("tmux") is None:
        pytest.fail("tmux is missing: scripts/setup.sh installs it")
    opened = []

    def make(installation, *args):
        t = Terminal(installation, *args)
        opened.append(t)
        return t

    yield make
    for t in opened:
        t.close()


def test_interactive_menu_takes_keys_from_the_terminal(keyed, terminal_factory):
    term = terminal_factory(keyed, "SET")
    term.wait_for("Enter_menuNo_msg")
    term.keys("4", "Enter")
    term.wait_for("[ESC:Cancel]")
    # Out of range first: the range message and a new prompt, the entry goes on.
    term.keys("3", "6", "0", "0", "1")
    term.wait_for(">36001")
    term.keys("Enter")
    term.wait_for("Input_value_is_abnormalRange_start0To36000Range_end")
    # Letters are ignored; Backspace erases the last digit.
    term.keys("1", "x", "2", "5", "BSpace", "0")
    term.wait_for(">120")
    term.keys("Enter")
    term.wait_for("Enter_menuNo_msg", count=2)
    assert keyed.read_bytes("Setting.ini") == settings_text(keyed.folder, wait=120)

    term.keys("2", "Enter")
    term.wait_for("Press_any_key")
    screen = term.screen()
    assert "Delay_time(Sec)                 :120" in screen
    assert "Connected_device_setting        :USB" in screen
    term.keys("q")
    term.wait_for("Enter_menuNo_msg", count=3)

    # The external command is a line typed with Enter, then confirmed with 1.
    term.keys("5", "Enter")
    term.wait_for("Enter_the_external_command_msg")
    term.keys("-l", "C:\\tools\\off now.cmd /q")
    term.keys("Enter")
    term.wait_for("1:(YES)")
    term.keys("1", "Enter")
    term.wait_for("Enter_menuNo_msg", count=4)
    assert keyed.read_bytes("Setting.ini") == settings_text(keyed.folder, wait=120,
                                                            command="C:\\tools\\off now.cmd /q")
    term.keys("0", "Enter")
    term.wait_for("[exited]")
