"""ssh:// starts on third-party routers (FakeNOS): the SSH session in this
process, and the system ssh client that runs in its place without the
library."""
import gc
import os
import socket
import threading

import pytest

from tarvix.core.errors import LinkClosedError, LoginError
from tarvix.eal.ssh import link as sshlink

import devices
from e2e_support import connection_maker

DUAL = "core1"
OFF = {"host_key_checking": "off"}
needs_library = pytest.mark.skipif(not sshlink.AVAILABLE, reason=sshlink.UNAVAILABLE or "")


@pytest.fixture(scope="module")
def bed():
    yield from devices.serve(["router:r1", "pair:%s" % DUAL])


@pytest.fixture
def connections(caplog):
    yield from connection_maker(caplog, [devices.PASSWORD], credentials={
        "default": {"username": devices.USERNAME, "password": devices.PASSWORD}})


@pytest.fixture(params=["in-process", "system ssh"])
def link_kind(request, monkeypatch):
    if request.param == "in-process" and not sshlink.AVAILABLE:
        pytest.skip(sshlink.UNAVAILABLE)
    monkeypatch.setattr(sshlink, "AVAILABLE", request.param == "in-process")
    return request.param


def url(bed, host):
    return "ssh://127.0.0.1:%d" % bed.ports[host]


def test_single_rp_session(bed, connections, link_kind, tmp_path):
    bed.reset("r1")
    log = tmp_path / "r1.log"
    con = connections(hostname="r1", start=url(bed, "r1"), ssh=OFF, session_log=str(log))
    con.connect()
    assert (con.spawn.pid is None) == (link_kind == "in-process")
    assert not con.console_line and con.state_machine.current_state == "enable"
    assert con.execute("show clock").startswith("*")
    con.configure(["interface Loopback7", " description over ssh://"])
    assert con.execute("show running-config").splitlines()[-4:] == [
        "interface Loopback7", " description over ssh://", "!", "end"]
    con.disconnect()
    recorded = log.read_text()
    assert "r1#show clock" in recorded.replace("\r", "") and devices.PASSWORD not in recorded
    assert recorded.count("show clock") == 1  # sent, and echoed: recorded once


def test_dual_rp_pair(bed, connections, link_kind):
    bed.reset(DUAL, active="b")
    con = connections(hostname=DUAL, start=[url(bed, DUAL + "-a"), url(bed, DUAL + "-b")], ssh=OFF)
    con.connect()
    assert (con.active.name, con.standby.name) == ("b", "a") and con.a.mode == "sso"
    assert con.execute("sh redundancy stat | inc my state", target="standby").strip() == \
        "my state = 8  -STANDBY HOT"
    con.disconnect()
    assert not con.connected


@needs_library
def test_failures_lead_with_the_cause(bed, connections, caplog):
    wrong = "Wrong-Secret-95"
    con = connections(hostname="r1", start=url(bed, "r1"), ssh=OFF, connection_timeout=5,
                      credentials={"default": {"username": devices.USERNAME, "password": wrong}})
    with pytest.raises(LoginError) as caught:
        con.connect()
    assert str(caught.value).startswith("r1: Authentication failed for user 'user' (password")
    assert wrong not in str(caught.value) and not [r for r in caplog.records if wrong in r.getMessage()]
    con = connections(hostname="r9", start="ssh://127.0.0.1:%d" % devices.free_port(), ssh=OFF)
    with pytest.raises(LinkClosedError, match=r"^r9: connect to host 127\.0\.0\.1 port \d+: Connection refused"):
        con.connect()


@needs_library
def test_a_closed_link_leaves_the_next_ones_socket_alone(bed, connections):
    """A link's session is freed when the link closes: freed later, when
    the connection is collected, it would read and write a descriptor that
    a newer link may hold by then, and break that link's session."""
    from tarvix.bases.connection import Connection

    bed.reset("r1")
    credentials = {"default": {"username": devices.USERNAME, "password": devices.PASSWORD}}
    for aborted in (False, True):
        first = Connection(hostname="r1", start=url(bed, "r1"), ssh=OFF, credentials=credentials)
        first.connect()
        if aborted:
            first.abort()
        first._close_links()
        second = connections(hostname="r1", start=url(bed, "r1"), ssh=OFF)
        second.connect()
        del first
        gc.collect()
        assert second.execute("show clock").startswith("*")
        second.disconnect()


