"""What the in-process SSH link hands the programs it starts (a
ProxyCommand, ssh -G and its Match exec): names a shell would read are
refused, tarvix's passwords stay out of their environment, a password
written into a ProxyCommand is masked; a Match exec that leaves a program
running does not hold the link up."""
import logging
import os
import shutil
import signal
import socket
import time

import pytest

from tarvix.core.errors import LinkClosedError
from tarvix.eal.ssh import link as sshlink

pytestmark = [pytest.mark.skipif(shutil.which("ssh") is None or not sshlink.AVAILABLE,
                                 reason="needs the system ssh and ssh2-python")]
HOSTILE = "x;touch${IFS}PWNED;"


def _closed_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def _connect(start, ssh, username=None):
    with pytest.raises(LinkClosedError) as caught:
        sshlink.SshSpawn(start, "r1", timeout=5, ssh=ssh, username=username)
    return str(caught.value)


@pytest.mark.parametrize("start, username, told", [
    ("ssh://%s" % HOSTILE, None, "hostname %r contains invalid characters" % HOSTILE),
    ("ssh://r1", HOSTILE, "remote username %r contains invalid characters" % HOSTILE),
    ("ssh://-oProxyCommand=x", None, "hostname '-oProxyCommand=x' contains invalid characters"),
])
@pytest.mark.parametrize("read", ["option", "configuration"])
def test_a_name_the_shell_would_read_never_reaches_a_proxy_command(tmp_path, monkeypatch, start, username, told,
                                                                  read):
    """As the system ssh refuses them, in one line, whether the ProxyCommand
    is the option's (no ssh configuration read) or the file's."""
    monkeypatch.chdir(tmp_path)
    command = "echo %h %r >/dev/null; exit 1"
    ssh = {"config": False, "proxy_command": command}
    if read == "configuration":
        (tmp_path / "config").write_text("Host *\n  ProxyCommand %s\n" % command)
        ssh = {"config": str(tmp_path / "config")}
    words = _connect(start, ssh, username)
    assert os.listdir(str(tmp_path)) == (["config"] if read == "configuration" else [])
    if read == "configuration" and username is None:
        told = "hostname contains invalid characters"  # ssh -G's own words
    assert words.splitlines()[0] in ("r1: %s" % told, "r1: ssh configuration: %s" % told), words


@pytest.mark.parametrize("read", ["option", "configuration"])
def test_programs_get_no_password_and_show_none(tmp_path, monkeypatch, caplog, read):
    """ssh -G (its Match exec) and the ProxyCommand run without
    $TARVIX_PASSWORD; a password written into the ProxyCommand is masked in
    the -v log and wherever the process shows it later."""
    monkeypatch.setenv("TARVIX_PASSWORD", "env-Secret-31")
    monkeypatch.setenv("TARVIX_ENABLE_PASSWORD", "env-Secret-32")
    secret = "proxy-Secret-%s" % read
    command = "env > %s/proxy.env; exit 1; sshpass -p %s ssh -W %%h:%%p b1" % (tmp_path, secret)
    config = tmp_path / "config"
    config.write_text('Match exec "env > %s/match.env"\n  User u\n%s'
                      % (tmp_path, "Host *\n  ProxyCommand %s\n" % command if read == "configuration" else ""))
    ssh = {"config": str(config)}
    if read == "option":
        ssh["proxy_command"] = command
    caplog.set_level(logging.DEBUG, "tarvix")
    words = _connect("ssh://127.0.0.1:%d" % _closed_port(), ssh)
    for name in ("proxy.env", "match.env"):
        held = (tmp_path / name).read_text()
        assert "PATH=" in held and "env-Secret" not in held and "TARVIX_PASSWORD" not in held, name
    logging.getLogger("tarvix").warning("shown: %s", secret)
    shown = "\n".join(r.getMessage() for r in caplog.records) + words
    assert "sshpass -p **** ssh -W" in shown and "shown: ****" in shown and secret not in shown


def _sleepers(word):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as held:
                if held.read() == b"sleep\x00" + word.encode() + b"\x00":
                    found.append(int(pid))
        except OSError:
            pass
    return found


def test_a_program_left_running_by_match_exec_does_not_hold_the_link_up(tmp_path):
    """ssh -G has ended; the program it left behind (in a session of its
    own) still holds what ssh -G's standard error was."""
    port, word = _closed_port(), "7.%d" % os.getpid()
    (tmp_path / "config").write_text('Match exec "setsid sleep %s &"\n  HostName 127.0.0.1\n  Port %d\n'
                                     % (word, port))
    began = time.monotonic()
    try:
        words = _connect("ssh://r1", {"config": str(tmp_path / "config"), "connect_timeout": 2})
        assert time.monotonic() - began < 1.5
        assert words.startswith("r1: connect to host r1 (127.0.0.1:%d): Connection refused" % port), words
    finally:
        for pid in _sleepers(word):
            os.kill(pid, signal.SIGKILL)
