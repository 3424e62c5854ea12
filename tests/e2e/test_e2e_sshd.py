"""ssh:// links through real OpenSSH servers (sshd on 127.0.0.1 with this
module's own configuration, host keys and authorized keys): two jump hosts
to the SSH simulator and to a shell, against the system ssh's path through
the same hops; hosts named by the aliases of this module's own ssh
configuration; a server that offers only SHA-1 key exchange and ssh-rsa
host keys; a changed host key at the second hop; a file put through the
sftp program by the same hops."""
import getpass
import logging
import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

from tarvix.bases.connection import Connection
from tarvix.core.errors import LinkClosedError, LoginError
from tarvix.eal.ssh import jump as sshjump, link as sshlink
from tarvix.files import programs
from tarvix.simulator import server

import sshdbed

pytestmark = [
    pytest.mark.skipif(sshdbed.missing() is not None or shutil.which("ssh") is None,
                       reason="needs OpenSSH's sshd and ssh (apt-get install openssh-server)"),
    pytest.mark.skipif(not sshlink.AVAILABLE, reason=sshlink.UNAVAILABLE or ""),
    pytest.mark.skipif(not server.available(), reason="needs asyncssh (tarvix[serve])"),
]

PASSWORD = "sshd-Sim-pw-7"
CREDENTIALS = {"default": {"username": "admin", "password": PASSWORD}}
SERVERS = {"b1": [], "b2": [], "old": ["KexAlgorithms diffie-hellman-group14-sha1", "HostKeyAlgorithms ssh-rsa"],
           # Offers password authentication (and takes no password).
           "pw": ["Match All", "  PasswordAuthentication yes"]}
TEXT = "".join("line %d: \t\"quoted\" $HOME `ticks` \\ end\n" % n for n in range(300))


def _keygen(path, kind):
    sshdbed.keygen(path, kind)


@pytest.fixture(scope="module")
def lab(tmp_path_factory):
    """The servers and this module's ssh configuration (``lab["config"]``)."""
    folder = tmp_path_factory.mktemp("sshd")
    authorized = sshdbed.client_key(folder)[1]
    servers = [sshdbed.Sshd(extra, key_type="rsa" if name == "old" else "ed25519", folder=folder, name=name,
                            authorized_keys=authorized) for name, extra in SERVERS.items()]
    with sshdbed.running(servers):
        ports = {bed.name: bed.port for bed in servers}
        with server.serving([{"hostname": name, "password": PASSWORD} for name in ("sim", "sim2")]) as routers:
            ports["sim"], ports["sim2"] = routers.ports["sim"][0], routers.ports["sim2"][0]
            yield _write_config(folder, ports)


def _write_config(folder, ports):
    user = getpass.getuser()
    known = folder / "known_hosts"
    lines = []
    for alias, port, more in (("b1", ports["b1"], ["BatchMode yes"]), ("b2", ports["b2"], ["BatchMode yes"]),
                              ("sim", ports["sim"], ["User admin", "ProxyJump b1,b2"]),
                              ("shell", ports["b1"], ["ProxyJump b1,b2"]),
                              ("shell-b1", ports["b2"], ["ProxyJump b1"]),
                              ("sim-by-program", ports["sim"],
                               ["User admin", "ProxyCommand ssh -F %s -W %%h:%%p b1" % (folder / "ssh_config")]),
                              ("b2-after-b1", ports["b2"], ["BatchMode yes", "ProxyJump b1"]),
                              ("chained", ports["sim"], ["User admin", "ProxyJump b2-after-b1"]),
                              ("loop-a", ports["b1"], ["ProxyJump loop-b"]),
                              ("loop-b", ports["b2"], ["ProxyJump loop-a"]),
                              ("looped", ports["sim"], ["ProxyJump loop-a"]),
                              ("b2-by-program", ports["b2"],
                               ["ProxyCommand touch %s; exec ssh -F %s -W %%h:%%p b1"
                                % (folder / "program-ran", folder / "ssh_config")]),
                              ("after-program", ports["sim"], ["User admin", "ProxyJump b2-by-program"]),
                              ("old", ports["old"], []),
                              ("old-allowed", ports["old"], ["KexAlgorithms +diffie-hellman-group14-sha1",
                                                             "HostKeyAlgorithms +ssh-rsa"])):
        lines += ["Host %s" % alias, "  HostName 127.0.0.1", "  Port %d" % port] + ["  " + m for m in more]
    lines += ["Host *", "  User %s" % user, "  IdentityFile %s" % (folder / "id_client"), "  IdentitiesOnly yes",
              "  UserKnownHostsFile %s" % known, "  StrictHostKeyChecking accept-new"]
    config = folder / "ssh_config"
    config.write_text("\n".join(lines) + "\n")
    (folder / "text").write_text(TEXT)
    return {"config": str(config), "folder": folder, "known": known, "ports": ports}


