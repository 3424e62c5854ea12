"""The SSH simulator: many routers served from one process, reached through
a Connection over the system ssh or an SSH session in this process, and
through tarvix run."""
import contextlib
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import threading

import pytest

from tarvix.bases.connection import Connection
from tarvix.core.errors import CommandError, ConnectionError, LoginError
from tarvix.eal.ssh import link as sshlink
from tarvix.nornir.connection import ssh_command
from tarvix.simulator import server

pytestmark = [
    pytest.mark.skipif(not server.available(), reason="needs asyncssh (tarvix[serve])"),
    pytest.mark.skipif(shutil.which("ssh") is None, reason="needs the system ssh"),
]

PASSWORD = "ssh-Sim-pw-3"
ENABLE_PASSWORD = "ssh-Sim-en-4"
ROUTERS = [
    {"hostname": "edge1", "password": PASSWORD, "enable_password": ENABLE_PASSWORD,
     "options": ["--reject", "interface lo9", "--tech-lines", "20000"]},
    {"hostname": "edge2", "password": PASSWORD, "options": ["--login", "--banner", "--chunked"]},
    {"hostname": "core1", "ports": [0, 0], "active": "b", "password": PASSWORD},
]


@pytest.fixture(scope="module")
def routers():
    with server.serving(ROUTERS) as running:
        yield running
    # Every session's thread and the server's own are gone.
    assert not [t for t in threading.enumerate() if t.name.startswith("simulated")]


@pytest.fixture(params=["system ssh", "in-process ssh"])
def link(request):
    """How the routers are reached: the system ssh as the start command, or
    an SSH session in this process."""
    if request.param == "in-process ssh" and not sshlink.AVAILABLE:
        pytest.skip(sshlink.UNAVAILABLE)
    return request.param


def connect(hostname, ports, password=PASSWORD, link="system ssh"):
    if link == "system ssh":
        starts, options = [ssh_command("127.0.0.1", port, "admin", host_key_checking=False) for port in ports], {}
    else:
        starts, options = ["ssh://admin@127.0.0.1:%d" % port for port in ports], {"ssh": {"host_key_checking": "off"}}
    credentials = {"default": {"username": "admin", "password": password},
                   "enable": {"password": ENABLE_PASSWORD}}
    con = Connection(hostname=hostname, start=starts[0] if len(starts) == 1 else starts,
                     credentials=credentials, connection_timeout=10, learn_hostname=True, **options)
    con.connect()
    return con


def test_single_rp_over_ssh(routers, link):
    con = connect("edge1", routers.ports["edge1"], link=link)
    try:
        assert con.state_machine.current_state == "enable" and con.learned_hostname == "edge1"
        # No program runs for an in-process link.
        assert (con.spawn.pid is None) == (link == "in-process ssh")
        assert "edge1 uptime is" in con.execute("show version")
        assert "Loopback0              203.0.113.1" in con.execute("show ip interface brief")
        assert len(con.execute("show tech-support").splitlines()) == 20000
        with pytest.raises(CommandError) as raised:
            con.configure(["interface lo9", "description rejected"])
        assert str(raised.value).startswith("edge1: % Invalid input detected at '^' marker.")
        con.configure(["interface lo8", "description kept"])
        assert "interface lo8\n description kept\n" in con.execute("show running-config")
    finally:
        con.disconnect()
    # An in-band login after the SSH one, a banner and a console that writes in pieces.
    con = connect("edge2", routers.ports["edge2"], link=link)
    try:
        assert con.execute("show ip interface brief | include Loopback").split() == [
            "Loopback0", "203.0.113.1", "YES", "NVRAM", "up", "up"]
        assert "1 route processor(s)" in con.execute("show version")
    finally:
        con.disconnect()
    with pytest.raises((LoginError, ConnectionError)):
        connect("edge1", routers.ports["edge1"], password="not-" + PASSWORD, link=link)


def test_dual_rp_over_ssh_shares_one_router(routers, link):
    con = connect("core1", routers.ports["core1"], link=link)
    try:
        assert (con.active.name, con.standby.name) == ("b", "a")
        assert con.standby.state_machine.current_state != "standby_locked"
        assert "STANDBY HOT" in con.execute("sh redundancy stat | inc my state", target="standby")
        con.configure("interface lo1\n description on the active")
        assert " description on the active" in con.execute("show running-config", target="standby")
    finally:
        con.disconnect()


def free_ports(count):
    """``count`` consecutive ports free on 127.0.0.1 just now (below the
    ports lent to outgoing connections)."""
    for _ in range(50):
        base = random.randrange(20000, 32000)
        sockets = []
        try:
            for port in range(base, base + count):
                sock = socket.socket()
                sockets.append(sock)
                sock.bind(("127.0.0.1", port))
            return base
        except OSError:
            continue
        finally:
            for sock in sockets:
                sock.close()
    pytest.skip("no %d consecutive free ports" % count)


