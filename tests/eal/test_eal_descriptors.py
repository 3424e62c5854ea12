"""Links whose descriptors are numbered past 1023 (a process holding more
than a thousand links), and the descriptor limit raised for them."""
import logging
import os
import shlex
import sys

import pytest

from tarvix.bases.connection import Connection
from tarvix.eal import fdlimit
from tarvix.eal.ssh import link as sshlink
from tarvix.simulator import server as simulated

resource = pytest.importorskip("resource")
PASSWORD = "fd-Test-pw-8"
CONSOLE = "%s -m tarvix.simulator --hostname r1" % shlex.quote(sys.executable)


@pytest.fixture
def high_descriptors():
    """Descriptors 3 to 1100 taken (copies of /dev/null), so that the next
    ones opened are numbered above 1100; the limits put back after."""
    saved = resource.getrlimit(resource.RLIMIT_NOFILE)
    if saved[1] != resource.RLIM_INFINITY and saved[1] < 1300:
        pytest.skip("the hard limit of open descriptors is %d" % saved[1])
    resource.setrlimit(resource.RLIMIT_NOFILE, (1150, saved[1]))
    taken = []
    base = os.open(os.devnull, os.O_RDONLY)
    taken.append(base)
    try:
        while taken[-1] < 1100:
            taken.append(os.dup(base))
        yield taken[-1]
    finally:
        for fd in taken:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, saved)


@pytest.mark.parametrize("kind", ["program", "in-process ssh"])
def test_links_on_descriptors_past_1023_work_and_raise_the_limit(high_descriptors, kind, tmp_path, monkeypatch):
    """Past 1023 select fails ("filedescriptor out of range"); the links
    wait with poll, a file copied over the SSH link's session too.  With
    fewer than 64 descriptors left under the soft limit, opening the link
    raises it."""
    if kind == "program":
        con = Connection(hostname="r1", start=CONSOLE, env=dict(os.environ, TARVIX_SIM_PASSWORD=PASSWORD),
                         credentials={"default": {"username": "admin", "password": PASSWORD}})
        con.connect()
        _run_and_check(con)
        return
    if not (sshlink.AVAILABLE and simulated.available()):
        pytest.skip(sshlink.UNAVAILABLE or "needs asyncssh (tarvix[serve])")
    with simulated.serving([{"hostname": "r1", "password": PASSWORD}]) as running:
        con = Connection(hostname="r1", start="ssh://127.0.0.1:%d" % running.ports["r1"][0],
                         ssh={"host_key_checking": False, "config": False},
                         credentials={"default": {"username": "admin", "password": PASSWORD}})
        con.connect()
        monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
        sent, back = tmp_path / "sent.bin", tmp_path / "back.bin"
        sent.write_bytes(os.urandom(200000))
        _run_and_check(con, lambda: (con.put_file(str(sent), "sent.bin"), con.get_file("sent.bin", str(back))))
        assert back.read_bytes() == sent.read_bytes()


def _run_and_check(con, more=lambda: None):
    try:
        fd = con.spawn._child.child_fd if con.spawn.pid else con.spawn._child.sock.fileno()
        assert fd > 1100
        assert "uptime is" in con.execute("show version", timeout=10)
        assert resource.getrlimit(resource.RLIMIT_NOFILE)[0] > 1150
        more()
    finally:
        con.disconnect()


class FakeLimits(object):
    RLIMIT_NOFILE = 7
    RLIM_INFINITY = -1

    def __init__(self, soft, hard):
        self.soft, self.hard = soft, hard

    def getrlimit(self, which):
        return self.soft, self.hard

    def setrlimit(self, which, limits):
        self.soft, self.hard = limits


def test_the_soft_limit_rises_to_the_hard_one_then_it_is_said_once(monkeypatch, caplog):
    fake = FakeLimits(1024, 3000)
    monkeypatch.setattr(fdlimit, "resource", fake)
    monkeypatch.setattr(fdlimit, "_said", [])
    assert fdlimit.room_for(900) == 1024 and fake.soft == 1024
    assert fdlimit.room_for(1000) == 2048 and fake.hard == 3000
    with caplog.at_level(logging.WARNING, "tarvix"):
        assert fdlimit.room_for(2990) == 3000
        assert fdlimit.room_for(2995) == 3000 and fake.soft == 3000
    said = [r.getMessage() for r in caplog.records]
    assert said == ["open descriptors: 2990 wanted, but the hard limit is 3000: links past it fail "
                    "(raise it: ulimit -Hn, or the service's LimitNOFILE)"]
