"""Host keys on real OpenSSH servers, checked as the system ssh checks them:
every known hosts file the configuration names (the user's and the
system's), HostKeyAlias, StrictHostKeyChecking and HashKnownHosts from the
file, UserKnownHostsFile none, a jump host under its own policy.  Each case
is run through the system ssh (BatchMode) and through the in-process link on
the same files, and both verdicts are the one expected."""
import getpass
import re
import shutil
import subprocess

import pytest

from tarvix.core.errors import LinkClosedError
from tarvix.eal.ssh import link as sshlink

import sshdbed

pytestmark = [
    pytest.mark.skipif(sshdbed.missing() is not None or shutil.which("ssh") is None,
                       reason="needs OpenSSH's sshd and ssh (apt-get install openssh-server)"),
    pytest.mark.skipif(not sshlink.AVAILABLE, reason=sshlink.UNAVAILABLE or ""),
]

CHANGED = r"REMOTE HOST IDENTIFICATION HAS CHANGED: .*offending ssh-ed25519 key in %s:%d"


@pytest.fixture(scope="module")
def servers(tmp_path_factory):
    """The device and the jump host: two sshd with host keys of their own."""
    folder = tmp_path_factory.mktemp("hostkeys")
    key, authorized = sshdbed.client_key(folder)
    with sshdbed.running([sshdbed.Sshd(folder=folder, name=name, authorized_keys=authorized)
                          for name in ("dev", "hop")]) as (dev, hop):
        yield {"dev": dev, "hop": hop, "key": key}


# (device's lines of the configuration, known hosts files by name: {dev}, {hop}
# stand for the servers' [127.0.0.1]:port, {DEV}, {HOP} for their keys; the
# link's options, the system ssh's arguments; None when both connect, else
# the link's refusal.)
CASES = {
    "a changed key in the second user file": (
        ["UserKnownHostsFile {t}/k1 {t}/k2"], {"k1": "# nothing\n", "k2": "{dev} {HOP}\n"}, {}, [],
        CHANGED % (r"\S+/k2", 1)),
    "a changed key in a system file": (
        ["GlobalKnownHostsFile {t}/global"], {"global": "# one\n{dev} {HOP}\n"}, {}, [],
        CHANGED % (r"\S+/global", 2)),
    "a key under its alias": (["HostKeyAlias dev-key", "StrictHostKeyChecking yes"], {"known": "dev-key {DEV}\n"},
                              {}, [], None),
    "a changed key under its alias": (
        ["HostKeyAlias dev-key"], {"known": "{dev} {DEV}\ndev-key {HOP}\n"}, {}, [], CHANGED % (r"\S+/known", 2)),
    "StrictHostKeyChecking yes from the file": (
        ["StrictHostKeyChecking yes"], {}, {}, [], r"No ssh-ed25519 host key is known for \[127\.0\.0\.1\]:\d+ in "),
    "StrictHostKeyChecking no from the file": (["StrictHostKeyChecking no"], {"known": "{dev} {HOP}\n"}, {}, [], None),
    "UserKnownHostsFile none is no file": (
        ["UserKnownHostsFile none", "GlobalKnownHostsFile {t}/global", "StrictHostKeyChecking yes"],
        {"none": "{dev} {HOP}\n", "global": "{dev} {DEV}\n"}, {}, [], None),
    "UserKnownHostsFile none records nothing": (
        ["UserKnownHostsFile none"], {}, {}, [], r"No ssh-ed25519 host key is known .*UserKnownHostsFile none"),
    "a revoked key": (["GlobalKnownHostsFile {t}/global"], {"global": "@revoked {dev} {DEV}\n"}, {}, [],
                      r"Host key for \[127\.0\.0\.1\]:\d+ is marked as revoked in \S+/global:1$"),
    "a key known without its port": (["StrictHostKeyChecking yes"], {"known": "127.0.0.1 {DEV}\n"}, {}, [], None),
    "a jump host keeps its own policy": (
        ["ProxyJump hop"], {"known": "{hop} {DEV}\n"}, {"host_key_checking": False},
        ["-o", "StrictHostKeyChecking=no"], r"^dev: hop \(127\.0\.0\.1:\d+\): " + CHANGED % (r"\S+/known", 1)),
}


def _write(tmp_path, servers, lines, files):
    fill = {"t": tmp_path}
    for name in ("dev", "hop"):
        fill[name] = "[127.0.0.1]:%d" % servers[name].port
        fill[name.upper()] = servers[name].public_key()
    for name, text in files.items():
        (tmp_path / name).write_text(text.format(**fill))
    config = tmp_path / "ssh_config"
    config.write_text("\n".join(
        ["Host dev", "  HostName 127.0.0.1", "  Port %d" % servers["dev"].port] +
        ["  " + line.format(**fill) for line in lines] +
        ["Host hop", "  HostName 127.0.0.1", "  Port %d" % servers["hop"].port,
         "Host *", "  User %s" % getpass.getuser(), "  IdentityFile %s" % servers["key"], "  IdentitiesOnly yes",
         "  BatchMode yes", "  UserKnownHostsFile %s" % (tmp_path / "known"), "  StrictHostKeyChecking accept-new"])
        + "\n")
    return str(config)


def _verdicts(config, options, argv, folder):
    """(the system ssh connected, the link's refusal or None)."""
    system = subprocess.run(["ssh", "-F", config] + argv + ["dev", "true"], cwd=str(folder), timeout=30,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        sshlink.SshSpawn("ssh://dev", "dev", timeout=15, ssh=dict(options, config=config)).close()
        refused = None
    except LinkClosedError as error:
        refused = str(error).splitlines()[0]
    return system.returncode == 0, refused


@pytest.mark.parametrize("case", sorted(CASES))
def test_host_keys_are_checked_as_the_system_ssh_checks_them(servers, tmp_path, monkeypatch, case):
    lines, files, options, argv, refusal = CASES[case]
    config = _write(tmp_path, servers, lines, files)
    monkeypatch.chdir(tmp_path)
    written = sorted((path.name, path.read_text()) for path in tmp_path.iterdir())
    system, refused = _verdicts(config, options, argv, tmp_path)
    assert (system, refused is None) == (refusal is None, refusal is None), (system, refused)
    if refusal is None:
        # Known already (or not checked): nothing recorded.
        assert sorted((path.name, path.read_text()) for path in tmp_path.iterdir()) == written
        return
    assert re.search(refusal, refused), refused
    removal = re.search(r"remove with: (ssh-keygen .*)\)$", refused)
    if removal:
        # The line named is the one to remove: then both take the key as new.
        subprocess.run(removal.group(1), shell=True, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert _verdicts(config, options, argv, tmp_path) == (True, None)


def test_hashed_entries_are_recorded_when_the_file_says_so(servers, tmp_path):
    config = _write(tmp_path, servers, ["HashKnownHosts yes"], {})
    sshlink.SshSpawn("ssh://dev", "dev", timeout=15, ssh={"config": config}).close()
    recorded = (tmp_path / "known").read_text()
    assert recorded.startswith("|1|") and recorded.count("\n") == 1 and "127.0.0.1" not in recorded
    assert _verdicts(config, {"host_key_checking": "yes"}, ["-o", "StrictHostKeyChecking=yes"], tmp_path) == \
        (True, None)
    assert (tmp_path / "known").read_text() == recorded
