"""A large file put through the system's OpenSSH ``sftp`` program: its own
session to the device, made from the same route as the link (host, port,
user, key files, the user's ssh configuration or none, jump hosts, the
host key policy and known hosts files; tarvix.eal.ssh.link.system_argv),
the cheapest ciphers first.  libssh2 costs about twice OpenSSH's processor
a byte, so a put of PROGRAM_SIZE bytes or more goes this way where it can.

The program runs on a pseudo-terminal of its own, where its ssh asks for
the passwords and this module answers them (the device's for the device,
a jump host's own for that host, nothing for a host it has none for): no
password is ever on a command line or in an environment.  Its commands
are in a batch file of its own (``put`` to the partial name, names quoted
for sftp's parser, never read by a shell); the bytes it has read of the
local file (/proc/PID/fdinfo) are the copy's progress, at most its
requests in flight (2 MB) ahead of the device, and the stall limit counts
from the last byte read.  An abort, an interrupt or a stall ends the
program and its ssh; the caller removes the partial file.

Not used (libssh2 carries the file): below PROGRAM_SIZE, for SCP, without
``sftp`` or /proc, for a platform without delete and rename commands, for
a copy neither verified nor allowed to overwrite (whether a file is there
is asked over SFTP), and for jump hosts with key files of their own."""
import logging
import os
import re
import shutil
import signal
import sys
import tempfile
import time

import pexpect

from tarvix.bases.starts import ssh_login
from tarvix.core.errors import FileTransferError
from tarvix.eal.secrets import child_env, mask_command
from tarvix.eal.ssh import config as sshconfig, link as sshlink, route as sshroute
from tarvix.eal.ssh.options import hop_specs
from tarvix.files.sessions import address
from tarvix.files.transport import Watch

# The size from which a put goes through the sftp program.
PROGRAM_SIZE = 32 << 20
# Seconds a partial file's removal may stall.
REMOVE_WAIT = 10
# OpenSSH's default ciphers, those that cost it the least a byte first.
CIPHERS = ("aes128-gcm@openssh.com,aes256-gcm@openssh.com,chacha20-poly1305@openssh.com,"
           "aes128-ctr,aes192-ctr,aes256-ctr")
# Seconds between looks at the program (its output, its progress, an abort).
TICK = 0.25
# What the program's ssh asks: a password (keyboard-interactive's names
# the login in brackets), a key's passphrase, a host key question.
_PASSWORD = re.compile(r"(?:\((?P<user>[^\s()@]+)@(?P<host>[^\s()]+)\)\s*)?"
                       r"(?:(?P<user2>[^\s@]+)@(?P<host2>\S+?)'s\s+)?[Pp]assword:\s*\Z")
_PASSPHRASE = re.compile(r"(?i)Enter passphrase for (?:key )?'?([^'\n]*?)'?:\s*\Z")
_QUESTION = re.compile(r"\(yes/no[^)]*\)\?\s*\Z")
# The lines of its output that tell nothing of a failure.
_NOISE = re.compile(r"^(sftp> |Warning: Permanently added |Connected to |Connection closed\.?$)")
log = logging.getLogger("tarvix.files")


class NoSftp(FileTransferError):
    """The device's SSH server has no SFTP subsystem (``words``: what the
    program said)."""

    def __init__(self, device, words):
        FileTransferError.__init__(self, "%s: the SSH server offers no SFTP: %s" % (device, words))
        self.words = words


def quote(path):
    """``path`` as one argument of sftp's command parser: in double quotes,
    its backslashes and double quotes escaped (sftp keeps the glob
    characters of a quoted argument literal)."""
    return '"%s"' % path.replace("\\", "\\\\").replace('"', '\\"')


