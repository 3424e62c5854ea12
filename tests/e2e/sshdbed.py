"""A real OpenSSH server for the tests: an ``sshd`` of the bed's own (its
own configuration and host key, in a folder of its own) on a free port of
127.0.0.1, started and stopped by the test; and, where the test asks for
one, a user made for it with the login shell it names and a password.

Without a user it takes the public keys of an authorized keys file (the
user running the tests logs in with them); with one, that user's password.
Needs Debian's ``openssh-server`` (and root for a user); ``missing()`` says
why the bed cannot run here, for a skip."""
import contextlib
import os
import shutil
import socket
import subprocess
import tempfile
import time
import uuid

SSHD = shutil.which("sshd") or "/usr/sbin/sshd"
PASSWORD = "sshd-Bed-Secret-29"
START_TIMEOUT = 20


class SshdError(RuntimeError):
    """The server did not start (the message holds its last words)."""


def missing(user=False):
    """Why the bed (with a user of its own when ``user``) cannot run here, or None."""
    if not os.access(SSHD, os.X_OK) or shutil.which("ssh-keygen") is None:
        return "OpenSSH's server is not installed (apt-get install openssh-server)"
    if user and (os.geteuid() != 0 or not shutil.which("useradd")):
        return "the sshd bed needs root to make a user"
    return None


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def keygen(path, kind="ed25519"):
    """A key pair without passphrase: ``path`` and ``path``.pub."""
    subprocess.run(["ssh-keygen", "-q", "-t", kind, "-N", "", "-f", str(path)], check=True)


def client_key(folder):
    """A key of the user running the tests (``folder``/id_client) and an
    authorized keys file that takes it: their paths."""
    key, authorized = os.path.join(str(folder), "id_client"), os.path.join(str(folder), "authorized_keys")
    keygen(key)
    shutil.copy(key + ".pub", authorized)
    return key, authorized


@contextlib.contextmanager
def running(beds):
    """The servers of ``beds`` started (the test skipped, saying why, where
    sshd does not start), and stopped afterwards."""
    import pytest

    try:
        for bed in beds:
            try:
                bed.start()
            except SshdError as error:
                pytest.skip("sshd does not start here: %s" % error)
        yield beds
    finally:
        for bed in beds:
            bed.stop()


class Sshd(object):
    """One sshd on ``port`` with its host key (``key_type``) in ``folder``
    (made and removed by the bed when not given).  ``settings`` are lines of
    sshd_config before the bed's own, so they win (sshd takes a keyword's
    first value).  With ``login_shell`` a user is made (in ``groups``),
    whose home is the folder and whose password is PASSWORD; otherwise the
    keys of ``authorized_keys`` log in."""

    def __init__(self, settings=(), key_type="ed25519", login_shell=None, groups=(), folder=None,
                 authorized_keys=None, name="sshd"):
        self.settings = list(settings)
        self.key_type = key_type
        self.login_shell = login_shell
        self.groups = list(groups)
        self.authorized_keys = authorized_keys
        self.name = name
        self.owns_folder = folder is None
        self.folder = str(folder) if folder is not None else tempfile.mkdtemp(prefix="tarvix-sshd-")
        self.host_key = os.path.join(self.folder, "host_%s" % name)
        self.user = "tvx" + uuid.uuid4().hex[:10] if login_shell else None
        self.port = None
        self.process = None
        self.made_user = False

    @property
    def url(self):
        return "ssh://%s127.0.0.1:%d" % ("%s@" % self.user if self.user else "", self.port)

    @property
    def credentials(self):
        return {"default": {"username": self.user, "password": PASSWORD}}

    def public_key(self):
        """The host key as a known hosts file holds it: "type base64"."""
        with open(self.host_key + ".pub") as handle:
            return " ".join(handle.read().split()[:2])

    def known_line(self, host="127.0.0.1"):
        """The server's line of a known hosts file."""
        return "[%s]:%d %s" % (host, self.port, self.public_key())

    def start(self):
        try:
            return self._start()
        except BaseException:
            self.stop()
            raise

    def __enter__(self):
        return self.start()

    def __exit__(self, *_):
        self.stop()

    def _config(self):
        if self.user:
            auth = ["PasswordAuthentication yes", "AllowUsers %s" % self.user, "AuthorizedKeysFile none"]
        else:
            auth = ["PasswordAuthentication no", "PermitRootLogin prohibit-password",
                    "AuthorizedKeysFile %s" % (self.authorized_keys or "none")]
        return "\n".join(self.settings + [
            "Port %d" % self.port, "ListenAddress 127.0.0.1", "HostKey %s" % self.host_key, "PidFile none",
            "UsePAM no", "StrictModes no", "KbdInteractiveAuthentication no", "AllowTcpForwarding yes",
            "LogLevel ERROR"] + auth) + "\n"

    def _start(self):
        if self.login_shell:
            self._make_user()
        if not os.path.exists(self.host_key):
            keygen(self.host_key, self.key_type)
        self.port = free_port()
        config = os.path.join(self.folder, "sshd_config_%s" % self.name)
        with open(config, "w") as out:
            out.write(self._config())
        if os.geteuid() == 0:
            os.makedirs("/run/sshd", exist_ok=True)
        errors = os.path.join(self.folder, "sshd_errors_%s" % self.name)
        with open(errors, "wb") as said:
            self.process = subprocess.Popen([SSHD, "-D", "-e", "-f", config], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=said, start_new_session=True)
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                if time.monotonic() > deadline or self.process.poll() is not None:
                    with open(errors, "rb") as said:
                        words = said.read().decode("utf-8", "replace").strip()[-300:]
                    raise SshdError("sshd did not listen on port %d: %s" % (self.port, words or "no word"))
                time.sleep(0.05)

    def _make_user(self):
        os.chmod(self.folder, 0o755)
        argv = ["useradd", "-M", "-d", self.folder, "-s", self.login_shell]
        if self.groups:
            argv += ["-G", ",".join(self.groups)]
        subprocess.run(argv + [self.user], check=True)
        self.made_user = True
        subprocess.run(["chpasswd"], input="%s:%s\n" % (self.user, PASSWORD), universal_newlines=True, check=True)
        shutil.chown(self.folder, self.user)

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
        if self.owns_folder:
            shutil.rmtree(self.folder, ignore_errors=True)
