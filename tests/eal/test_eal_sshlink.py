"""The in-process SSH link: start URLs, options, the system ssh command in
its place, the known hosts file; then, on routers of the bundled SSH
simulator, the known hosts shared with the system ssh, the key file's
errors and the connect timeout."""
import base64
import collections
import getpass
import hashlib
import hmac
import logging
import os
import select
import shutil
import socket
import subprocess
import threading
import time

import pytest

from tarvix.bases.connection import Connection
from tarvix.bases.starts import session_start
from tarvix.core.errors import LinkClosedError, LinkTimeoutError
from tarvix.eal.ssh import algos as sshalgos, config as sshconfig, link as sshlink, route as sshroute
from tarvix.simulator import server as simulated

PASSWORD = "link-Test-pw-5"
served = pytest.mark.skipif(not (sshlink.AVAILABLE and simulated.available()),
                            reason=sshlink.UNAVAILABLE or "needs asyncssh (tarvix[serve])")


def test_urls_options_and_the_system_ssh_in_their_place():
    assert sshlink.parse_url("ssh://r1") == (None, "r1", 22)
    assert sshlink.parse_url("ssh://adm@corp@[::1]:2222") == ("adm@corp", "::1", 2222)
    for bad in ("ssh://", "ssh://r1:0", "ssh://r1:99999", "ssh r1", "ssh://a b"):
        with pytest.raises(ValueError):
            sshlink.parse_url(bad)
    # A password is never taken for a part of the user's name, nor shown.
    for start in ("ssh://adm:Url-pw-1@r1", "ssh://adm@corp:Url-pw-1@r1:2222"):
        with pytest.raises(ValueError) as refused:
            Connection(hostname="r1", start=start)
        assert str(refused.value) == "an ssh start's password does not belong in its URL (%s): give it in the " \
                                     "credentials" % start.replace("Url-pw-1", "****")
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
    assert session_start("ssh://r1:2222") and not session_start("telnet ts1 2001")
    assert sshlink.check_options({"connect_timeout": 2.5, "keepalive": "15", "agent": None, "passphrase": "p"}) == {
        "host_key_checking": "accept-new", "connect_timeout": 2.5, "keepalive": 15.0, "agent": None, "passphrase": "p"}


@pytest.mark.parametrize("option, value", [
    ("connect_timeout", "abc"), ("connect_timeout", -1), ("connect_timeout", 0), ("connect_timeout", float("inf")),
    ("keepalive", "x"), ("keepalive", -1), ("passphrase", 1234), ("agent", "no"), ("known_hosts", 7),
    ("key_file", ""), ("host_key_checking", "maybe"), ("config", 5), ("jump", "b1:99999"),
    ("jump", [{"host": "b1", "password": "1234", "bogus": 1}]), ("jump", "b0,adm:1234@b1"),
    ("jump", [{"host": "ssh://adm:1234@b1"}]), ("proxy_command", 7), ("identities_only", "yes"),
    ("kex", ["a b"]), ("macs", []),
])
def test_a_bad_option_value_is_refused_before_anything_connects(option, value):
    with pytest.raises(ValueError) as raised:
        Connection(hostname="r1", start="ssh://127.0.0.1:%d" % _closed_port(), ssh={option: value})
    message = str(raised.value)
    assert message.startswith("r1: ssh option %s: " % option) and "\n" not in message, message
    # A passphrase is never shown.
    assert "1234" not in message


