"""Reading answers from consoles that behave like real ones: slow, echoing
lines themselves, printing large outputs."""
import logging
import os
import re
import shlex
import socket
import sys
import time
from shutil import which

import pytest

from tarvix.bases.connection import DEFAULT_LEARNED_HOSTNAME, Connection
from tarvix.core.errors import CommandError, HostnameMismatchError, LinkClosedError
from tarvix.eal import spawn as spawn_module
from tarvix.eal import statemachine
from tarvix.eal.spawn import Spawn, mask_command
from tarvix.eal.statemachine import RouterStateMachine

FAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_console.py")


def fake(*options):
    return " ".join(shlex.quote(a) for a in [sys.executable, FAKE] + list(options))


@pytest.fixture
def patient(monkeypatch):
    """A quiet spell long enough that only the awaited text can end a wait
    in these tests, however loaded the machine."""
    monkeypatch.setattr(spawn_module, "SETTLE", 5.0)
    monkeypatch.setattr(statemachine, "SETTLE", 5.0)


@pytest.fixture
def connections():
    made = []

    def make(start, **options):
        options.setdefault("connection_timeout", 8)
        con = Connection(start=start, **options)
        made.append(con)
        return con

    yield make
    for con in made:
        con._close_links()


def test_a_prompt_still_on_its_way_is_not_the_answer(patient):
    link = Spawn(fake("--hold-bare"), "r1", timeout=8)
    machine = RouterStateMachine("r1", lambda: "r1", DEFAULT_LEARNED_HOSTNAME, timeout=8)
    try:
        assert machine.go_to("any", link) == "disable"
        # Two bare lines in flight, as between the dual-RP passes: the
        # console answers the first only when the second arrives.
        link.sendline()
        assert machine.go_to("any", link) == "disable"
        link.sendline()
        began = time.monotonic()
        assert machine.go_to("enable", link) == "enable"
        assert time.monotonic() - began < 4
    finally:
        link.close()


@pytest.mark.slow
def test_a_prompt_begun_before_the_next_pass_is_its_answer(monkeypatch):
    """The second dual-RP pass finds the prompt owed to the bare line sent
    between the passes half printed: what is left of it is kept, and no
    second line is sent (nor a nudge: the console is slow, not silent)."""
    monkeypatch.setattr(statemachine, "NUDGE_AFTER", 5.0)
    link = Spawn(fake("--split-bare", "1"), "r1", timeout=8)
    machine = RouterStateMachine("r1", lambda: "r1", DEFAULT_LEARNED_HOSTNAME, timeout=8)
    try:
        assert machine.go_to("any", link) == "disable"
        link.sendline()
        deadline = time.monotonic() + 5
        while "r1" not in link.unread() and time.monotonic() < deadline:
            link.flush(whole_lines=True)
            time.sleep(0.01)
        sent = []
        link.sendline = lambda text="": sent.append(text)
        assert machine.go_to("any", link) == "disable"
        assert sent == []
    finally:
        link.close()


@pytest.mark.parametrize("command, output", [
    ("split", "before"),                      # the prompt straddles two reads
    ("lookalike", "first\nr1#\nlast"),        # a prompt-like line in the output
])
def test_the_output_ends_at_the_real_prompt(connections, patient, command, output):
    con = connections(fake(), hostname="r1")
    con.connect()
    began = time.monotonic()
    assert con.execute(command) == output
    assert time.monotonic() - began < 4
    assert con.execute("enable") == ""


@pytest.mark.parametrize("option, settle", [("--wrap=12", 5.0), ("--no-echo", 0.3)])
def test_consoles_that_echo_oddly(connections, monkeypatch, option, settle):
    """A wrapped echo is recognised (no quiet spell is awaited); a console
    that does not echo is answered after one quiet spell."""
    monkeypatch.setattr(spawn_module, "SETTLE", settle)
    con = connections(fake(option), hostname="r1")
    con.connect()
    began = time.monotonic()
    assert con.execute("show interfaces description brief") == ""
    assert con.execute("lines 2") == "0000000 %s\n0000001 %s" % ("x" * 60, "x" * 60)
    assert time.monotonic() - began < 4


class CountingPattern(object):
    """A compiled pattern that counts the characters its searches cover."""

    def __init__(self, pattern):
        self.regex = re.compile(pattern)
        self.pattern = pattern
        self.chars = 0

    def search(self, text, pos=0):
        self.chars += len(text) - pos
        return self.regex.search(text, pos)


def test_large_output_is_read_in_linear_time():
    link = Spawn(fake(), "r1", timeout=30)
    try:
        link.expect(r"r1>\s*\Z", timeout=8)
        link.sendline("lines 20000")
        prompt = CountingPattern(r"(?:\A|[\r\n])r1>\s*\Z")
        began = time.monotonic()
        result = link.expect(prompt, echo=True)
        elapsed = time.monotonic() - began
    finally:
        link.close()
    lines = result.match_output.replace("\r", "").split("\n")[1:]
    assert len(lines) == 20000 and lines[0].startswith("0000000 x") and lines[-1].startswith("0019999 x")
    size = len(result.match_output)
    assert size > 1.4e6
    # Searching the whole output again on every read covers hundreds of
    # times its size; searching the newest part covers a few times.
    assert prompt.chars < 25 * size
    assert elapsed < 10


