"""Real FRRouting for the tests: zebra, bgpd and staticd under a pathspace of
their own (``-N``), so that two runs side by side never meet, each in a
network namespace of its own (``unshare -n``), so that no route they learn
reaches this machine's tables.  They are reached as the program ``vtysh -N``,
and over SSH as a user made for the bed whose login shell is that vtysh,
served by an ``sshd`` of the bed's own on a port of 127.0.0.1.

Debian's ``frr`` (and ``openssh-server`` for the SSH side) must be
installed, and the tests run as root; ``scripts/test`` installs both.
Without them the tests that need the bed are skipped, with the reason.
"""
import contextlib
import os
import shutil
import socket
import subprocess
import tempfile
import time
import uuid

import sshdbed

FRR_BIN = "/usr/lib/frr"
DAEMONS = ("zebra", "bgpd", "staticd")
PASSWORD = sshdbed.PASSWORD
START_TIMEOUT = 20


def missing():
    """Why the bed cannot run here, or None."""
    if os.geteuid() != 0:
        return "the FRR bed needs root (its daemons switch to the frr user)"
    for path in [os.path.join(FRR_BIN, name) for name in DAEMONS] + ["/usr/bin/vtysh"]:
        if not os.access(path, os.X_OK):
            return "FRRouting is not installed (%s; apt-get install frr)" % path
    if not shutil.which("unshare"):
        return "unshare is not installed"
    return sshdbed.missing(user=True)


class FrrBed(object):
    """One FRR router: its daemons, its vtysh command and, once ``serve_ssh``
    ran, an sshd and a user on ``ssh_port``.  With ``saves`` each daemon
    has a file of its own to write; otherwise /dev/null, which a save
    cannot write.  With ``netns`` (a network namespace the test made) the
    daemons share it, and bgpd listens on its BGP port there."""

    def __init__(self, saves=False, netns=None):
        self.saves = saves
        self.netns = netns
        self.name = "tvx" + uuid.uuid4().hex[:10]
        self.run_dir = os.path.join("/var/run/frr", self.name)
        self.conf_dir = os.path.join("/etc/frr", self.name)
        self.home = tempfile.mkdtemp(prefix="tarvix-frr-")
        self.processes = []
        self.sshd = None
        self.user = None
        self.ssh_port = None

    @property
    def vtysh(self):
        return "vtysh -N %s" % self.name

    def start(self):
        os.makedirs(self.run_dir)
        os.makedirs(self.conf_dir)
        shutil.chown(self.run_dir, "frr", "frr")
        # vtysh reads its own file of the pathspace; an empty one keeps it quiet.
        open(os.path.join(self.conf_dir, "vtysh.conf"), "w").close()
        if self.saves:
            shutil.chown(self.conf_dir, "frr", "frr")
        for daemon in DAEMONS:
            conf = os.path.join(self.conf_dir, daemon + ".conf") if self.saves else "/dev/null"
            if self.saves:
                open(conf, "w").close()
                shutil.chown(conf, "frr", "frr")
            self.processes.append(self._daemon(daemon))
        deadline = time.monotonic() + START_TIMEOUT
        # Every daemon's vty socket there (vtysh answers while one is still starting, leaving it out).
        while not all(os.path.exists(os.path.join(self.run_dir, daemon + ".vty")) for daemon in DAEMONS) \
                or self.vtysh_run("show version").returncode != 0:
            if time.monotonic() > deadline:
                raise RuntimeError("FRR did not answer vtysh within %d s" % START_TIMEOUT)
            time.sleep(0.2)
        return self

    def _daemon(self, daemon):
        conf = os.path.join(self.conf_dir, daemon + ".conf") if self.saves else "/dev/null"
        where = ["ip", "netns", "exec", self.netns] if self.netns else ["unshare", "-n"]
        argv = where + [os.path.join(FRR_BIN, daemon), "-N", self.name, "-f", conf, "-P", "0"]
        if daemon == "bgpd" and not self.netns:
            argv += ["-p", "0"]
        return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)

    def restart(self, daemon):
        """Stops one daemon and starts it again, answering vtysh again."""
        index = DAEMONS.index(daemon)
        self.processes[index].terminate()
        self.processes[index].wait(10)
        self.processes[index] = self._daemon(daemon)
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            # Back once its vty socket takes a connection.
            with socket.socket(socket.AF_UNIX) as vty:
                try:
                    vty.connect(os.path.join(self.run_dir, daemon + ".vty"))
                    return
                except OSError:
                    if time.monotonic() > deadline:
                        raise RuntimeError("FRR's %s did not come back within %d s" % (daemon, START_TIMEOUT))
            time.sleep(0.1)

    def vtysh_run(self, *commands):
        argv = ["vtysh", "-N", self.name]
        for command in commands:
            argv += ["-c", command]
        return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                              timeout=20)

    def running_config(self):
        return self.vtysh_run("show running-config").stdout

    def serve_ssh(self):
        """An sshd on a port of 127.0.0.1 whose user's login shell is this router's vtysh."""
        shell = os.path.join(self.home, "vtysh-shell")
        with open(shell, "w") as out:
            out.write("#!/bin/sh\nexec /usr/bin/vtysh -N %s\n" % self.name)
        os.chmod(shell, 0o755)
        self.sshd = sshdbed.Sshd(login_shell=shell, groups=["frrvty"], folder=self.home)
        self.sshd.start()
        self.user, self.ssh_port = self.sshd.user, self.sshd.port
        return self

    def stop(self):
        if self.sshd is not None:
            self.sshd.stop()
        for process in self.processes:
            process.terminate()
        for process in self.processes:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        # A daemon forks nothing with -d off, but its pids are killed by name too, should one linger.
        subprocess.run(["pkill", "-f", "-- -N %s " % self.name], stderr=subprocess.DEVNULL)
        for path in (self.run_dir, self.conf_dir, self.home):
            shutil.rmtree(path, ignore_errors=True)


@contextlib.contextmanager
def started(saves=False, ssh=False, netns=None):
    """A started FrrBed (with its sshd when ``ssh``; in the network
    namespace ``netns``), stopped afterwards; the test is skipped, with the
    reason, where the bed cannot run."""
    import pytest

    reason = missing()
    if reason:
        pytest.skip(reason)
    router = FrrBed(saves=saves, netns=netns)
    try:
        router.start()
        if ssh:
            router.serve_ssh()
        yield router
    finally:
        router.stop()