def choose(copy, size, verify, overwrite):
    """The SftpProgram for a put of ``size`` bytes by ``copy`` (a
    tarvix.files.copy.Copy), None where libssh2 carries it (the reason in
    the debug log)."""
    commands = copy.files.commands
    reason = None
    if copy.protocol == "scp" or size < PROGRAM_SIZE:
        return None
    if not verify and not overwrite:
        reason = "whether the file is there is asked over SFTP"
    elif shutil.which("sftp") is None:
        reason = "no sftp program"
    elif not os.path.isdir("/proc/self/fdinfo"):
        reason = "no /proc to read its progress from"
    elif not (commands.delete and commands.rename):
        reason = "the platform has no delete or rename command"
    if reason is None:
        url, options = address(copy.con, copy.con._handle(copy.target))
        options = sshlink.check_options(options, copy.device)
        hops = hop_specs(options.get("jump")) or []
        if any(hop.get("key_file") or hop.get("passphrase") for hop in hops):
            reason = "a jump host has a key of its own"
        else:
            return SftpProgram(copy.con, url, options, copy.device)
    log.debug("%s: %d bytes go over libssh2, not the sftp program: %s", copy.device, size, reason)
    return None


class SftpProgram(object):
    """The sftp program's session to the device at ``url`` (an ssh start)
    with the link's ``options`` (checked), for ``con``."""

    def __init__(self, con, url, options, device):
        self.device = device
        user, host, port = sshlink.parse_url(url)
        username, passwords = ssh_login(url, con.credentials, con.context.get("login_creds"))
        deadline = time.monotonic() + con.connection_timeout
        try:
            found = sshroute.route(host, port if re.search(r":\d+/?$", url) else None, user, options, username,
                                   passwords, deadline)
        except sshconfig.ConfigError as error:
            raise FileTransferError("%s: %s" % (device, error))
        # The passwords for each host as its ssh names it in a prompt.
        self.passwords = {found.target.host.lower(): list(found.target.passwords)}
        for hop in found.hops:
            self.passwords.setdefault(hop.host.lower(), list(hop.passwords))
        self.passphrase = options.get("passphrase") or ""
        self.left, self.phrases = {}, []
        argv = sshlink.system_argv(url, options, username, program=shutil.which("sftp"))
        extra = ["-o", "BatchMode=no", "-o", "ConnectTimeout=%d" % max(1, int(con.connection_timeout))]
        if not options.get("ciphers"):
            extra += ["-o", "Ciphers=%s" % CIPHERS]
        # (ssh takes an option's first value: these win over the BatchMode
        # that -b adds, and lose to the link's own.)
        self.argv = argv[:-1] + extra + ["-b"]
        self.destination = argv[-1]
        self.env = dict(child_env(con.env), SSH_ASKPASS_REQUIRE="never")
        self.child = None

    def fail(self, words):
        return FileTransferError("%s: sftp: %s" % (self.device, words))

    def put(self, local, remote, watch, cancelled):
        """Puts the local file ``local`` to ``remote`` (the SFTP server's
        name), ``watch`` (tarvix.files.transport.Watch) told its progress;
        ``cancelled()`` true ends it.  FileTransferError (NoSftp) in one
        line with the program's words."""
        self._run("put %s %s" % (quote(os.path.abspath(local)), quote(remote)), watch, cancelled, os.stat(local))

    def remove(self, remote):
        """Removes ``remote`` (a partial file the CLI could not remove);
        one that is not there is no failure."""
        try:
            self._run("rm %s" % quote(remote), Watch(0, stall=REMOVE_WAIT), lambda: False)
        except FileTransferError as error:
            if "No such file" not in str(error):
                raise

    def _run(self, command, watch, cancelled, local=None):
        handle, batch = tempfile.mkstemp(prefix="tarvix-sftp-", suffix=".batch")
        try:
            with os.fdopen(handle, "w", encoding=sys.getfilesystemencoding(), errors="surrogateescape") as out:
                out.write(command + "\n")
            log.debug("%s: %s", self.device, mask_command(" ".join(self.argv + [batch, self.destination])))
            self.child = pexpect.spawn(self.argv[0], self.argv[1:] + [batch, self.destination], env=self.env,
                                       dimensions=(24, 200), encoding="utf-8", codec_errors="replace")
            # (pexpect's pauses before a send and after a close: none.)
            self.child.delaybeforesend = None
            self.child.ptyproc.delayafterclose = 0
            status, said = self._follow(local, watch, cancelled)
        finally:
            self.end()
            os.remove(batch)
        if status != 0:
            words = _words(said)
            if "subsystem request failed" in said:
                raise NoSftp(self.device, words)
            if watch.sent:
                words = "the copy ended after %d of %d bytes: %s" % (watch.sent, watch.total, words)
            raise self.fail(words)

    def _follow(self, local, watch, cancelled):
        """Answers the program, follows its progress until it ends; (exit
        status, what it said)."""
        said, tail = [], ""
        where = _Position(self.child.pid, local)
        # Each host's passwords, tried in turn.
        self.left = dict((host, list(passwords)) for host, passwords in self.passwords.items())
        self.phrases = [self.passphrase]
        watch.last_move = time.monotonic()
        while True:
            if cancelled():
                raise FileTransferError("%s: the copy was aborted" % self.device)
            try:
                tail += self.child.read_nonblocking(4096, timeout=TICK)
            except pexpect.TIMEOUT:
                pass
            except pexpect.EOF:
                break
            *lines, tail = re.split(r"[\r\n]+", tail)
            said += [line for line in lines if line.strip()]
            if self._answer(tail):
                tail = ""
                watch.last_move = time.monotonic()
            read = where.read()
            if read > watch.sent:
                watch.sent, watch.last_move = min(read, watch.total), time.monotonic()
            if watch.left() <= 0:
                raise FileTransferError("%s: the copy made no progress for %s s (sftp had read %d of %d bytes)%s"
                                        % (self.device, watch.stall, watch.sent, watch.total,
                                           ": %s" % _words(said + [tail]) if not watch.sent else ""))
            watch.tick()
        # Its end of the terminal closed: it has ended, or is ending.
        self.child.wait()
        if self.child.exitstatus == 0:
            watch.sent = watch.total
        return self.child.exitstatus, "\n".join(said + [tail])

    def _answer(self, tail):
        """Answers what the program asks at the end of ``tail``; whether it
        asked."""
        asked = _PASSWORD.search(tail)
        if asked:
            host = asked.group("host") or asked.group("host2")
            if host is None and len(self.passwords) == 1:
                host = next(iter(self.passwords))
            left = self.left.get(host.lower()) if host is not None else None
            if not left:
                raise self.fail("%s: %s" % (tail.strip(), "the passwords were refused" if left is not None
                                            else "tarvix has no password for it"))
            self.child.sendline(left.pop(0))
            return True
        if _PASSPHRASE.search(tail):
            # Once: asked again, the key is skipped (an empty answer).
            self.child.sendline(self.phrases.pop() if self.phrases else "")
            return True
        if _QUESTION.search(tail):
            self.child.sendline("no")
            return True
        return False

    def end(self):
        """Ends the program and its ssh, where they still run."""
        child, self.child = self.child, None
        if child is None:
            return
        if child.isalive():
            try:
                os.killpg(child.pid, signal.SIGTERM)
            except OSError:
                pass
        child.close(force=True)


def _words(said):
    """The program's words for a failure, in one line."""
    lines = said.splitlines() if isinstance(said, str) else said
    useful = [line.strip() for line in lines if line and line.strip() and not _NOISE.match(line.strip())]
    return useful[0] if useful else "its SSH session ended without a word"


class _Position(object):
    """How far the program ``pid`` has read the local file whose os.stat
    is ``local``: its file descriptor's position, found once it opened it."""

    def __init__(self, pid, local):
        self.pid, self.key = pid, (local.st_dev, local.st_ino) if local is not None else None
        self.fd = None

    def read(self):
        if self.key is None:
            return 0
        try:
            if self.fd is None:
                self.fd = self._find()
            if self.fd is None:
                return 0
            with open("/proc/%d/fdinfo/%s" % (self.pid, self.fd)) as info:
                return int(info.readline().split()[1])
        except (OSError, ValueError, IndexError):
            # Not open yet, or closed: the program is done with it.
            self.fd = None
            return 0

    def _find(self):
        folder = "/proc/%d/fd" % self.pid
        for fd in os.listdir(folder):
            try:
                found = os.stat(os.path.join(folder, fd))
            except OSError:
                continue
            if (found.st_dev, found.st_ino) == self.key:
                return fd
        return None
