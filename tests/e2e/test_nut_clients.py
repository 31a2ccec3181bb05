"""The network UPS protocol server with the clients administrators run beside upsc and upsmon:
Debian's python3-nut (PyNUT), nut-cgi's status pages and a replay of the Prometheus exporter's scrape.
One installed service with the server on and the simulated UPS on mains; the clients run natively
and connect to its port on 127.0.0.1."""
import re

import pytest

from nut_clients import UPSCMD, UPSRW, RawClient, cgi_folder, free_tcp_port, pynut_session, run_cgi, run_client
from test_nut import MODEL, PASSWORD, USER, installation_serving_ups

UPS = "ups"
NUMBER = re.compile(r"-?\d+(\.\d+)?")


class Server:
    def __init__(self, port, tmp):
        self.port = port
        self.tmp = tmp


@pytest.fixture(scope="module")
def server(tmp_path_factory, service_probe):
    tmp = tmp_path_factory.mktemp("nut-clients")
    with installation_serving_ups(service_probe, tmp / "Voltwarden Nut Clients", UPS) as (_, port):
        yield Server(port, tmp)


@pytest.mark.parametrize("login, password", [(None, None), (USER, PASSWORD)], ids=["anonymous", "logged-in"])
def test_pynut_lists_the_ups_its_variables_commands_and_writable_variables(server, login, password):
    code, answers, err = pynut_session(server.port, UPS, login, password)
    assert code == 0, err
    assert answers["ups"] == {UPS: MODEL}
    variables = answers["vars"]
    assert variables["ups.status"] == "OL"
    assert variables["ups.model"] == MODEL
    assert variables["device.type"] == "ups"
    assert variables["battery.charge"] == "90"
    assert all(NUMBER.fullmatch(variables[name]) for name in ("input.voltage", "output.voltage", "ups.load"))
    # The server is read-only: no command and no writable variable. PyNUT turns the empty list of
    # commands into one nameless entry of its own; a real command would carry a name.
    assert set(answers["commands"]) <= {""}
    assert answers["rw"] == {}
    assert answers["ver"].split()[4][0].isdigit(), answers["ver"]
    # Nothing can be changed or commanded through the server; each refusal leaves the connection usable.
    assert answers["refused"] == {"FSD": "('Primary level functions are not available', '')",
                                  "SetRWVar": "b'ERR ACCESS-DENIED\\n'", "RunUPSCommand": "b'ERR ACCESS-DENIED'"}
    assert answers["status after the refusals"] == "OL"


def test_pynut_with_a_wrong_password_still_reads_but_cannot_log_in(server):
    # PyNUT sends USERNAME and PASSWORD only; the refusal comes with LOGIN, which it never sends,
    # so reading goes on as for any client.
    code, answers, err = pynut_session(server.port, UPS, USER, "not-the-password")
    assert code == 0, err
    assert answers["vars"]["ups.status"] == "OL"
    client = RawClient(server.port)
    for line, answer in ((f"USERNAME {USER}", "OK"), ("PASSWORD not-the-password", "OK"),
                         (f"LOGIN {UPS}", "ERR ACCESS-DENIED")):
        assert client.ask(line) == answer, line
    client.close()


# The argument lists, given the UPS's address: upsrw writes a variable, upscmd runs a command.
REFUSED_CLIENTS = {"upsrw": (UPSRW, lambda target: ["-s", "ups.id=x", target]),
                   "upscmd": (UPSCMD, lambda target: [target, "load.off"])}


@pytest.mark.parametrize("client", sorted(REFUSED_CLIENTS))
@pytest.mark.parametrize("tracking", [[], ["-w"]], ids=["plain", "tracked"])
def test_upsrw_and_upscmd_show_the_refusal_itself_with_or_without_tracking(server, client, tracking):
    # With -w they first turn tracking on and give up before the write or command when that is
    # refused ("Enabling ... status tracking failed"); the server grants it, so what they print is the
    # refusal of the write or command itself.
    program, action = REFUSED_CLIENTS[client]
    code, out, err = run_client(program, *tracking, "-u", USER, "-p", PASSWORD,
                                *action(f"{UPS}@127.0.0.1:{server.port}"))
    shown = (out + err).strip()
    assert code != 0, shown
    assert shown == "Unexpected response from upsd: ERR ACCESS-DENIED", shown