@pytest.mark.skipif(not sshlink.AVAILABLE, reason=sshlink.UNAVAILABLE or "")
def test_the_secrets_of_the_ssh_options_are_masked(caplog):
    """The key's passphrase, a jump host's password and passphrase: as the
    credentials' passwords, in the logs and the errors."""
    said = ["key-Phrase-71", "hop-Secret-72", "hop-Phrase-73"]
    con = Connection(hostname="r1", start="ssh://127.0.0.1:%d" % _closed_port(), connection_timeout=3, ssh={
        "config": False, "passphrase": said[0],
        "jump": [{"host": "127.0.0.1:%d" % _closed_port(), "password": said[1], "passphrase": said[2]}]})
    with pytest.raises(LinkClosedError, match=r"^r1: connect to host 127\.0\.0\.1 port \d+: Connection refused"):
        con.connect()
    logging.getLogger("tarvix").warning("shown: %s", ", ".join(said))
    assert caplog.records[-1].getMessage() == "shown: ****, ****, ****"


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
    # Bytes that are not UTF-8 spoil nothing, read as the system ssh reads them.
    path.write_bytes(b"# caf\xe9\nr\xe9 ssh-rsa LATIN1\n" + path.read_bytes())
    keys, revoked = sshlink.known_keys(str(path), "10.0.0.9", 2222)
    assert keys == {"ssh-ed25519": {"HASHED"}, "ssh-rsa": {"PLAIN"}} and revoked == {"GONE"}
    keys, _ = sshlink.known_keys(str(path), "10.0.0.9", 22)
    assert keys == {"ssh-rsa": {"PORT22", "WILD"}}
    assert sshlink.known_keys(str(tmp_path / "missing"), "r1", 22) == ({}, set())
    sshlink.record_key(str(tmp_path / "new" / "known_hosts"), "r1", 2200, "ssh-rsa", "KEY")
    assert sshlink.known_keys(str(tmp_path / "new" / "known_hosts"), "r1", 2200)[0] == {"ssh-rsa": {"KEY"}}
    # A last line without its line break keeps its entry.
    path.write_bytes(b"r1 ssh-ed25519 OLD")
    sshlink.record_key(str(path), "r2", 22, "ssh-rsa", "NEW")
    assert path.read_bytes() == b"r1 ssh-ed25519 OLD\nr2 ssh-rsa NEW\n"
    for read in (lambda: sshlink.known_keys(str(tmp_path), "r1", 22),
                 lambda: sshlink.record_key(str(tmp_path), "r1", 22, "ssh-rsa", "KEY")):
        with pytest.raises(sshlink.KnownHostsError, match="known hosts file %s: Is a directory" % tmp_path):
            read()


@pytest.mark.skipif(not sshlink.AVAILABLE, reason=sshlink.UNAVAILABLE or "")
def test_an_unreadable_known_hosts_file_is_named_before_connecting(tmp_path):
    with pytest.raises(LinkClosedError, match="^r1: cannot read the known hosts file %s: Is a directory" % tmp_path):
        sshlink.SshSpawn("ssh://u@127.0.0.1:%d" % _closed_port(), "r1", timeout=5, ssh={"known_hosts": str(tmp_path)})


@pytest.mark.skipif(not sshlink.AVAILABLE, reason=sshlink.UNAVAILABLE or "")
@pytest.mark.parametrize("through", ["device", "jump host"])
def test_abort_ends_a_connect_in_progress(through):
    """A server that takes the connection and says nothing (the device, or
    the jump host before it): the key exchange waits, and abort from
    another thread ends it at once."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    start, ssh = "ssh://u@127.0.0.1:%d" % server.getsockname()[1], None
    if through == "jump host":
        start, ssh = "ssh://u@127.0.0.1:%d" % _closed_port(), {"config": False, "jump": start[6:]}
    con = Connection(hostname="r1", start=start, connection_timeout=20, ssh=ssh)
    timer = threading.Timer(0.3, con.abort)
    timer.start()
    began = time.monotonic()
    try:
        with pytest.raises(LinkClosedError, match="^r1: the link was aborted"):
            con.connect()
    finally:
        timer.cancel()
        server.close()
    assert time.monotonic() - began < 3
    assert con.handles[0].spawn is None and not con.connected


@pytest.mark.skipif(shutil.which("ssh") is None, reason="needs the system ssh")
def test_the_ssh_configuration_as_the_system_ssh_resolves_it(tmp_path):
    key = tmp_path / "key-192.0.2.1-adm-2222"
    key.write_text("not read here\n")
    (tmp_path / "included").write_text("Host bastion\n  HostName 192.0.2.1\n  User jumper\n"
                                       "  IdentityFile %s/key-%%h-%%r-%%p\nHost b2\n  HostName 192.0.2.2\n" % tmp_path)
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
    # The options' ProxyCommand wins over the file's ProxyJump.
    found = sshroute.route("r1", None, None, dict(options, proxy_command="nc %h %p"))
    assert (found.hops, found.proxy_command) == ([], "nc 10.1.1.1 22")
    # A changed included file is read again.
    (tmp_path / "included").write_text("Host bastion\n  HostName 192.0.2.9\n  User jumper\n")
    assert str(sshroute.route("r1", None, None, options).hops[0]) == "adm@192.0.2.9:2222"
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


@pytest.mark.skipif(shutil.which("ssh") is None, reason="needs the system ssh")
def test_host_key_files_and_policies_as_the_configuration_names_them(tmp_path):
    """Every known hosts file (a path with a space too), the alias, hashing
    and StrictHostKeyChecking as ssh -G prints them; each jump host under
    its own policy, whatever the device's options say but "yes"."""
    config = tmp_path / "config"
    config.write_text('Host r1\n  ProxyJump b1,b2\n  UserKnownHostsFile "%s/a b/k" ~/k2\n  GlobalKnownHostsFile none\n'
                      '  HostKeyAlias r1-key\n  HashKnownHosts yes\n  StrictHostKeyChecking no\n'
                      'Host b1\n  StrictHostKeyChecking yes\n' % tmp_path)
    found = sshroute.route("r1", None, None, {"config": str(config)})
    files = found.target.host_keys
    assert (files.user, files.system, files.alias, files.hashed, found.target.policy) == \
        (["%s/a b/k" % tmp_path, os.path.expanduser("~/k2")], [], "r1-key", True, "off")
    assert [(h.name, h.policy, h.host_keys.key()[1:]) for h in found.hops] == [
        (name, policy, (("/etc/ssh/ssh_known_hosts", "/etc/ssh/ssh_known_hosts2"), None, False))
        for name, policy in (("b1", "yes"), ("b2", "accept-new"))]
    for given, hops in (("off", ["yes", "accept-new"]), ("yes", ["yes", "yes"])):
        found = sshroute.route("r1", None, None, {"config": str(config), "host_key_checking": given})
        assert [found.target.policy] + [h.policy for h in found.hops] == [given] + hops


