"""Text from the serving machine is data, never code: a fake server whose ups.model is a cmd.exe command line
that would write a file, a `.cmd` NOTIFY_CMD (which cmd.exe reads again by its own rules), and one dropped
connection, so that the reconnection is told (COMMOK). Nothing of the model runs; the script still runs, with
our own text in its argument and VOLTWARDEN_TEXT and the model cut to the safe set in VOLTWARDEN_MODEL; the
event log's line, Status.ini and the console show the same cut model."""
import os
import pathlib

from conftest import ProgramLogs, read_messages, wait_until, windows_path
from test_follow_hostile_servers import EMPTY_LIST, ENCODING, UPS, FakeServer, follower  # noqa: F401
from test_nut import write_settings

# Written by cmd.exe if the model's "&" ever comes to life: drive C: of the test's own Wine prefix.
PWNED_NAME = "voltwarden-untrusted-text-pwned.txt"
MODEL = f'x" & echo PWNED>C:\\{PWNED_NAME} & rem "'
# What is left of it: letters, digits, blank and . - _ / ( ) +, without blanks at its ends.
SAFE_MODEL = f"x  echo PWNEDC{PWNED_NAME}  rem"
POLLS_BEFORE_THE_DROP = 3


def nut_quoted(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def hostile_model(server, lines):
    """Answers as a UPS on mains whose model is MODEL; the first connection is closed after a few polls."""
    with server.lock:
        first = server.connections == 1
    polls = 0
    while True:
        words = (lines.next() or "").split()
        if not words:
            return
        if words[:3] == ["GET", "VAR", UPS] and len(words) == 4:
            if words[3] == "ups.status":
                polls += 1
                answer = f'VAR {UPS} ups.status "OL"'
            elif words[3] == "ups.model":
                answer = f"VAR {UPS} ups.model {nut_quoted(MODEL)}"
            else:
                answer = "ERR VAR-NOT-SUPPORTED"
        elif words == ["LIST", "VAR", UPS]:
            answer = EMPTY_LIST
        else:
            answer = "OK"
        lines.send(answer.encode("latin-1") + b"\n")
        if first and polls >= POLLS_BEFORE_THE_DROP:
            lines.conn.close()
            return


class ScriptRuns:
    """A .cmd notification command that appends "args=<its arguments>" and then its VOLTWARDEN_ variables
    (cmd's `set VOLTWARDEN_`, which prints them without expanding anything) to a file."""

    def __init__(self, folder):
        self.script = folder / "notify.cmd"
        self.told = folder / "told.txt"
        told = windows_path(self.told)
        self.script.write_bytes((f'@echo off\r\n>>"{told}" echo args=%*\r\n>>"{told}" set VOLTWARDEN_\r\n')
                                .encode("latin-1"))
        # The folder's name holds a blank: the command keeps quotes of its own.
        self.command = f'"{windows_path(self.script)}"'

    def runs(self):
        """[(arguments, {variable: value})], one a run."""
        raw = self.told.read_bytes().decode(ENCODING) if self.told.exists() else ""
        runs = []
        for line in raw.split("\r\n"):
            if line.startswith("args="):
                runs.append((line[len("args="):], {}))
            elif "=" in line and runs:
                name, value = line.split("=", 1)
                runs[-1][1][name] = value
        return runs


def test_a_model_that_is_a_command_line_is_only_ever_text(follower):
    pwned = pathlib.Path(os.environ["WINEPREFIX"]) / "drive_c" / PWNED_NAME
    pwned.unlink(missing_ok=True)
    script = ScriptRuns(follower.folder)
    server = FakeServer(hostile_model)
    try:
        logs = ProgramLogs(follower.folder, ENCODING)
        text = read_messages(follower.folder, "en")
        write_settings(follower, WAIT_TIME=600, DEVICE=f"{UPS}@127.0.0.1:{server.port}", NOTIFY_CMD=script.command)
        code, out, err = follower.run("INSTALL", timeout=180)
        assert code == 0, (out, err)

        # Connected, dropped by the server, connected again: the loss and the reconnection are told.
        wait_until(lambda: server.connections >= 2, 90, "the reconnection")
        wait_until(lambda: "Notify(COMMOK):ExitCode=0" in logs.event_texts(), 60, "the COMMOK notification's end")
        texts = logs.event_texts()
        assert "Notify(COMMBAD):ExitCode=0" in texts, texts

        assert not pwned.exists(), pwned.read_bytes()
        runs = script.runs()
        assert [args for args, _ in runs] == [f'COMMBAD "{text["UPS_disconnected"]}"',
                                              f'COMMOK "{text["UPS_connected"]}"'], runs
        _, variables = runs[1]
        variables.pop("VOLTWARDEN_CHARGE", None)  # empty on mains: cmd may leave it out
        assert variables == {"VOLTWARDEN_EVENT": "COMMOK", "VOLTWARDEN_TEXT": text["UPS_connected"],
                             "VOLTWARDEN_MODEL": SAFE_MODEL}, runs

        # The event log keeps its line, with the model cut to the safe set; no line holds a quote or an "&".
        connected = {t for t in texts if t.startswith(text["UPS_connected"])}
        assert connected == {f"{text['UPS_connected']}:{SAFE_MODEL}"}, texts
        assert not [t for t in texts if '"' in t or "&" in t], texts
        assert logs.status().get("MODEL") == SAFE_MODEL, logs.status()
        code, out, _ = follower.run("SET", "1", timeout=60)
        assert SAFE_MODEL in out.decode(ENCODING), out
    finally:
        server.close()
        pwned.unlink(missing_ok=True)
