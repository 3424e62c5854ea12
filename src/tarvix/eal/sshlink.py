"""Device links over SSH inside this process: libssh2 (through ssh2-python),
one socket and one non-blocking session per link, no program started.

A start URL asks for one: ``ssh://[user@]host[:port]``.  Options
(``Connection(..., ssh={...})``):

- ``host_key_checking``: "accept-new" (True, the default: a new host's key
  is recorded, a known host must show the recorded key), "yes" (the host
  must be in the known hosts file already) or "off" (False: keys are
  neither checked nor recorded), as the system ssh's StrictHostKeyChecking.
- ``known_hosts``: the known hosts file (default ~/.ssh/known_hosts).
- ``key_file`` (and ``passphrase``): a private key tried before passwords;
  ``agent``: whether the keys of the running ssh-agent are tried (True when
  $SSH_AUTH_SOCK is set).
- ``keepalive``: seconds between keepalive requests while the link is read
  (0: none); ``connect_timeout``: seconds for the TCP connect, the key
  exchange and the authentication (the connection's timeout by default).
- ``config``, ``jump``, ``proxy_command``, ``identities_only``, ``kex``,
  ``hostkeys``, ``ciphers``, ``macs``: the user's ssh configuration (read
  as the system ssh reads it), jump hosts, algorithms: see tarvix.eal.sshroute.

The passwords of the connection's credentials answer the server's password
(or keyboard-interactive) authentication; the shell then runs on a
pseudo-terminal as over the system ssh, and the login dialog still answers
a device that asks again.  Without ssh2-python the link is unavailable
(``AVAILABLE`` is False, ``UNAVAILABLE`` says why) and ``system_command``
gives the system ssh's command line for the same URL.
"""
import base64
import codecs
import hashlib
import hmac
import os
import re
import select
import shlex
import socket
import sys
import threading
import time
import traceback

import pexpect

from tarvix.core.errors import LinkClosedError, LinkTimeoutError, LoginError, link_message
from tarvix.eal import sshhops, sshroute
from tarvix.eal.spawn import Spawn

try:
    from ssh2 import exceptions as _ssh2_errors
    from ssh2.error_codes import LIBSSH2_ERROR_EAGAIN
    from ssh2.session import (LIBSSH2_HOSTKEY_TYPE_DSS, LIBSSH2_HOSTKEY_TYPE_ECDSA_256,
                              LIBSSH2_HOSTKEY_TYPE_ECDSA_384, LIBSSH2_HOSTKEY_TYPE_ECDSA_521,
                              LIBSSH2_HOSTKEY_TYPE_ED25519, LIBSSH2_HOSTKEY_TYPE_RSA, LIBSSH2_SESSION_BLOCK_INBOUND,
                              LIBSSH2_SESSION_BLOCK_OUTBOUND, Session)
except ImportError as _error:
    AVAILABLE = False
    UNAVAILABLE = "in-process SSH is unavailable (%s; pip install ssh2-python)" % _error
else:
    AVAILABLE = True
    UNAVAILABLE = None
    KEY_TYPES = {LIBSSH2_HOSTKEY_TYPE_RSA: "ssh-rsa", LIBSSH2_HOSTKEY_TYPE_DSS: "ssh-dss",
                 LIBSSH2_HOSTKEY_TYPE_ECDSA_256: "ecdsa-sha2-nistp256",
                 LIBSSH2_HOSTKEY_TYPE_ECDSA_384: "ecdsa-sha2-nistp384",
                 LIBSSH2_HOSTKEY_TYPE_ECDSA_521: "ecdsa-sha2-nistp521", LIBSSH2_HOSTKEY_TYPE_ED25519: "ssh-ed25519"}