@pytest.mark.skipif(shutil.which("ssh") is None or not sshlink.AVAILABLE, reason="needs the system ssh and ssh2-python")
def test_a_hung_configuration_lookup_ends_at_the_connect_timeout(tmp_path):
    """ssh -G is part of the connect: a Match exec that hangs is ended with
    it, by its deadline."""
    config = tmp_path / "config"
    config.write_text('Match exec "sleep 7.25"\n  User x\n')
    began = time.monotonic()
    with pytest.raises(LinkTimeoutError) as caught:
        sshlink.SshSpawn("ssh://r1", "r1", ssh={"config": str(config), "connect_timeout": 1})
    assert time.monotonic() - began < 1.5
    assert str(caught.value) == "r1: ssh -G r1 (the ssh configuration's lookup) did not end within the connect " \
                                "timeout\ntimed out after 1.0 s connecting"
    assert not [pid for pid in os.listdir("/proc") if pid.isdigit() and _cmdline(pid) == b"sleep\x007.25\x00"]


def _cmdline(pid):
    try:
        with open("/proc/%s/cmdline" % pid, "rb") as held:
            return held.read()
    except OSError:
        return b""


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


def _closed_port():
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    try:
        return sock.getsockname()[1]
    finally:
        sock.close()


# -- on simulated routers -------------------------------------------------------

@pytest.fixture(scope="module")
def ports():
    """Two simulated routers that also offer public key authentication
    (and take no key)."""
    plain = simulated._server_class

    def offering_keys():
        class Keys(plain()):
            def public_key_auth_supported(self):
                return True

            def validate_public_key(self, username, key):
                return False

        return Keys

    simulated._server_class = offering_keys
    try:
        with simulated.serving([{"hostname": "r1", "password": PASSWORD},
                                {"hostname": "r2", "password": PASSWORD}]) as running:
            yield dict((name, found[0]) for name, found in running.ports.items())
    finally:
        simulated._server_class = plain


def link(port, **ssh):
    ssh.setdefault("host_key_checking", "off")
    return sshlink.SshSpawn("ssh://admin@127.0.0.1:%d" % port, "r1", timeout=5, passwords=[PASSWORD], ssh=ssh)