@needs_library
@pytest.mark.parametrize("ending", ["failed connect", "disconnect"])
def test_a_session_is_freed_on_its_socket_shut_down(bed, connections, monkeypatch, ending):
    """Freed before its socket is closed (also when the library's error is
    replaced by ours on its way out), and after it is shut down: a
    non-blocking session freed while it can still talk to the server
    stays in memory for good (benchmarks/sshcycles.py measures it)."""
    freed = []
    library = sshlink.Session

    class Watched(library):
        def handshake(self, sock):
            self.fd = sock.fileno()
            return library.handshake(self, sock)

        def __del__(self):
            try:
                probe = socket.socket(fileno=os.dup(self.fd))
            except OSError:
                freed.append("socket closed")
                return
            try:
                # Nothing is sent; a socket shut down refuses even that.
                probe.send(b"")
                freed.append("socket open")
            except OSError:
                freed.append("socket shut down")
            finally:
                probe.close()

    def failing(link, steps):
        steps.run(steps.session.userauth_list, devices.USERNAME)
        raise sshlink._ssh2_errors.SocketRecvError()

    monkeypatch.setattr(sshlink, "Session", Watched)
    if ending == "failed connect":
        monkeypatch.setattr(sshlink.SshSpawn, "_authenticate", failing)
    con = connections(hostname="r1", start=url(bed, "r1"), ssh=OFF, connection_timeout=5)
    if ending == "failed connect":
        with pytest.raises(LinkClosedError):
            con.connect()
    else:
        bed.reset("r1")
        con.connect()
        con.disconnect()
    gc.collect()
    assert freed == ["socket shut down"]


@needs_library
def test_host_key_policies(bed, tmp_path):
    known = tmp_path / "ssh" / "known_hosts"

    def link(policy):
        return sshlink.SshSpawn(url(bed, "r1"), "r1", timeout=5, username=devices.USERNAME,
                                passwords=[devices.PASSWORD],
                                ssh={"host_key_checking": policy, "known_hosts": str(known)})

    with pytest.raises(LinkClosedError, match=r"^r1: No \S+ host key is known for \[127\.0\.0\.1\]:\d+"):
        link("yes")
    link("accept-new").close()
    entry = known.read_text()
    # (Its name hashed or not, as the system's ssh configuration says.)
    assert sum(map(len, sshlink.known_keys(str(known), "127.0.0.1", bed.ports["r1"])[0].values())) == 1
    assert entry.count("\n") == 1
    link("yes").close()
    link(True).close()
    assert known.read_text() == entry
    # Another key for the same host: refused, also under accept-new.
    name, kind, key = entry.split()
    known.write_text("%s %s %s\n" % (name, kind, key[:-8] + ("A" if key[-8] != "A" else "B") + key[-7:]))
    with pytest.raises(LinkClosedError, match="^r1: REMOTE HOST IDENTIFICATION HAS CHANGED"):
        link("accept-new")
    link("off").close()


@needs_library
def test_abort_ends_a_command_at_once(bed, connections):
    con = connections(hostname="r1", start=url(bed, "r1"), ssh=OFF)
    con.connect()
    timer = threading.Timer(0.3, con.abort)
    timer.start()
    try:
        # Unaborted, "show slow" answers after 1.5 s.
        with pytest.raises(LinkClosedError):
            con.execute("show slow", timeout=10)
    finally:
        timer.cancel()
    # What is sent next fails as the link's end too, not as a socket error.
    with pytest.raises(LinkClosedError, match="^r1: the link was aborted"):
        con.execute("show clock")
    con.disconnect()
