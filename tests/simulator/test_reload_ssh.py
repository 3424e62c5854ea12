"""Reload and switchover of routers served over SSH: their sessions end with
the boot, new ones are refused until the router is up, and the connection
reopens them (system ssh and in-process sessions)."""
import shutil
import socket
import threading
import time

import pytest

from tarvix.bases.connection import Connection
from tarvix.core.errors import ReloadTimeoutError
from tarvix.eal.ssh import link as sshlink
from tarvix.nornir.connection import ssh_command
from tarvix.simulator import server

pytestmark = [
    pytest.mark.skipif(not server.available(), reason="needs asyncssh (tarvix[serve])"),
    pytest.mark.skipif(shutil.which("ssh") is None, reason="needs the system ssh"),
]

BOOT = 0.5
QUICK = ["--reload-time", str(BOOT), "--switchover-time", str(BOOT)]
ROUTERS = [{"hostname": "s1", "options": QUICK}, {"hostname": "s2", "dual_rp": True, "options": QUICK},
           # One that never comes back for each link.
           {"hostname": "s3", "options": ["--no-return"]}, {"hostname": "s4", "options": ["--no-return"]},
           {"hostname": "s5", "options": QUICK}]


@pytest.fixture(scope="module")
def routers():
    with server.serving(ROUTERS) as running:
        yield running
    assert not [t for t in threading.enumerate() if t.name.startswith("simulated")]


@pytest.fixture(params=["system ssh", "in-process ssh"])
def link(request):
    if request.param == "in-process ssh" and not sshlink.AVAILABLE:
        pytest.skip(sshlink.UNAVAILABLE)
    return request.param


def _starts(ports, link):
    if link == "system ssh":
        return [ssh_command("127.0.0.1", port, "admin", host_key_checking=False) for port in ports], {}
    return ["ssh://admin@127.0.0.1:%d" % port for port in ports], {"ssh": {"host_key_checking": "off"}}


def connect(hostname, ports, link):
    starts, options = _starts(ports, link)
    con = Connection(hostname=hostname, start=starts[0] if len(starts) == 1 else starts, connection_timeout=5,
                     credentials={"default": {"username": "admin", "password": "admin"}}, **options)
    con.connect()
    return con


def test_reload_reopens_the_session(routers, link):
    con = connect("s1", routers.ports["s1"], link)
    try:
        first = con.spawn
        report = con.reload(save=True, timeout=20)
        rp = report.rps["a"]
        # The session ended and a new one answered once the router was up.
        assert con.spawn is not first and rp.state == "ready"
        assert rp.link_lost < BOOT <= rp.first_answer <= rp.ready
        assert "s1 uptime is 0 minutes" in con.execute("show version")
    finally:
        con.disconnect()


def test_switchover_over_ssh(routers, link):
    con = connect("s2", routers.ports["s2"], link)
    try:
        before = con.active.name
        report = con.switchover(timeout=20)
        assert con.active.name != before and report.rps[before].first_answer >= BOOT
        assert "13 -ACTIVE" in con.execute("show redundancy | include my state")
        assert con.standby.state_machine.current_state != "standby_locked"
        con.switchover(timeout=20)
        assert con.active.name == before
    finally:
        con.disconnect()


def test_a_router_that_never_comes_back_refuses_sessions_until_the_timeout(routers, link):
    name = "s3" if link == "system ssh" else "s4"
    con = connect(name, routers.ports[name], link)
    try:
        with pytest.raises(ReloadTimeoutError, match=r"^s\d: reload not done after 1.5 s; the device said last: "
                                                     r".+; RP a down$"):
            con.reload(save=True, timeout=1.5)
        assert not con.connected
    finally:
        con.disconnect()


@pytest.mark.slow
def test_a_reload_whose_reconnects_meet_a_silent_port_ends_at_its_timeout(routers, link):
    con = connect("s5", routers.ports["s5"], link)
    # Once the router is down, its address accepts connections and says nothing.
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)
        con.handles[0].start = _starts([silent.getsockname()[1]], link)[0][0]
        began = time.monotonic()
        try:
            with pytest.raises(ReloadTimeoutError, match=r"^s5: reload not done after 2 s"):
                con.reload(save=True, timeout=2)
            assert time.monotonic() - began < 3.5
        finally:
            con.disconnect()