def _connect(lab, start, **ssh):
    ssh.setdefault("config", lab["config"])
    con = Connection(hostname="sim", start=start, credentials=CREDENTIALS, connection_timeout=15,
                     learn_hostname=True, ssh=ssh)
    con.connect()
    return con


def _shell_output(link, command):
    """What ``command`` prints in a shell on the link, between markers."""
    link.sendline("stty -echo; printf '%%s\\n' BE''GIN; %s; printf '%%s\\n' EN''D" % command)
    link.expect(r"BEGIN\r?\n", timeout=15)
    return link.expect(r"(?m)^END\r?\n", timeout=15).match_output.replace("\r\n", "\n")


def test_two_jump_hosts_to_the_simulator_and_a_shell(lab):
    """One session per jump host however many links go through it, closed
    with the last; the device's and the shell's output as over the system
    ssh through the same hops."""
    first = _connect(lab, "ssh://sim")
    second = _connect(lab, "ssh://sim")
    try:
        assert sshjump.open_jumps() == sorted("%s@127.0.0.1:%d" % (getpass.getuser(), lab["ports"][hop])
                                              for hop in ("b1", "b2"))
        assert len([t for t in threading.enumerate() if t.name.startswith("tarvix-jump")]) == 2
        ours = first.execute("show running-config")
        assert second.execute("show running-config") == ours and "hostname sim" in ours
    finally:
        first.disconnect()
    assert len(sshjump.open_jumps()) == 2
    second.disconnect()
    assert sshjump.open_jumps() == []
    system = Connection(hostname="sim", start="ssh -F %s sim" % lab["config"], credentials=CREDENTIALS,
                        connection_timeout=15, learn_hostname=True)
    system.connect()
    try:
        assert system.execute("show running-config") == ours
    finally:
        system.disconnect()
    link = sshlink.SshSpawn("ssh://shell", "shell", timeout=15, ssh={"config": lab["config"]})
    try:
        assert _shell_output(link, "cat %s" % (lab["folder"] / "text")) == TEXT
    finally:
        link.close()
    direct = subprocess.run(["ssh", "-F", lab["config"], "shell", "cat", str(lab["folder"] / "text")],
                            stdout=subprocess.PIPE, timeout=30, check=True).stdout.decode()
    assert direct == TEXT


