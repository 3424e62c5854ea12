"""A real OpenSSH server for the tests of shells: an ``sshd`` of the bed's
own (its own configuration and host key) on a port of 127.0.0.1, and a user
made for the bed with a login shell of the test's choice (bash or sh) and a
password.  Needs root and Debian's ``openssh-server``; ``missing()`` says
why the bed cannot run, for a skip."""
import os
import shutil
import socket
import subprocess
import tempfile
import time
import uuid

SSHD = "/usr/sbin/sshd"
PASSWORD = "shell-Bed-Secret-29"
START_TIMEOUT = 20


def missing():
    """Why the bed cannot run here, or None."""
    if os.geteuid() != 0:
        return "the shell bed needs root (it makes a user)"
    if not os.access(SSHD, os.X_OK) or not shutil.which("useradd"):
        return "OpenSSH's server is not installed (apt-get install openssh-server)"
    return None


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ShellBed(object):
    """An sshd and a user on ``port``; ``url`` is its ssh:// start."""

    def __init__(self, shell="/bin/bash"):
        self.shell = shell
        self.user = "tvx" + uuid.uuid4().hex[:10]
        self.home = tempfile.mkdtemp(prefix="tarvix-shell-")
        self.port = None
        self.process = None
        self.made_user = False

    @property
    def url(self):
        return "ssh://%s@127.0.0.1:%d" % (self.user, self.port)

    @property
    def credentials(self):
        return {"default": {"username": self.user, "password": PASSWORD}}

    def start(self):
        try:
            return self._start()
        except BaseException:
            self.stop()
            raise

    def _start(self):
        os.chmod(self.home, 0o755)
        subprocess.run(["useradd", "-M", "-d", self.home, "-s", self.shell, self.user], check=True)
        self.made_user = True
        subprocess.run(["chpasswd"], input="%s:%s\n" % (self.user, PASSWORD), universal_newlines=True, check=True)
        shutil.chown(self.home, self.user)
        key = os.path.join(self.home, "host_key")
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key], check=True)
        self.port = _free_port()
        config = os.path.join(self.home, "sshd_config")
        with open(config, "w") as out:
            out.write("Port %d\nListenAddress 127.0.0.1\nHostKey %s\nPidFile none\nUsePAM no\n"
                      "PasswordAuthentication yes\nKbdInteractiveAuthentication no\nStrictModes no\n"
                      "AllowUsers %s\nAuthorizedKeysFile none\nLogLevel ERROR\n" % (self.port, key, self.user))
        os.makedirs("/run/sshd", exist_ok=True)
        self.process = subprocess.Popen([SSHD, "-D", "-e", "-f", config], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        start_new_session=True)
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                if time.monotonic() > deadline or self.process.poll() is not None:
                    raise RuntimeError("sshd did not listen on port %d" % self.port)
                time.sleep(0.05)

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self.process = None
        if self.made_user:
            # The sessions' shells of the user end with the server's children.
            subprocess.run(["pkill", "-KILL", "-u", self.user], stderr=subprocess.DEVNULL)
            subprocess.run(["userdel", self.user], stderr=subprocess.DEVNULL)
            self.made_user = False
        shutil.rmtree(self.home, ignore_errors=True)