SCHEME = "ssh://"
DEFAULT_PORT = 22
TERMINAL = "vt100"
# Most bytes gathered into one read of the link.
READ_SIZE = 1 << 20
# Most bytes asked of libssh2 at once.
PIECE = 1 << 18
# libssh2's LIBSSH2_CHANNEL_EXTENDED_DATA_MERGE: the server's standard error
# read as its output (as on a terminal).
EXTENDED_DATA_MERGE = 2
POLICIES = {True: "accept-new", "accept-new": "accept-new", "yes": "yes", "strict": "yes",
            False: "off", "off": "off", "no": "off"}
OPTIONS = frozenset(["host_key_checking", "known_hosts", "key_file", "passphrase", "agent", "keepalive",
                     "connect_timeout"]) | sshroute.OPTIONS
_URL = re.compile(r"^ssh://(?:(\S+)@)?(\[[^\]\s]+\]|[^:/@\s\[\]]+)(?::(\d+))?/?$")
_known_hosts_lock = threading.Lock()


def is_url(start):
    return isinstance(start, str) and start.strip().lower().startswith(SCHEME)


def parse_url(start):
    """(username or None, host, port) of an ``ssh://[user@]host[:port]``
    start; ValueError for anything else."""
    found = _URL.match(start.strip()) if isinstance(start, str) else None
    if not found or not 0 < int(found.group(3) or DEFAULT_PORT) < 65536:
        raise ValueError("an ssh start is ssh://[user@]host[:port], not %r" % (start,))
    host = found.group(2)
    if host.startswith("["):
        host = host[1:-1]
    return found.group(1), host, int(found.group(3) or DEFAULT_PORT)


def check_options(options):
    """The SSH options with the host key policy spelled out; ValueError
    for an unknown option or policy."""
    options = dict(options or {})
    unknown = sorted(set(options) - OPTIONS)
    if unknown:
        raise ValueError("unknown ssh option(s) %s; known: %s" % (", ".join(unknown), ", ".join(sorted(OPTIONS))))
    policy = options.get("host_key_checking", True)
    if isinstance(policy, str):
        policy = policy.lower()
    if policy not in POLICIES:
        raise ValueError("host_key_checking is accept-new (True), yes or off (False), not %r" % (policy,))
    options["host_key_checking"] = POLICIES[policy]
    sshroute.check(options)
    return options


def system_command(start, options=None, username=None):
    """The system ssh client's command line for an ssh start URL and its
    options (a password is not part of it: the login dialog answers it)."""
    user, host, port = parse_url(start)
    options = check_options(options)
    argv = ["ssh"]
    if port != DEFAULT_PORT:
        argv += ["-p", str(port)]
    policy = options["host_key_checking"]
    argv += ["-o", "StrictHostKeyChecking=%s" % ("no" if policy == "off" else policy)]
    if policy == "off":
        argv += ["-o", "UserKnownHostsFile=/dev/null"]
    elif options.get("known_hosts"):
        argv += ["-o", "UserKnownHostsFile=%s" % options["known_hosts"]]
    if options.get("key_file"):
        argv += ["-i", options["key_file"]]
    if options.get("keepalive"):
        argv += ["-o", "ServerAliveInterval=%d" % max(1, int(options["keepalive"]))]
    if options.get("connect_timeout"):
        argv += ["-o", "ConnectTimeout=%d" % max(1, int(options["connect_timeout"]))]
    argv += sshroute.system_args(options)
    user = user or username
    argv.append("%s@%s" % (user, host) if user else host)
    return " ".join(shlex.quote(arg) for arg in argv)


# -- known hosts -----------------------------------------------------------

def _host_name(host, port):
    return host if port == DEFAULT_PORT else "[%s]:%d" % (host, port)


def _pattern_matches(pattern, name):
    if pattern.startswith("|1|"):
        try:
            salt, digest = (base64.b64decode(part) for part in pattern[3:].split("|", 1))
        except (ValueError, TypeError):
            return False
        return hmac.compare_digest(hmac.new(salt, name.encode(), hashlib.sha1).digest(), digest)
    # Only * and ? are wildcards (the brackets of "[host]:port" are not).
    regex = re.escape(pattern.lower()).replace("\\*", ".*").replace("\\?", ".")
    return re.match("(?:%s)\\Z" % regex, name.lower()) is not None


