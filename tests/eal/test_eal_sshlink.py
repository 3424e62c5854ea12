"""The parts of the in-process SSH link that need no server: start URLs,
options, the system ssh command in its place, the known hosts file."""
import base64
import getpass
import hashlib
import hmac
import shutil
import socket
import threading

import pytest

from tarvix.bases.connection import _session_start
from tarvix.core.errors import LinkClosedError
from tarvix.eal import sshalgos, sshconfig, sshlink, sshroute


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
    assert sshlink.system_command("ssh://r1", {"config": False, "jump": ["a@b1:2222", {"host": "b2"}],
                                               "kex": "+diffie-hellman-group14-sha1", "hostkeys": ["ssh-rsa"]}) == \
        "ssh -o StrictHostKeyChecking=accept-new -F /dev/null -o ProxyJump=a@b1:2222,b2 " \
        "-o KexAlgorithms=+diffie-hellman-group14-sha1 -o HostKeyAlgorithms=ssh-rsa r1"
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


@pytest.mark.skipif(shutil.which("ssh") is None, reason="needs the system ssh")
def test_the_ssh_configuration_as_the_system_ssh_resolves_it(tmp_path):
    key = tmp_path / "bastion_key"
    key.write_text("not read here\n")
    (tmp_path / "included").write_text("Host bastion\n  HostName 192.0.2.1\n  User jumper\n  IdentityFile %s\n"
                                       "Host b2\n  HostName 192.0.2.2\n" % key)
    config = tmp_path / "config"
    config.write_text("Include %s\nMatch originalhost r1\n  ServerAliveInterval 15\nHost r1\n  HostName 10.1.1.1\n"
                      "  ProxyJump adm@bastion:2222,b2\n  KexAlgorithms +diffie-hellman-group14-sha1\n"
                      "Host *.lab\n  User labuser\n  Port 2200\n  ProxyCommand nc %%h %%p\n"
                      % (tmp_path / "included"))
    options = {"config": str(config)}
    found = sshroute.route("r1", None, None, options, username="cred-user")
    target = found.target
    assert (target.host, target.port, target.user, target.keepalive) == ("10.1.1.1", 22, "cred-user", 15)
    assert target.algorithms["kex"][-1] == "diffie-hellman-group14-sha1"
    assert [(h.name, str(h), h.key_files) for h in found.hops] == [
        ("bastion", "adm@192.0.2.1:2222", [str(key)]), ("b2", "%s@192.0.2.2" % getpass.getuser(), [])]
    # What the options say wins over the file.
    found = sshroute.route("r1", 2022, "me", dict(options, jump=[], kex=["curve25519-sha256"], keepalive=5))
    assert (str(found.target), found.hops, found.target.algorithms["kex"], found.target.keepalive) == \
        ("me@10.1.1.1:2022", [], ["curve25519-sha256"], 5)
    found = sshroute.route("x.lab", None, None, options)
    assert (str(found.target), found.proxy_command, found.hops) == ("labuser@x.lab:2200", "nc x.lab 2200", [])
    found = sshroute.route("r1", None, None, {"config": False})
    assert (str(found.target), found.hops, found.config) == ("r1", [], None)
    assert "diffie-hellman-group14-sha1" not in found.target.algorithms["kex"]
    assert "ssh-rsa" not in found.target.algorithms["hostkeys"]
    config.write_text("Host r1\n  Bogus yes\n")
    with pytest.raises(sshconfig.ConfigError, match=r"^ssh configuration: \S+/config: line 2: Bad configuration"):
        sshroute.route("r1", None, None, options)
    if not sshlink.AVAILABLE:
        return
    with pytest.raises(LinkClosedError,
                       match=r"^r1: ssh configuration: \S+/config: line 2: Bad configuration option: bogus\n"):
        sshlink.SshSpawn("ssh://r1", "r1", ssh=options)


def test_algorithm_lists_and_the_refusal_that_names_both_sides():
    base = ["a1", "a2", "b1"]
    assert [sshalgos.chosen(given, base) for given in (None, "x,y", "+x,a1", "^b1", "-a*")] == [
        base, ["x", "y"], base + ["x"], ["b1", "a1", "a2"], ["b1"]]
    with pytest.raises(ValueError, match="list of algorithm names"):
        sshlink.check_options({"kex": ["a b"]})
    lists = sshalgos.wanted({"hostkeys": "+ssh-rsa"}, None)
    offer = [["diffie-hellman-group14-sha1", "kex-strict-s-v00@openssh.com"], ["ssh-rsa"], ["aes128-ctr"],
             ["aes128-ctr"], ["hmac-sha1"], ["hmac-sha1"]]
    assert sshalgos.refusal(lists, offer).startswith(
        "no matching key exchange method: the server offers diffie-hellman-group14-sha1; this link allows "
        + ",".join(lists["kex"]))
    lists["kex"].append("diffie-hellman-group14-sha1")
    assert sshalgos.refusal(lists, offer) is None


@pytest.mark.skipif(not sshlink.AVAILABLE, reason=sshlink.UNAVAILABLE or "")
def test_a_proxy_command_that_fails_is_told_in_its_words():
    with pytest.raises(LinkClosedError, match=r"^r1: r1 port 22: .*\(no route to the bastion\)\n"):
        sshlink.SshSpawn("ssh://r1", "r1", timeout=5, ssh={
            "config": False, "proxy_command": "echo 'no route to the bastion' >&2; exit 3"})
