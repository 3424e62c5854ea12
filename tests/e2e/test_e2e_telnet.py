"""Telnet start lines through the system's telnet client: a simulated
router's console, a dual-RP pair and a terminal server's port, each served
on a port of 127.0.0.1 by socat (a program's terminal over TCP, no telnet
negotiation: the client stays in line mode and echoes what it sends)."""
import os
import shlex
import shutil
import signal
import socket
import stat
import subprocess
import sys
import time

import pytest

from tarvix import simulator
from tarvix.core.errors import LinkClosedError

from e2e_support import PASSWORD, alive, connections  # noqa: F401

pytestmark = pytest.mark.skipif(not (shutil.which("telnet") and shutil.which("socat")),
                                reason="needs telnet and socat (apt-get install telnet socat)")

TERMINAL_SERVER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "eal",
                               "terminal_server.py")
CREDENTIALS = {"default": {"username": "admin", "password": PASSWORD},
               "terminal_server": {"username": "ts-user", "password": "ts-Secret-5"}}
BANNERS = ("Trying 127.0.0.1", "Connected to", "Escape character")


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture
def serve(tmp_path):
    """serve(command line): the port of 127.0.0.1 where socat serves the
    command on a terminal of its own, one per connection."""
    servers = []

    def start(command):
        script = tmp_path / ("served%d.sh" % len(servers))
        script.write_text("#!/bin/sh\nexec %s\n" % command)
        script.chmod(script.stat().st_mode | stat.S_IXUSR)
        port = _free_port()
        servers.append(subprocess.Popen(
            ["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % port,
             "EXEC:%s,pty,raw,echo=0,setsid,ctty,stderr" % script], start_new_session=True,
            env=dict(os.environ, TARVIX_SIM_PASSWORD=PASSWORD), stdin=subprocess.DEVNULL))
        until = time.monotonic() + 10
        while time.monotonic() < until:
            try:
                socket.create_connection(("127.0.0.1", port), 0.5).close()
                return port
            except OSError:
                time.sleep(0.05)
        pytest.fail("socat does not listen on port %d" % port)

    yield start
    for server in servers:
        os.killpg(server.pid, signal.SIGTERM)
        server.wait(5)


def _telnet(port):
    return "telnet 127.0.0.1 %d" % port


@pytest.mark.parametrize("kind", ["single_rp", "dual_rp", "terminal_server"])
def test_a_console_over_telnet(connections, serve, tmp_path, kind):
    """Connect, a command, disconnect: the client's own lines are in
    neither the output nor the hostname learnt, its echo of the password
    is masked."""
    if kind == "dual_rp":
        start = [_telnet(serve(command)) for command in simulator.pair("r7", str(tmp_path), "--login")]
    elif kind == "single_rp":
        start = _telnet(serve(simulator.command("r7", "--login")))
    else:
        start = _telnet(serve("%s %s login" % (sys.executable, TERMINAL_SERVER)))
    credentials = dict(CREDENTIALS) if kind == "terminal_server" else {"default": CREDENTIALS["default"]}
    con = connections(start, hostname="r7", learn_hostname=True, credentials=credentials, connection_timeout=15,
                      session_log=str(tmp_path / "session.log"))
    con.connect()
    assert con.learned_hostname == "r7"
    assert con.execute("show version").splitlines()[:2] == ["Generic router simulator, software version 1.0",
                                                            "r7 uptime is 0 minutes"]
    pids = connections.pids()
    con.disconnect()
    assert not [pid for pid in pids if alive(pid)]
    # The client in line mode echoes the password it is typed, masked.
    logs = [path.read_text() for path in tmp_path.glob("session*.log")]
    assert logs and all("Password:" in log and PASSWORD not in log for log in logs)


@pytest.mark.parametrize("port, words", [
    ("% Connection refused by remote host", "Trying 10.0.0.5, 2005 ... | % Connection refused by remote host"),
    (None, "telnet: Unable to connect to remote host: Connection refused"),
])
def test_a_telnet_port_that_serves_no_console_fails_at_once(connections, serve, port, words):
    """A terminal server's busy port, in its words; nothing listening, in
    telnet's."""
    start = _telnet(serve("%s %s %s" % (sys.executable, TERMINAL_SERVER, shlex.quote(port))) if port
                    else _free_port())
    con = connections(start, hostname="r7", credentials=CREDENTIALS, connection_timeout=15)
    began = time.monotonic()
    with pytest.raises(LinkClosedError) as caught:
        con.connect()
    assert time.monotonic() - began < 5
    assert str(caught.value).splitlines()[0] == "r7: %s" % words
    assert not [line for line in BANNERS if line in str(caught.value)]