def known_keys(path, host, port):
    """The keys (type, base64) that the known hosts file holds for the
    host, and whether one of them is revoked: ({type: set(keys)}, revoked)."""
    name = _host_name(host, port)
    keys, revoked = {}, set()
    try:
        with open(path) as handle:
            lines = handle.read().splitlines()
    except (IOError, OSError):
        return keys, revoked
    for line in lines:
        fields = line.split()
        if not fields or fields[0].startswith("#"):
            continue
        marker = fields.pop(0) if fields[0].startswith("@") else None
        if len(fields) < 3 or marker == "@cert-authority":
            continue
        patterns = fields[0].split(",")
        if any(p.startswith("!") and _pattern_matches(p[1:], name) for p in patterns):
            continue
        if not any(not p.startswith("!") and _pattern_matches(p, name) for p in patterns):
            continue
        if marker == "@revoked":
            revoked.add(fields[2])
        else:
            keys.setdefault(fields[1], set()).add(fields[2])
    return keys, revoked


def record_key(path, host, port, key_type, key):
    """Appends the host's key to the known hosts file (made, with its
    folder, when missing)."""
    folder = os.path.dirname(path)
    with _known_hosts_lock:
        if folder and not os.path.isdir(folder):
            os.makedirs(folder, 0o700)
        with open(path, "a") as handle:
            handle.write("%s %s %s\n" % (_host_name(host, port), key_type, key))


# -- the link ----------------------------------------------------------------

class _Aborted(Exception):
    pass


class SshChannel(object):
    """An SSH shell channel in the shape of the pexpect child that ``Spawn``
    reads and writes: ``read_nonblocking`` (pexpect.TIMEOUT, pexpect.EOF),
    ``send``, ``sendline``, ``linesep``, ``closed``.  ``abort`` may be called
    from any thread; everything else belongs to the link's own thread."""

    linesep = "\n"

    def __init__(self, sock, session, channel, keepalive=0):
        self.sock = sock
        self.session = session
        self.channel = channel
        self.keepalive = keepalive
        self.closed = False
        self.aborted = False
        self._eof = False
        self.lock = threading.Lock()
        self._decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")

    def _wait(self, until, reading=True):
        """Waits for the socket in the directions libssh2 is blocked on,
        at most until ``until``; returns False when that time came."""
        if self.aborted:
            raise _Aborted()
        directions = self.session.block_directions()
        wait = until - time.monotonic() if until is not None else None
        if self.keepalive and reading:
            wait = min(wait, self.session.keepalive_send()) if wait is not None else self.session.keepalive_send()
        if wait is not None and wait <= 0:
            return False
        inbound = [self.sock] if directions & LIBSSH2_SESSION_BLOCK_INBOUND or not directions else []
        outbound = [self.sock] if directions & LIBSSH2_SESSION_BLOCK_OUTBOUND else []
        select.select(inbound, outbound, [], wait)
        if self.aborted:
            raise _Aborted()
        return True

    def read_nonblocking(self, size=READ_SIZE, timeout=None):
        """What the device printed, as text: everything at hand up to
        ``size`` bytes, waiting at most ``timeout`` seconds for the first."""
        if self._eof or self.closed or self.aborted:
            raise pexpect.EOF("the SSH channel has ended")
        until = None if timeout is None else time.monotonic() + timeout
        pieces, got = [], 0
        try:
            while got < size:
                rc, data = self.channel.read(min(size - got, PIECE))
                if rc > 0:
                    pieces.append(data)
                    got += rc
                elif rc == 0 and self.channel.eof():
                    self._eof = True
                    break
                elif pieces:
                    break
                elif rc in (0, LIBSSH2_ERROR_EAGAIN):
                    if not self._wait(until):
                        raise pexpect.TIMEOUT("nothing read within %s s" % timeout)
                else:
                    self._eof = True
                    raise pexpect.EOF("the SSH session failed (libssh2 error %d)" % rc)
        except _Aborted:
            raise pexpect.EOF("the link was aborted")
        except _ssh2_errors.SSH2Error as error:
            if not pieces:
                self._eof = True
                raise pexpect.EOF("the SSH session failed: %s" % (_words(error) or type(error).__name__))
        if pieces:
            return self._decoder.decode(b"".join(pieces))
        raise pexpect.EOF("the SSH channel has ended")

    def send(self, text):
        data = text.encode("utf-8")
        until = time.monotonic() + 30
        try:
            while data:
                rc, written = self.channel.write(data)
                data = data[written:]
                if rc == LIBSSH2_ERROR_EAGAIN or (data and written == 0):
                    if not self._wait(until, reading=False):
                        raise OSError("the SSH session takes nothing more")
                elif rc < 0:
                    raise OSError("the SSH session failed (libssh2 error %d)" % rc)
        except _Aborted:
            raise OSError("the link was aborted")
        except _ssh2_errors.SSH2Error as error:
            raise OSError("the SSH session failed: %s" % (_words(error) or type(error).__name__))
        return len(text)

    def sendline(self, text=""):
        return self.send(text + self.linesep)

    def abort(self):
        """Ends the socket under the session from any thread: a wait in
        progress returns and the link reads its end."""
        with self.lock:
            self.aborted = True
            if not self.closed:
                try:
                    self.sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def close(self):
        """Closes the channel and the session without waiting for the
        server, then the socket."""
        with self.lock:
            if self.closed:
                return
            self.closed = True
        try:
            if not self.aborted:
                self.channel.close()
                self.session.disconnect()
        except _ssh2_errors.SSH2Error:
            pass
        finally:
            self.channel = self.session = None
            _release(self.sock)


