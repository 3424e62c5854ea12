"""One ssh -G for every host where the configuration tells no host from
another, and each host's answer still exactly what ssh -G gives it."""
import shutil

import pytest

from tarvix.eal.ssh import config as sshconfig

HOSTS = ["r1", "Core-SW2.Example.net", "10.0.0.7", "fe80::1"]


@pytest.fixture
def asked(monkeypatch):
    """The hosts ssh -G is run for."""
    seen = []
    ask = sshconfig._ask

    def counted(ssh, host, *args, **kwargs):
        seen.append(host)
        return ask(ssh, host, *args, **kwargs)

    monkeypatch.setattr(sshconfig, "_ask", counted)
    sshconfig.forget()
    yield seen
    sshconfig.forget()


@pytest.mark.skipif(shutil.which("ssh") is None, reason="needs the system ssh")
@pytest.mark.parametrize("text, runs", [
    ("", "one"),
    ("Host *\n  User ops\n  IdentityFile ~/.ssh/lab_key\n  ConnectTimeout 7\n  HashKnownHosts yes\n", "one"),
    ("Include {folder}/more.conf\nHost=*\n  Port 2200\n", "one"),
    ("Host *\n  User ops\nHost r1\n  Port 2222\n", "each"),
    ("Host *.example.net\n  User netops\n", "each"),
    ("Match exec true\n  User x\n", "each"),
    ("Host *\n  UserKnownHostsFile ~/.ssh/known_%h\n", "each"),
    # Found out from ssh -G's answer: one more run.
    ("CanonicalizeHostname yes\nCanonicalDomains example.net\n", "one, then each"),
    ("Include {folder}/more.conf\n", "one, then each"),
])
def test_each_host_gets_what_ssh_gives_it(tmp_path, asked, text, runs):
    shared = runs == "one"
    (tmp_path / "more.conf").write_text("Host *\n  ServerAliveInterval 9\n" if shared else "Host r1\n  User y\n")
    path = tmp_path / "config"
    path.write_text(text.format(folder=tmp_path))
    for user in (None, "admin"):
        got = dict((host, sshconfig.resolve(host, user, str(path))) for host in HOSTS)
        before = len(asked)
        for host in HOSTS:
            assert got[host] == sshconfig._ask(sshconfig.program(), host, user, str(path))[0], (host, user)
        del asked[before:]
    assert len(asked) == {"one": 2, "each": 2 * len(HOSTS), "one, then each": 2 + 2 * len(HOSTS)}[runs], asked
    if shared:
        # A file changed is read again: now it names a host apart.
        path.write_text("Host r1\n  User z\n" + text.format(folder=tmp_path))
        assert sshconfig.resolve("r1", None, str(path))["user"] == "z"


@pytest.mark.skipif(shutil.which("ssh") is None, reason="needs the system ssh")
def test_the_answers_kept_are_taken_without_a_run(tmp_path, asked):
    path = tmp_path / "config"
    path.write_text("Host r1\n  User y\n")
    with pytest.raises(sshconfig.NotKept), sshconfig.kept_only():
        sshconfig.resolve("r1", None, str(path))
    got = sshconfig.resolve("r1", None, str(path))
    with sshconfig.kept_only():
        assert sshconfig.resolve("r1", None, str(path)) == got
    assert got["user"] == "y" and asked == ["r1"], asked