@contextlib.contextmanager
def served(*arguments):
    """``tarvix simulate ARGUMENTS`` serving, in a process of its own, until
    the block is left; yields the environment to run tarvix in."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    serving = subprocess.Popen([sys.executable, "-m", "tarvix", "simulate"] + list(arguments),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=env)
    try:
        for _ in range(5):
            line = serving.stdout.readline()
            if not line or line.startswith("serving"):
                break
        assert line.startswith("serving"), serving.stderr.read()
        yield env
    finally:
        serving.send_signal(signal.SIGTERM)
        try:
            returncode = serving.wait(20)
        finally:
            serving.kill()
            serving.stdout.close()
            serving.stderr.close()
    assert returncode == 0


@pytest.mark.parametrize("chassis", ["single_rp", "dual_rp"])
def test_tarvix_run_on_a_served_fleet(tmp_path, chassis):
    pytest.importorskip("nornir")
    lab, rps = str(tmp_path / "lab"), 2 if chassis == "dual_rp" else 1
    with served("--fleet", "3", "--chassis", chassis, "--ssh-port", str(free_ports(3 * rps)), "--serve", lab) as env:
        run = subprocess.run(
            [sys.executable, "-m", "tarvix", "run", "--inventory", lab, "--execute", "show version",
             "--execute", "show redundancy", "--configure", "interface lo5", "--output", str(tmp_path / "out")],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, env=env, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "3 ok, 0 failed" in run.stdout
    shown = (tmp_path / "out" / "sim-r02.txt").read_text()
    assert "sim-r02 uptime is" in shown
    assert ("peer state = 8  -STANDBY HOT" if rps == 2 else "Redundancy Mode = simplex") in shown


@pytest.mark.skipif(shutil.which("ssh-keyscan") is None, reason="needs ssh-keyscan")
def test_a_lab_served_again_shows_the_host_keys_it_showed(tmp_path):
    from tarvix.cli import main

    lab, port = str(tmp_path / "lab"), free_ports(1)
    assert main(["simulate", "--fleet", "1", "--ssh-port", str(port), lab]) == 0
    shown = []
    for _ in range(2):
        with served("--serve", lab):
            scan = subprocess.run(["ssh-keyscan", "-p", str(port), "127.0.0.1"], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, universal_newlines=True, timeout=30)
        shown.append(sorted(line.split(None, 1)[1] for line in scan.stdout.splitlines() if line[:1] == "["))
    assert len(shown[0]) == 2 and shown[0] == shown[1], shown
    assert [os.stat(os.path.join(lab, name)).st_mode & 0o777 for _, name in server.HOST_KEYS] == [0o600, 0o600]


@pytest.mark.parametrize("routers, told", [
    ([], 'the list of routers under "routers" is empty'),
    ({}, 'no list of routers under "routers"'),
    ([{"password": "not-shown"}], "router 1 of the list: a hostname (text) is needed"),
    ([{"hostname": "r1", "port": 70000}], "router r1: port 70000 is no port number"),
    ([{"hostname": "r1", "port": -5}], "router r1: port -5 is no port number"),
    ([{"hostname": "r1", "port": True}], "router r1: port true is no port number"),
    ([{"hostname": "r1", "port": "22"}], 'router r1: port "22" is no port number'),
    ([{"hostname": "r1", "ports": 5}], "router r1: ports: a list of one port, or two"),
    ([{"hostname": "r1", "port": 2222}, {"hostname": "r2", "ports": [0, 2222]}], "router r2: port 2222 is given twice"),
    ([{"hostname": "r1", "dual_rp": "yes"}], "router r1: dual_rp: true or false"),
    ([{"hostname": "r1", "password": 4242424}], "router r1: password: text (in quotes)"),
    ([{"hostname": "r1", "options": "--hang"}], "router r1: options: a list of the console's arguments"),
    ([{"hostname": "r1", "options": ["--hang"]}], "router r1: options: argument --hang: expected one argument"),
])
def test_a_bad_routers_file_is_one_line(tmp_path, capsys, monkeypatch, routers, told):
    from tarvix.cli import main

    path = str(tmp_path / "routers.json")
    with open(path, "w") as out:
        json.dump({"routers": routers}, out)
    monkeypatch.setattr(server, "serve", lambda *args, **kwargs: pytest.fail("a bad routers file was served"))
    assert main(["simulate", "--serve", path]) == 2
    err = capsys.readouterr().err
    assert err.startswith("error: %s: %s" % (path, told)) and err.count("\n") == 1, err
    assert err.count(path) == 1 and "not-shown" not in err and "4242424" not in err