def _release(sock, held=()):
    """Closes the socket of a session that is gone, or going with
    ``held``, its last references.  libssh2 still reads and writes a
    session's socket when it frees the session (closing what the close
    above left unfinished), so the session goes first, on a socket shut
    down: its descriptor, once closed, may be a newer link's at once, and
    that link's session would be broken by the old one's bytes."""
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    if held:
        del held[:]
    sock.close()


def _words(error):
    """What an ssh2-python error says, as text."""
    for arg in getattr(error, "args", ()):
        if isinstance(arg, bytes):
            arg = arg.decode("utf-8", "replace")
        if isinstance(arg, str) and arg.strip():
            return arg.strip()
    return ""


class SshSpawn(Spawn):
    """A device link over SSH in this process (see the module's text):
    ``Spawn``'s reading, matching, echo tracking, masking and session log
    over an ``SshChannel`` in place of a program on a pseudo-terminal.
    ``passwords`` are offered to the server in turn, after the key file and
    the agent's keys; ``username`` is used when the URL names none.
    ``started(link)`` is called before connecting begins, so that its
    caller can ``abort`` the link while it connects.

    Connecting happens here: errors lead with the cause (the socket's or the
    server's words) as LinkClosedError, LinkTimeoutError (connect timeout)
    or LoginError (authentication failed)."""

    def __init__(self, command, device, timeout=30, log=None, env=None, dimensions=(24, 200), session_log=None,
                 secrets=(), ssh=None, username=None, passwords=(), started=None):
        if not AVAILABLE:
            raise ImportError(UNAVAILABLE)
        self.url = parse_url(command)
        self.options = check_options(ssh)
        self.username = self.url[0] or username
        self.passwords = [p for p in passwords if isinstance(p, str)]
        self.key_files = [os.path.expanduser(self.options["key_file"])] if self.options.get("key_file") else []
        self._channel = None
        self._started = started
        super(SshSpawn, self).__init__(command, device, timeout=timeout, log=log, env=env, dimensions=dimensions,
                                       session_log=session_log, secrets=secrets)

    def _start(self, argv, env, dimensions):
        route = sshroute.link_route(self, _URL.match(self.command.strip()).group(3) is not None)
        host, port = route.target.address()
        limit = float(self.options.get("connect_timeout") or self.timeout)
        began = time.monotonic()
        sock = channel = session = link = None
        where = "%s port %d" % (host, port)
        self._channel = _Pending()
        if self._started is not None:
            self._started(self)
        try:
            try:
                sock = sshhops.connect(route, limit, self)
            except socket.timeout:
                raise self._fail(LinkTimeoutError, "connect to host %s: Connection timed out" % where,
                                 "timed out after %s s connecting" % limit)
            except OSError as error:
                raise self._fail(LinkClosedError, "connect to host %s: %s" % (where, error.strerror or error),
                                 "link closed while connecting")
            with self._channel.lock:
                if self._channel.aborted:
                    raise self._fail(LinkClosedError, "the link was aborted", "link closed while connecting")
                self._channel.sock = sock
            session = Session()
            session.set_timeout(max(1, int((limit - (time.monotonic() - began)) * 1000)))
            try:
                sshhops.handshake(self, session, sock, route, limit)
                self._check_host_key(session, host, port)
                self._authenticate(session)
                channel = session.open_session()
                channel.handle_extended_data2(EXTENDED_DATA_MERGE)
                channel.pty(TERMINAL)
                channel.shell()
            except _ssh2_errors.Timeout:
                raise self._fail(LinkTimeoutError, "%s: the SSH server did not answer" % where,
                                 "timed out after %s s connecting" % limit)
            except _ssh2_errors.SSH2Error as error:
                if self._channel.aborted:
                    raise self._fail(LinkClosedError, "the link was aborted", "link closed while connecting")
                raise self._fail(LinkClosedError, "%s: %s%s" % (where, _session_error(session, error),
                                                                 sshhops.said(sock)),
                                 "link closed while connecting")
            session.set_blocking(False)
            keepalive = int(self.options.get("keepalive") or 0)
            if keepalive:
                session.keepalive_config(False, max(1, keepalive))
            link = SshChannel(sock, session, channel, keepalive)
            with self._channel.lock:
                if self._channel.aborted:
                    raise self._fail(LinkClosedError, "the link was aborted", "link closed while connecting")
                self._channel = link
            self.log.debug("%s: SSH session open to %s as %s", self.device, _host_name(host, port), self.username)
            return link
        except BaseException:
            with self._channel.lock:
                self._channel.closed = True
            if sock is not None:
                # The frames the error (and the errors it replaced) passed
                # through hold the session too.
                error = sys.exc_info()[1]
                while error is not None:
                    traceback.clear_frames(error.__traceback__)
                    error = error.__context__
                held = [link, channel, session]
                link = channel = session = None
                _release(sock, held)
            raise

    def _fail(self, kind, words, awaited):
        return kind(link_message(self.device, words, awaited))

    def _check_host_key(self, session, host, port):
        policy = self.options["host_key_checking"]
        if policy == "off":
            return
        key, kind = session.hostkey()
        key_type = KEY_TYPES.get(kind)
        if key_type is None:
            raise self._fail(LinkClosedError, "Host key of unknown type %d from %s" % (kind, _host_name(host, port)),
                             "host key verification failed")
        key = base64.b64encode(key).decode("ascii")
        path = os.path.expanduser(self.options.get("known_hosts") or "~/.ssh/known_hosts")
        keys, revoked = known_keys(path, host, port)
        name = _host_name(host, port)
        if key in revoked:
            raise self._fail(LinkClosedError, "Host key for %s is marked as revoked in %s" % (name, path),
                             "host key verification failed")
        if key in keys.get(key_type, ()):
            return
        if keys.get(key_type):
            raise self._fail(LinkClosedError, "REMOTE HOST IDENTIFICATION HAS CHANGED: the %s host key for %s is not "
                             "the one %s holds" % (key_type, name, path), "host key verification failed")
        if policy != "accept-new":
            raise self._fail(LinkClosedError, "No %s host key is known for %s in %s" % (key_type, name, path),
                             "host key verification failed")
        record_key(path, host, port, key_type, key)
        self.log.info("%s: permanently added %s (%s) to the known hosts %s", self.device, name, key_type, path)

    def _authenticate(self, session):
        username = self.username or ""
        methods = session.userauth_list(username)
        if session.userauth_authenticated():
            return
        methods = set((methods or "").split(",")) if isinstance(methods, str) else set(methods or [])
        tried = []
        for key_file in self.key_files if "publickey" in methods else ():
            tried.append("publickey")
            try:
                session.userauth_publickey_fromfile(username, key_file, self.options.get("passphrase") or "")
                return
            except _ssh2_errors.AuthenticationError:
                pass
            except (_ssh2_errors.PublicKeyInitError, _ssh2_errors.FileError) as error:
                self.log.warning("%s: the key %s cannot be used: %s", self.device, key_file,
                                 _words(error) or type(error).__name__)
        agent = self.options.get("agent")
        if (agent or (agent is None and os.environ.get("SSH_AUTH_SOCK"))) and "publickey" in methods:
            tried.append("agent")
            try:
                session.agent_auth(username)
                return
            except (_ssh2_errors.AgentError, _ssh2_errors.AuthenticationError, MemoryError):
                pass
        for method in ("password", "keyboard-interactive"):
            if method not in methods:
                continue
            for password in self.passwords:
                tried.append(method)
                try:
                    if method == "password":
                        session.userauth_password(username, password)
                    else:
                        session.userauth_keyboardinteractive(username, password)
                    return
                except (_ssh2_errors.AuthenticationError, _ssh2_errors.PasswordExpiredError):
                    continue
            if self.passwords:
                break
        raise self._fail(LoginError, "Authentication failed for user %r (%s; the server offers %s)"
                         % (username, ", ".join(_unique(tried)) or "no method tried",
                            ", ".join(sorted(methods)) or "nothing"),
                         "login rejected by the SSH server")

    @property
    def pid(self):
        """None: no program runs for this link."""
        return None

    def isalive(self):
        return not self._channel.closed and not self._channel.aborted and not getattr(self._channel, "_eof", False)

    def abort(self):
        """Ends the link's socket from any thread, also while it connects:
        whoever waits on it gets LinkClosedError at once.  ``close`` still
        has to be called by the link's user."""
        channel = self._channel
        if channel is not None:
            channel.abort()

    def _end(self):
        if self._child is not None:
            self._child.close()

    def __repr__(self):
        return "<SshSpawn %s>" % self


class _Pending(object):
    """The link while it connects: what ``abort`` needs before the channel
    exists."""

    def __init__(self):
        self.lock = threading.Lock()
        self.sock = None
        self.closed = False
        self.aborted = False

    def abort(self):
        with self.lock:
            self.aborted = True
            if self.sock is not None and not self.closed:
                try:
                    self.sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass


def _session_error(session, error):
    """The server's or libssh2's words for a failed session step."""
    words = _words(error)
    if not words:
        try:
            words = session.last_error()
            if isinstance(words, bytes):
                words = words.decode("utf-8", "replace")
        except Exception:  # the session may be unusable by then
            words = ""
    name = type(error).__name__
    if isinstance(error, (_ssh2_errors.SocketDisconnectError, _ssh2_errors.SocketRecvError)):
        return "Connection closed by the remote host%s" % (" (%s)" % words if words else "")
    return words or name


def _unique(items):
    seen = []
    for item in items:
        if item not in seen:
            seen.append(item)
    return seen
