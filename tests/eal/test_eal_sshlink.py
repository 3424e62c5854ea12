"""The parts of the in-process SSH link that need no server: start URLs,
options, the system ssh command in its place, the known hosts file."""
import base64
import hashlib
import hmac
import socket
import threading

import pytest

from tarvix.bases.starts import _session_start
from tarvix.eal import sshlink


def test_urls_options_and_the_system_ssh_in_their_place():
    assert sshlink.parse_url("ssh://r1") == (None, "r1", 22)
    assert sshlink.parse_url("ssh://adm@corp@[::1]:2222") == ("adm@corp", "::1", 2222)
    for bad in ("ssh://", "ssh://r1:0", "ssh://r1:99999", "ssh r1", "ssh://a b"):
        with pytest.raises(ValueError):
            sshlink.parse_url(bad)
    with pytest.raises(ValueError, match="unknown ssh option"):
        sshlink.check_options({"hostkey": "no"})
    with pytest.raises(ValueError, match="host_key_checking"):
        sshlink.check_options({"host_key_checking": "maybe"})
    assert sshlink.system_command("ssh://adm@r1:2222", {"host_key_checking": False, "keepalive": 15}) == \
        "ssh -p 2222 -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o ServerAliveInterval=15 adm@r1"
    assert sshlink.system_command("ssh://r1", {"key_file": "/k ey"}, username="u") == \
        "ssh -o StrictHostKeyChecking=accept-new -i '/k ey' u@r1"
    # An SSH session is a session to the device, not a console line.
    assert _session_start("ssh://r1:2222") and not _session_start("telnet ts1 2001")


def test_known_hosts_as_the_system_ssh_reads_them(tmp_path):
    salt = b"0123456789abcdef0123"
    hashed = hmac.new(salt, b"[10.0.0.9]:2222", hashlib.sha1).digest()
    path = tmp_path / "known_hosts"
    path.write_text("\n".join([
        "# comment",
        "|1|%s|%s ssh-ed25519 HASHED" % (base64.b64encode(salt).decode(), base64.b64encode(hashed).decode()),
        "[10.0.0.9]:2222,r9 ssh-rsa PLAIN",
        "10.0.0.9 ssh-rsa PORT22",
        "10.0.0.* ssh-rsa WILD",
        "10.0.0.*,!10.0.0.9 ssh-dss NEGATED",
        "@revoked [10.0.0.9]:2222 ssh-rsa GONE",
        "@cert-authority * ssh-rsa CA",
        "[10.0.0.9]:2222",
    ]) + "\n")
    keys, revoked = sshlink.known_keys(str(path), "10.0.0.9", 2222)
    assert keys == {"ssh-ed25519": {"HASHED"}, "ssh-rsa": {"PLAIN"}} and revoked == {"GONE"}
    keys, _ = sshlink.known_keys(str(path), "10.0.0.9", 22)
    assert keys == {"ssh-rsa": {"PORT22", "WILD"}}
    assert sshlink.known_keys(str(tmp_path / "missing"), "r1", 22) == ({}, set())
    sshlink.record_key(str(tmp_path / "new" / "known_hosts"), "r1", 2200, "ssh-rsa", "KEY")
    assert sshlink.known_keys(str(tmp_path / "new" / "known_hosts"), "r1", 2200)[0] == {"ssh-rsa": {"KEY"}}


@pytest.mark.skipif(not sshlink.AVAILABLE, reason=sshlink.UNAVAILABLE or "")
def test_abort_ends_a_connect_in_progress():
    """A server that takes the connection and says nothing: the key
    exchange waits, and abort from another thread ends it."""
    from tarvix.bases.connection import Connection
    from tarvix.core.errors import LinkClosedError

    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    con = Connection(hostname="r1", start="ssh://u@127.0.0.1:%d" % server.getsockname()[1], connection_timeout=20)
    timer = threading.Timer(0.3, con.abort)
    timer.start()
    try:
        with pytest.raises(LinkClosedError, match="^r1: the link was aborted"):
            con.connect()
    finally:
        timer.cancel()
        server.close()
    assert con.handles[0].spawn is None and not con.connected