def test_links_opened_at_once_through_a_jump_host_reach_their_own_devices(lab):
    """Channels asked for together are opened one after the other, each to
    the device it was asked for."""
    cons, errors = {}, []

    def connect(number):
        name = ("sim", "sim2")[number % 2]
        try:
            cons[number] = (name, _connect(lab, "ssh://admin@127.0.0.1:%d" % lab["ports"][name], jump="b1,b2"))
        except Exception as error:  # told below
            errors.append(error)

    threads = [threading.Thread(target=connect, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    try:
        assert not errors and sorted((n, con.learned_hostname) for n, (_, con) in cons.items()) == \
            sorted((n, name) for n, (name, _) in cons.items()) and len(cons) == 8
    finally:
        for _, con in cons.values():
            con.disconnect()


def test_a_large_put_goes_through_the_sftp_program_by_the_links_jump_hosts(lab, tmp_path, monkeypatch):
    """The sftp program's session takes the link's route: the configuration,
    its two jump hosts (their keys) and the device's password, answered."""
    if shutil.which("sftp") is None:
        pytest.skip("needs the sftp program")
    carried = []
    put = programs.SftpProgram.put
    monkeypatch.setattr(programs, "PROGRAM_SIZE", 0)
    monkeypatch.setattr(programs.SftpProgram, "put", lambda *args: carried.append(args[2]) or put(*args))
    image = tmp_path / "image.bin"
    image.write_bytes(os.urandom(300000))
    con = _connect(lab, "ssh://sim")
    try:
        sent = con.put_file(str(image), "flash:image.bin")
        assert (sent.protocol, sent.verified, carried) == ("sftp", True, ["/.image.bin.part"])
        assert "image.bin" in con.execute("dir") and ".part" not in con.execute("dir")
    finally:
        con.disconnect()


@pytest.mark.parametrize("alias", ["shell-b1", "shell"])
def test_a_link_read_late_and_one_spoken_to_late_both_get_theirs(lab, alias):
    """Through the same jump session(s): a link whose output waits more
    than a channel holds for it before the link reads gets all of it, and
    a link whose shell speaks after a silence, meanwhile, hears it."""
    size = 3 * sshjump.BUFFERED
    big, quiet = (sshlink.SshSpawn("ssh://" + alias, alias, timeout=15, ssh={"config": lab["config"]})
                  for _ in range(2))
    try:
        assert _shell_output(quiet, "echo ready") == _shell_output(big, "echo ready") == "ready\n"
        quiet.sendline("sleep 1; printf '%s\\n' LA''TE")
        big.sendline("head -c %d /dev/zero | tr '\\0' x; printf '\\n%%s\\n' EN''D" % size)
        time.sleep(2.5)
        quiet.expect(r"LATE\r?\n", timeout=10)
        assert big.expect(r"END\r?\n", timeout=30).match_output.count("x") == size
    finally:
        big.close()
        quiet.close()


@pytest.mark.parametrize("alias, hops", [("chained", ("b1", "b2")), ("after-program", ("b2",))])
def test_a_jump_hosts_own_proxy_jump_is_followed(lab, alias, hops):
    """As by the system ssh: the device's ProxyJump is b2, b2's is b1 (or
    b2's ProxyCommand a program); a loop of ProxyJump ends at once, naming
    the hosts."""
    con = _connect(lab, "ssh://%s" % alias)
    try:
        assert sshjump.open_jumps() == sorted("%s@127.0.0.1:%d" % (getpass.getuser(), lab["ports"][hop])
                                              for hop in hops)
        assert "hostname sim" in con.execute("show running-config")
    finally:
        con.disconnect()
    assert (lab["folder"] / "program-ran").exists() == (alias == "after-program")
    began = time.monotonic()
    with pytest.raises(LinkClosedError) as caught:
        _connect(lab, "ssh://looped")
    assert time.monotonic() - began < 5
    assert str(caught.value).splitlines()[0] == \
        "sim: ssh configuration: the jump hosts' ProxyJump go round in a loop: loop-a -> loop-b -> loop-a -> looped"


def test_a_proxy_command_carries_the_link(lab):
    con = _connect(lab, "ssh://sim-by-program")
    try:
        assert "hostname sim" in con.execute("show running-config")
    finally:
        con.disconnect()


@pytest.mark.parametrize("alias, ssh, refused", [
    ("old", {}, "no matching key exchange method: the server offers diffie-hellman-group14-sha1; this link "
                "allows curve25519-sha256"),
    ("old", {"kex": "+diffie-hellman-group14-sha1"}, "no matching host key type: the server offers ssh-rsa;"),
    ("old", {"kex": "+diffie-hellman-group14-sha1", "hostkeys": ["ssh-rsa"]}, None),
    ("old-allowed", {}, None),
])
def test_an_old_server_is_reached_only_when_allowed(lab, alias, ssh, refused):
    ssh["config"] = lab["config"]
    if refused:
        with pytest.raises(LinkClosedError) as caught:
            sshlink.SshSpawn("ssh://%s" % alias, alias, timeout=10, ssh=ssh)
        first = str(caught.value).splitlines()[0]
        assert first.startswith("%s: %s (127.0.0.1:%d): %s" % (alias, alias, lab["ports"]["old"], refused)), first
    else:
        link = sshlink.SshSpawn("ssh://%s" % alias, alias, timeout=10, ssh=ssh)
        try:
            assert _shell_output(link, "echo reached") == "reached\n"
        finally:
            link.close()


def test_each_hop_is_checked_and_named(lab, tmp_path):
    """A changed host key at the second hop, a jump host's own key refused."""
    for hop in ("b1", "b2"):
        subprocess.run(["ssh", "-F", lab["config"], hop, "true"], check=True, timeout=30)
    known = lab["known"].read_text().splitlines()
    b2 = "[127.0.0.1]:%d " % lab["ports"]["b2"]
    other = lambda key: key[:-8] + ("AAAAAAAA" if key[-8:] != "AAAAAAAA" else "BBBBBBBB")  # noqa: E731
    changed = [other(line) if line.startswith(b2) else line for line in known]
    assert changed != known
    (tmp_path / "known").write_text("\n".join(changed) + "\n")
    with pytest.raises(LinkClosedError, match=r"^sim: b2 \(127\.0\.0\.1:%d\): REMOTE HOST IDENTIFICATION HAS CHANGED"
                                              % lab["ports"]["b2"]):
        _connect(lab, "ssh://sim", known_hosts=str(tmp_path / "known"), host_key_checking="yes")
    with pytest.raises(LinkClosedError, match=r"^sim: old \(127\.0\.0\.1:\d+\): no matching key exchange method: "
                                              r"the server offers diffie-hellman-group14-sha1; this link allows"):
        _connect(lab, "ssh://sim", jump="old")
    _keygen(tmp_path / "stranger", "ed25519")
    with pytest.raises(LoginError, match=r"^sim: b1 \(127\.0\.0\.1:\d+\): Authentication failed for user '\w+' "
                                         r"\(publickey"):
        _connect(lab, "ssh://sim", jump=[{"host": "b1", "key_file": str(tmp_path / "stranger")}, "b2"])
    assert sshjump.open_jumps() == [] and not [t for t in threading.enumerate() if t.name.startswith("tarvix-jump")]


def test_tarvix_run_through_the_hops_says_which(lab, tmp_path):
    """An inventory naming its host by an alias of the ssh configuration:
    the -v log tells the configuration and the hops used."""
    (tmp_path / "hosts.yaml").write_text(
        "sim:\n  hostname: sim\n  username: admin\n  password: %s\n  connection_options:\n    tarvix:\n"
        "      extras:\n        ssh:\n          config: %s\n" % (PASSWORD, lab["config"]))
    done = subprocess.run([sys.executable, "-m", "tarvix", "run", "--inventory", str(tmp_path), "--execute",
                           "show running-config", "--output", str(tmp_path / "out"), "-v"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    log = done.stderr.decode()
    assert done.returncode == 0, log[-2000:]
    assert "hostname sim" in (tmp_path / "out" / "sim.txt").read_text()
    hops = ", ".join("%s (%s@127.0.0.1:%d)" % (hop, getpass.getuser(), lab["ports"][hop]) for hop in ("b1", "b2"))
    assert "sim: ssh configuration %s; sim is admin@127.0.0.1:%d; through %s" % (lab["config"], lab["ports"]["sim"],
                                                                                 hops) in log


@pytest.mark.parametrize("setting", [None, "PasswordAuthentication no", "KbdInteractiveAuthentication no"])
def test_no_password_is_sent_where_the_configuration_says_so(lab, tmp_path, monkeypatch, caplog, setting):
    """A server that offers password authentication, a key it refuses: the
    password is tried, by the device's link, by a jump host's and through
    the system ssh, unless the configuration allows none (either way of
    sending one)."""
    config = tmp_path / "config"
    config.write_text(("Host *\n  %s\n" % setting if setting else "")
                      + "Host *\n  IdentitiesOnly yes\n  UserKnownHostsFile %s\n" % lab["known"])
    _keygen(tmp_path / "stranger", "ed25519")
    pw, user = "127.0.0.1:%d" % lab["ports"]["pw"], getpass.getuser()
    ssh = {"config": str(config), "key_file": str(tmp_path / "stranger")}
    tried = "(publickey; the server offers password, publickey; no password sent: %s)" % setting if setting \
        else "(publickey, password; the server offers password, publickey)"
    with pytest.raises(LoginError) as device:
        sshlink.SshSpawn("ssh://" + pw, "pw", timeout=10, passwords=["Wrong-pw-7"], ssh=ssh)
    with pytest.raises(LoginError) as hop:
        sshlink.SshSpawn("ssh://admin@127.0.0.1:%d" % lab["ports"]["sim"], "sim", timeout=10, passwords=[PASSWORD],
                         ssh=dict(ssh, jump=[dict(host=pw, key_file=ssh["key_file"], password="Wrong-pw-8")]))
    assert str(device.value).splitlines()[0] == "pw: Authentication failed for user %r %s" % (user, tried)
    assert str(hop.value).splitlines()[0] == "sim: 127.0.0.1 port %d: Authentication failed for user %r %s" \
        % (lab["ports"]["pw"], user, tried)
    monkeypatch.setattr(sshlink, "AVAILABLE", False)
    caplog.set_level(logging.DEBUG, "tarvix")
    con = Connection(hostname="pw", start="ssh://" + pw, connection_timeout=10, ssh=ssh,
                     credentials={"default": {"username": user, "password": "Wrong-pw-9"}})
    with pytest.raises((LoginError, LinkClosedError)):
        con.connect()
    assert any("sending a hidden line" in r.getMessage() for r in caplog.records) == (setting is None)


def test_identity_file_tokens_and_the_options_program(lab, tmp_path):
    """The only key that logs in is named by IdentityFile's tokens; the
    options' ProxyCommand is taken in place of the file's ProxyJump."""
    user, port = getpass.getuser(), lab["ports"]["b1"]
    shutil.copy(str(lab["folder"] / "id_client"), str(tmp_path / ("id-%s-127.0.0.1-%d" % (user, port))))
    config = tmp_path / "config"
    config.write_text("Host tok\n  HostName 127.0.0.1\n  Port %d\n  IdentityFile %s/id-%%r-%%h-%%p\n"
                      "  IdentitiesOnly yes\n  UserKnownHostsFile %s\n" % (port, tmp_path, lab["known"]))
    link = sshlink.SshSpawn("ssh://tok", "tok", timeout=15, ssh={"config": str(config), "agent": False})
    try:
        assert _shell_output(link, "echo reached") == "reached\n"
    finally:
        link.close()
    con = _connect(lab, "ssh://sim", proxy_command="ssh -F %s -W %%h:%%p b1" % lab["config"])
    try:
        assert sshjump.open_jumps() == [] and "hostname sim" in con.execute("show running-config")
    finally:
        con.disconnect()