def page_text(output):
    """The page's text without tags, blank lines and leading blanks."""
    text = re.sub(r"<[^>]*>", " ", output.decode("latin-1"))
    return "\n".join(line.strip() for line in text.splitlines() if line.strip())


def test_cgi_status_page_of_one_ups_shows_its_model_and_status(server):
    host = f"{UPS}@127.0.0.1:{server.port}"
    folder = cgi_folder(server.tmp / "cgi-single", f'MONITOR {host} "Server room"')
    code, output = run_cgi("upsstats.cgi", f"host={host}", folder)
    assert code == 0, output
    assert output.startswith(b"Content-type: text/html"), output[:200]
    text = page_text(output)
    assert f"Server room - {MODEL} on {host}" in text, text
    assert re.search(r"Status:\s*ONLINE", text), text
    assert re.search(r"Input:\s*\d+(\.\d+)?\s*V", text), text
    assert "Error" not in text and "not supported" not in text.lower(), text



def test_cgi_battery_gauge_is_drawn_from_the_charge(server):
    # upsimage.cgi answers a picture whatever happens; the gauge drawn from our answer differs from
    # the one it draws when no server answers.
    host = f"{UPS}@127.0.0.1:{server.port}"
    nobody = f"{UPS}@127.0.0.1:{free_tcp_port()}"
    folder = cgi_folder(server.tmp / "cgi-image", f'MONITOR {host} "Server room"', f'MONITOR {nobody} "Nobody"')
    images = {}
    for target in (host, nobody):
        code, output = run_cgi("upsimage.cgi", f"host={target}&display=battery.charge", folder)
        headers, _, images[target] = output.partition(b"\n\n")
        assert code == 0 and b"Content-type: image/png" in headers.split(b"\n"), output[:200]
        assert images[target].startswith(b"\x89PNG"), output[:200]
    assert images[host] != images[nobody]


def test_cgi_overview_page_lists_the_ups_with_status_and_charge(server):
    host = f"{UPS}@127.0.0.1:{server.port}"
    folder = cgi_folder(server.tmp / "cgi-overview", f'MONITOR {host} "Server room"')
    code, output = run_cgi("upsstats.cgi", "", folder)
    assert code == 0, output
    text = page_text(output)
    assert re.search(rf"Server room\s*{re.escape(MODEL)}\s*ONLINE\s*90\s*%", text), text
    assert "Error" not in text, text


def test_a_prometheus_exporter_scrape_over_one_connection_has_no_error_and_types_numbers(server):
    client = RawClient(server.port)
    answers = []

    def ask(line):
        answer = client.ask(line)
        answers.append((line, answer))
        return answer

    def ask_list(query):
        items = client.ask_list(query)
        answers.extend((f"LIST {query}", item) for item in ([items] if isinstance(items, str) else items))
        return items

    assert ask("VER").split()[4][0].isdigit()
    assert NUMBER.fullmatch(ask("NETVER"))
    assert ask(f"USERNAME {USER}") == "OK"
    assert ask(f"PASSWORD {PASSWORD}") == "OK"
    assert ask_list("UPS") == [f'UPS {UPS} "{MODEL}"']
    assert isinstance(ask_list(f"CLIENT {UPS}"), list)
    assert ask_list(f"CMD {UPS}") == []
    assert ask(f"GET UPSDESC {UPS}") == f'UPSDESC {UPS} "{MODEL}"'
    assert ask(f"GET NUMLOGINS {UPS}") == f"NUMLOGINS {UPS} 0"
    variables = {}
    for item in ask_list(f"VAR {UPS}"):
        match = re.fullmatch(rf'VAR {UPS} (\S+) "(.*)"', item)
        assert match, item
        variables[match.group(1)] = match.group(2)
    assert {"ups.status", "battery.charge", "ups.model", "device.type"} <= set(variables)
    for name, value in variables.items():
        assert re.fullmatch(rf'DESC {UPS} {re.escape(name)} ".*"', ask(f"GET DESC {UPS} {name}"))
        kind = ask(f"GET TYPE {UPS} {name}").split(" ", 3)
        assert kind[:3] == ["TYPE", UPS, name]
        if NUMBER.fullmatch(value):
            assert kind[3] == "NUMBER", (name, value, kind)
        else:
            assert re.fullmatch(r"STRING:\d+", kind[3]), (name, value, kind)
    assert ask("LOGOUT") == "OK Goodbye"
    assert client.line() is None  # the server closed the connection
    client.close()
    assert [pair for pair in answers if pair[1].startswith("ERR")] == []