@pytest.mark.parametrize("hostname", ["R1", "r1.lab.example.net", "R1.Lab"])
def test_hostnames_as_users_write_them(connections, hostname):
    con = connections(fake(), hostname=hostname)
    con.connect()
    assert con.state_machine.current_state == "enable"


@pytest.mark.slow
def test_another_hostname_ends_the_connect_early(connections, caplog):
    caplog.set_level(logging.INFO, "tarvix")
    con = connections(fake("--hostname", "core-9"), hostname="r1", connection_timeout=30)
    began = time.monotonic()
    with pytest.raises(HostnameMismatchError) as caught:
        con.connect()
    assert time.monotonic() - began < 5
    lines = caught.value.message.splitlines()
    assert lines[0] == "r1: core-9>"
    assert "learn_hostname=True" in lines[1] and "hostname='core-9'" in lines[1]
    # The wait lasted over a second: it was shown once what it awaited.
    notices = [r.getMessage() for r in caplog.records if "waiting for" in r.getMessage()]
    assert notices == ["r1: waiting for a prompt (disable, enable, config, standby_locked) ..."]


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.mark.skipif(not which("ssh"), reason="no ssh client")
def test_link_errors_lead_with_the_programs_words(connections):
    start = "ssh -o BatchMode=yes -o StrictHostKeyChecking=no -p %d 127.0.0.1" % free_port()
    con = connections(start, hostname="r1")
    with pytest.raises(LinkClosedError) as caught:
        con.connect()
    lines = caught.value.message.splitlines()
    assert len(lines) == 2 and lines[0].startswith("r1: ssh: connect to host 127.0.0.1") \
        and lines[0].endswith("Connection refused")
    assert lines[1] == "link closed while waiting for a prompt (disable, enable, config, standby_locked)"


def test_a_refused_config_mode_quotes_the_device(connections):
    con = connections(fake("--lock-config"), hostname="r1", init_exec_commands=[], init_config_commands=[])
    con.connect()
    with pytest.raises(CommandError) as caught:
        con.configure(["interface lo0"])
    assert caught.value.message == ("r1: % Configuration mode is locked by another session\n"
                                    "'configure terminal' did not leave the enable state")
    assert caught.value.command == "configure terminal"


@pytest.mark.parametrize("command, shown", [
    ("sshpass -p s3cret ssh -p 2222 admin@r1", "sshpass -p **** ssh -p 2222 admin@r1"),
    ("sshpass -e -p 's3 cret' ssh r1", "sshpass -e -p **** ssh r1"),
    ("client --password s3cret --port 23 r1", "client --password **** --port 23 r1"),
    ("client --pass=s3cret r1", "client --pass=**** r1"),
    ("client host=r1 password=s3cret", "client host=r1 password=****"),
    ("client telnet://admin:s3cret@r1:23", "client telnet://admin:****@r1:23"),
    ("ssh -p 2222 admin@r1", "ssh -p 2222 admin@r1"),
])
def test_passwords_in_start_commands_are_masked(command, shown):
    assert mask_command(command) == shown


def test_the_string_form_masks_passwords_and_hidden_lines(caplog):
    sleeper = "%s -c %s" % (shlex.quote(sys.executable), shlex.quote("import time; time.sleep(5)"))
    link = Spawn(sleeper + " --password s3cret token=t0ken", "r1")
    try:
        link.send_secret("t0ken")
        assert str(link).endswith("--password **** token=****'")
    finally:
        link.close()
    assert "s3cret" not in caplog.text


TERMINAL_SERVER = os.path.join(os.path.dirname(FAKE), "terminal_server.py")


@pytest.mark.parametrize("port", ["login", "% Connection refused by remote host", "Port 2005 is in use"])
def test_a_terminal_servers_port(connections, port):
    """Its own login is answered from the "terminal_server" credential
    before the device's; a port another session holds fails at once in the
    server's words."""
    credentials = {"default": {"username": "admin", "password": "dev-Secret-6"},
                   "terminal_server": {"username": "ts-user", "password": "ts-Secret-5"}}
    con = connections(fake_start(TERMINAL_SERVER, port), hostname="r7", credentials=credentials,
                      connection_timeout=20, env=dict(os.environ, TARVIX_SIM_PASSWORD="dev-Secret-6"))
    if port == "login":
        con.connect()
        assert "r7 uptime is" in con.execute("show version")
        return
    began = time.monotonic()
    with pytest.raises(LinkClosedError) as caught:
        con.connect()
    assert time.monotonic() - began < 10
    assert str(caught.value).splitlines() == ["r7: Trying 10.0.0.5, 2005 ... | %s" % port,
                                              "the terminal server's port is busy"]


def fake_start(program, argument):
    return " ".join(shlex.quote(a) for a in [sys.executable, str(program), argument])