@served
@pytest.mark.skipif(shutil.which("ssh-keyscan") is None, reason="needs the system ssh's ssh-keyscan")
def test_one_known_hosts_file_serves_the_system_ssh_too(ports, tmp_path):
    """The server has an ed25519 key and one that libssh2 asks for before
    it: the one the file holds is the one checked, nothing is added."""
    scanned = subprocess.check_output(["ssh-keyscan", "-t", "ed25519", "-p", str(ports["r1"]), "127.0.0.1"],
                                      stderr=subprocess.DEVNULL).strip()
    assert b" ssh-ed25519 " in scanned
    known = tmp_path / "known_hosts"
    known.write_bytes(b"# caf\xe9\n" + scanned)
    link(ports["r1"], host_key_checking="yes", known_hosts=str(known)).close()
    link(ports["r2"], host_key_checking="accept-new", known_hosts=str(known)).close()
    recorded = known.read_bytes()
    # (Its name hashed or not, as the system's ssh configuration says.)
    assert recorded.startswith(b"# caf\xe9\n" + scanned + b"\n") and recorded.count(b"\n") == 3
    assert sum(map(len, sshlink.known_keys(str(known), "127.0.0.1", ports["r2"])[0].values())) == 1
    for name in ("r1", "r2", "r1"):
        link(ports[name], host_key_checking="yes" if name == "r2" else "accept-new", known_hosts=str(known)).close()
    assert known.read_bytes() == recorded


@served
@pytest.mark.skipif(shutil.which("ssh-keygen") is None, reason="needs the system ssh's ssh-keygen")
def test_a_key_that_cannot_be_used_says_why(ports, tmp_path, caplog):
    key = tmp_path / "k1"
    subprocess.check_call(["ssh-keygen", "-q", "-t", "ed25519", "-N", "right-Phrase-1", "-f", str(key)])
    for path, passphrase, words in ((key, "wrong-Phrase-1", "Wrong passphrase"),
                                    (tmp_path / "k2", None, "Unable to open private key file")):
        caplog.clear()
        # The password logs in after the key.
        link(ports["r1"], key_file=str(path), passphrase=passphrase).close()
        warned = [r.getMessage() for r in caplog.records if "cannot be used" in r.getMessage()]
        assert len(warned) == 1 and warned[0].startswith("r1: the key %s cannot be used: " % path), warned
        assert words in warned[0] and "Phrase" not in warned[0]


def _relay(listener, port, accept_at, delay):
    """Accepts the connection waiting on ``listener`` at time.monotonic()
    ``accept_at`` and relays it to ``port``, what the server sends
    ``delay`` seconds late (for 10 s at most)."""
    time.sleep(max(0, accept_at - time.monotonic()))
    listener.settimeout(5)
    try:
        client = listener.accept()[0]
    except OSError:
        return
    upstream = socket.create_connection(("127.0.0.1", port), 5)
    held = collections.deque()
    until = time.monotonic() + 10
    try:
        while time.monotonic() < until:
            wait = max(0, held[0][0] - time.monotonic()) if held else 0.5
            for sock in select.select([client, upstream], [], [], wait)[0]:
                data = sock.recv(65536)
                if not data:
                    return
                if sock is upstream:
                    held.append((time.monotonic() + delay, data))
                else:
                    upstream.sendall(data)
            while held and held[0][0] <= time.monotonic():
                client.sendall(held.popleft()[1])
    finally:
        client.close()
        upstream.close()


@served
@pytest.mark.slow
@pytest.mark.parametrize("accept_after, delay, wall_clock", [(0, 0.4, 0.05), (1.1, 0, 0.95)])
def test_the_connect_timeout_holds_to_a_tenth_of_a_second(ports, accept_after, delay, wall_clock):
    """The timeout is that of the whole connect: a server that answers
    each step 0.4 s late is given 1.5 s in all, not 1.5 s a step.  One
    that accepts late, 0.4 s before the timeout, is waited for: the link
    starts near the end of a second of the wall clock, so that the answer
    comes in the second after next (where libssh2's whole seconds would
    cut the timeout short)."""
    limit = 1.5
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    time.sleep((wall_clock - time.time()) % 1)
    began = time.monotonic()
    relay = threading.Thread(target=_relay, args=(listener, ports["r1"], began + accept_after, delay))
    relay.start()
    try:
        if delay:
            with pytest.raises(LinkTimeoutError, match="timed out after 1.5 s connecting"):
                link(listener.getsockname()[1], connect_timeout=limit)
            assert abs(time.monotonic() - began - limit) < 0.1
        else:
            link(listener.getsockname()[1], connect_timeout=limit).close()
            assert time.monotonic() - began < limit
    finally:
        listener.close()
        relay.join(15)
