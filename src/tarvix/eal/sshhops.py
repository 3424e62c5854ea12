"""Where an in-process SSH link's socket comes from: a TCP connection to
the device, a channel forwarded through one jump host or several, or a
program's standard input and output (ProxyCommand).

A jump host's session is shared by every link through it in the process
(one session to the bastion however many devices are behind it) and
closed with the last of them.  Its channels (direct-tcpip) are carried to
the sessions behind it over socket pairs by one thread per jump session,
the only thread that calls into that session's libssh2 once it is open.
"""
import collections
import copy
import select
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

from tarvix.core.errors import LinkClosedError, LinkTimeoutError
from tarvix.eal import sshalgos

# Most bytes kept waiting in either direction of a forwarded channel.
BUFFERED = 1 << 20
PIECE = 1 << 16
# libssh2's LIBSSH2_ERROR_EAGAIN.
EAGAIN = -37
# Seconds a ProxyCommand program is given to end after its link closed.
PROGRAM_END = 2

_sessions = {}
_opening = collections.defaultdict(threading.Lock)
_lock = threading.Lock()


class HopFailure(OSError):
    """A hop (or the program in place of one) failed: ``words`` name it;
    ``timed_out`` when it is a timeout."""

    def __init__(self, words, timed_out=False):
        OSError.__init__(self, words)
        self.words = words
        self.timed_out = timed_out

    def __str__(self):
        return self.words


class HopSocket(socket.socket):
    """The end of a socket pair that a session reads and writes as its
    connection; closing it lets go of what carries it (the jump session's
    channel, or the program)."""

    def setup(self, release, words=None):
        self._release_hop = release
        self._words = words
        return self

    def words(self):
        """What the program in place of the connection said, if anything."""
        return self._words() if getattr(self, "_words", None) else ""

    def close(self):
        socket.socket.close(self)
        release, self._release_hop = getattr(self, "_release_hop", None), None
        if release is not None:
            release()


def _pair():
    ours, theirs = socket.socketpair()
    ours.setblocking(False)
    given = HopSocket(theirs.family, theirs.type, theirs.proto, fileno=theirs.detach())
    return ours, given


def _where(host, port):
    return "%s port %d" % (host, port)


def tcp(host, port, timeout, name=None):
    """A TCP connection to ``host``; HopFailure naming ``name`` (a hop's)
    when given, else the socket's own OSError."""
    try:
        sock = socket.create_connection((host, port), timeout)
    except socket.timeout:
        if name is None:
            raise
        raise HopFailure("%s: connect to host %s: Connection timed out" % (name, _where(host, port)), True)
    except OSError as error:
        if name is None:
            raise
        raise HopFailure("%s: connect to host %s: %s" % (name, _where(host, port), error.strerror or error))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def program(command):
    """A socket whose other end is ``command``'s standard input and output
    (run by the shell); what it writes to its standard error is kept for
    the error when the session over it fails."""
    ours, given = socket.socketpair()
    errors = tempfile.TemporaryFile()
    try:
        child = subprocess.Popen(command, shell=True, stdin=ours, stdout=ours, stderr=errors,
                                 close_fds=True, start_new_session=True)
    except OSError as error:
        errors.close()
        ours.close()
        given.close()
        raise HopFailure("proxy command %s: %s" % (command, error.strerror or error))
    ours.close()

    def said():
        errors.seek(0)
        text = errors.read(4096).decode("utf-8", "replace")
        return "; ".join(line.strip() for line in text.splitlines() if line.strip())

    def release():
        try:
            child.wait(PROGRAM_END)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
        errors.close()

    sock = HopSocket(given.family, given.type, given.proto, fileno=given.detach())
    return sock.setup(release, said)


def connect(route, timeout, link):
    """The socket to the route's target: through its hops, its program, or
    straight; the hops' sessions are opened as ``link`` (see login_hop)."""
    target = route.target
    try:
        if route.hops:
            until = time.monotonic() + timeout
            jump = _jump(route.hops, until, link)
            try:
                return jump.forward(target.host, target.port, until)
            except BaseException:
                jump.release()
                raise
        if route.proxy_command:
            return program(route.proxy_command)
    except HopFailure as error:
        raise link._fail(LinkTimeoutError if error.timed_out else LinkClosedError, error.words,
                         "link closed while connecting")
    return tcp(target.host, target.port, timeout)


def login_hop(link, sock, point, seconds):
    """An authenticated session (blocking) to the hop ``point`` over
    ``sock``, made as the device's link ``link`` (an SshSpawn) makes its
    own: its host key checked under the same policy, its own user, keys and
    passwords; errors name the hop."""
    from ssh2 import exceptions
    from ssh2.session import Session

    view = copy.copy(link)
    view.options = dict(link.options, host_key_checking=point.policy, known_hosts=point.known_hosts,
                        agent=point.agent, passphrase=point.passphrase)
    view.username, view.passwords, view.key_files = point.user, point.passwords, point.key_files
    view._fail = lambda kind, words, awaited: link._fail(kind, "%s: %s" % (point.name, words), awaited)
    session = Session()
    try:
        sshalgos.apply(session, point.algorithms, sshalgos.methods())
        session.set_timeout(max(1, int(seconds * 1000)))
        try:
            session.handshake(sock)
            view._check_host_key(session, point.host, point.port)
            view._authenticate(session)
        except exceptions.Timeout:
            raise link._fail(LinkTimeoutError, "%s: the SSH server did not answer" % point.name,
                             "timed out after %s s connecting" % seconds)
        except exceptions.SSH2Error as error:
            words = (error.args and str(error.args[0])) or type(error).__name__
            raise link._fail(LinkClosedError, "%s: %s" % (point.name, words), "link closed while connecting")
        return session
    except BaseException:
        # The session is freed before its socket is closed (see sshlink).
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        traceback.clear_frames(sys.exc_info()[2])
        session = None
        raise


def handshake(link, session, sock, route, limit):
    """The key exchange of ``link``'s session; a server that shares no
    algorithm with the link is refused in one line naming both sides'
    algorithms (read from a fresh connection to it)."""
    from ssh2 import exceptions

    missing = sshalgos.apply(session, route.target.algorithms, sshalgos.methods())
    if missing:
        link.log.debug("%s: algorithms this link lacks, left out: %s", link.device, ", ".join(missing))
    try:
        session.handshake(sock)
    except exceptions.SSH2Error as error:
        if isinstance(error, exceptions.Timeout) or link._channel.aborted:
            raise
        usable = dict((name, [n for n in names if n not in missing])
                      for name, names in route.target.algorithms.items())
        why = sshalgos.probe(lambda: connect(route, limit, link), usable, limit)
        if why is None:
            raise
        # Whole: the two lists are the point of the message (link_message
        # would cut it to the device's last words).
        raise LinkClosedError("%s: %s port %d: %s\nkey exchange refused"
                              % (link.device, route.target.host, route.target.port, why))


def said(sock):
    """What the program in place of the connection said, as a suffix."""
    words = sock.words() if isinstance(sock, HopSocket) else ""
    return " (%s)" % words if words else ""


def _jump(hops, until, link):
    """The shared session to the last of ``hops`` (made, with those before
    it, when there is none), held once more for the caller."""
    key = tuple(hop.key() for hop in hops)
    with _lock:
        jump = _sessions.get(key)
        if jump is not None and jump.usable():
            jump.refs += 1
            return jump
        opening = _opening[key]
    with opening:
        with _lock:
            jump = _sessions.get(key)
            if jump is not None and jump.usable():
                jump.refs += 1
                return jump
        parent = _jump(hops[:-1], until, link) if len(hops) > 1 else None
        point = hops[-1]
        try:
            if parent is None:
                sock = tcp(point.host, point.port, max(0.1, until - time.monotonic()), point.name)
            else:
                sock = parent.forward(point.host, point.port, until, point.name)
        except BaseException:
            if parent is not None:
                parent.release()
            raise
        try:
            session = login_hop(link, sock, point, max(0.1, until - time.monotonic()))
        except BaseException:
            sock.close()
            raise
        jump = JumpSession(key, point, sock, session)
        with _lock:
            _sessions[key] = jump
        return jump


def open_jumps():
    """The jump sessions open in this process, by their last hop's name."""
    with _lock:
        return sorted(str(jump.point) for jump in _sessions.values() if jump.usable())


class _Forward(object):
    """One forwarded channel: the socket pair end its session reads and
    writes, and what waits in either direction."""

    def __init__(self, channel, local):
        self.channel = channel
        self.local = local
        self.to_local = b""
        self.to_remote = b""
        self.local_done = False
        self.remote_done = False
        # Whether libssh2 may hold data of the channel to read.
        self.readable = True


class JumpSession(object):
    """An SSH session to a jump host, carrying the channels of the links
    behind it (``forward``); ``refs`` links hold it."""

    def __init__(self, key, point, sock, session):
        self.key, self.point, self.sock, self.session = key, point, sock, session
        self.refs = 1
        self.failure = None
        self._requests = []
        self._forwards = []
        self._stop = False
        self._wake_read, self._wake_write = socket.socketpair()
        self._wake_read.setblocking(False)
        session.set_blocking(False)
        if point.keepalive:
            session.keepalive_config(False, max(1, int(point.keepalive)))
        self._thread = threading.Thread(target=self._run, name="tarvix-jump %s" % point, daemon=True)
        self._thread.start()

    def usable(self):
        return self.failure is None and not self._stop

    def forward(self, host, port, until, name=None):
        """A socket carried to ``host`` port ``port`` by a channel of this
        session; HopFailure naming this hop when the channel is refused or
        not open by ``until``."""
        request = {"host": host, "port": port, "done": threading.Event(), "sock": None, "error": None,
                   "cancelled": False}
        with _lock:
            if not self.usable():
                raise HopFailure("%s: %s" % (self.point.name, self.failure or "the session is closed"))
            self._requests.append(request)
        self._wake()
        if not request["done"].wait(max(0, until - time.monotonic())):
            with _lock:
                request["cancelled"] = True
            raise HopFailure("%s: no channel to %s within the connect timeout"
                             % (self.point.name, _where(host, port)), True)
        if request["error"]:
            raise HopFailure("%s: channel to %s refused: %s" % (self.point.name, _where(host, port),
                                                                request["error"]))
        return request["sock"].setup(self.release)

    def release(self):
        """One link less; the last one closes the session (and lets go of
        the hop before it)."""
        with _lock:
            self.refs -= 1
            if self.refs > 0:
                return
            self._stop = True
            if _sessions.get(self.key) is self:
                del _sessions[self.key]
        self._wake()
        # Closed when the last link is: the hop before it too.
        if threading.current_thread() is not self._thread:
            self._thread.join(PROGRAM_END)

    def _wake(self):
        try:
            self._wake_write.send(b"x")
        except OSError:
            pass

    # -- the session's own thread ----------------------------------------

    def _run(self):
        try:
            ready = {}
            while not self._stop:
                self._open_requested()
                moved = self._move_all(ready)
                ready = {} if moved or self._held() else self._wait()
        except Exception as error:  # the hop is lost: every link through it ends
            words = getattr(error, "args", ()) and str(error.args[0]) or type(error).__name__
            self.failure = "the session to the jump host failed: %s" % words
        finally:
            self._end()

    def _move_all(self, ready):
        """One round over the channels: ``ready`` the descriptors the last
        wait found ready (their events).  Whether anything moved."""
        moved = False
        remote = self.sock.fileno() in ready
        forwards = list(self._forwards)
        if remote and forwards:
            # One read takes in what the socket holds, for every channel;
            # the others are read only where libssh2 holds something.
            forwards[0].readable = True
        for forward in forwards:
            if remote and not forward.readable and not forward.remote_done:
                forward.readable = forward.channel.poll_channel_read(0) > 0 or forward.channel.eof()
            moved = self._move(forward, ready) or moved
        return moved

    def _open_requested(self):
        """Opens the channels asked for, one at a time: libssh2 keeps one
        channel open in progress per session, and a call while one is
        pending goes on with that one whatever it is asked."""
        while True:
            with _lock:
                if not self._requests:
                    return
                request = self._requests[0]
            try:
                channel = self.session.direct_tcpip_ex(request["host"], request["port"], "127.0.0.1", 0)
            except Exception as error:  # the server's refusal, for the link waiting
                channel = None
                request["error"] = (getattr(error, "args", ()) and str(error.args[0])) or type(error).__name__
            if isinstance(channel, int):
                return
            with _lock:
                self._requests.remove(request)
                cancelled = request["cancelled"]
            if channel is not None and cancelled:
                self._forwards.append(_Forward(channel, None))
            elif channel is not None:
                ours, request["sock"] = _pair()
                self._forwards.append(_Forward(channel, ours))
            request["done"].set()

    def _held(self):
        """Whether libssh2 holds data of a channel already (read from the
        socket while another channel was read or written)."""
        held = False
        for forward in self._forwards:
            if not forward.readable and not forward.remote_done and \
                    (forward.channel.poll_channel_read(0) > 0 or forward.channel.eof()):
                forward.readable = held = True
        return held

    def _move(self, forward, ready):
        """Carries what is at hand each way; whether anything moved."""
        moved = False
        channel = forward.channel
        while forward.readable and not forward.remote_done and len(forward.to_local) < BUFFERED:
            rc, data = channel.read(PIECE)
            if rc > 0:
                forward.to_local += data
                moved = True
            elif rc == EAGAIN or (rc == 0 and not channel.eof()):
                forward.readable = False
            else:
                forward.remote_done = True
        local = forward.local
        if local is not None and forward.to_local:
            try:
                sent = local.send(forward.to_local)
                forward.to_local = forward.to_local[sent:]
                moved = True
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                forward.local_done = True
                forward.to_local = b""
        if local is not None and not forward.local_done and local.fileno() in ready \
                and len(forward.to_remote) < BUFFERED:
            try:
                data = local.recv(PIECE)
                forward.to_remote += data
                forward.local_done = not data
                moved = True
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                forward.local_done = True
        if forward.to_remote:
            rc, written = channel.write(forward.to_remote)
            if rc != EAGAIN and rc < 0:
                forward.remote_done = True
            elif written:
                forward.to_remote = forward.to_remote[written:]
                moved = True
        if local is None:
            forward.local_done = True
        if (forward.local_done and not forward.to_remote) or (forward.remote_done and not forward.to_local):
            moved = self._finish(forward) or moved
        return moved

    def _finish(self, forward):
        """Closes a channel whose one side is done; False while libssh2
        waits to send the close."""
        if forward.local is not None:
            forward.local.close()
            forward.local = None
        if forward.channel.close() == EAGAIN:
            return False
        self._forwards.remove(forward)
        return True

    def _wait(self):
        """Waits for the jump host, the channels' sockets or a request; the
        descriptors found ready."""
        directions = self.session.block_directions()
        poller = select.poll()
        # LIBSSH2_SESSION_BLOCK_OUTBOUND is 2.
        poller.register(self.sock, select.POLLIN | (select.POLLOUT if directions & 2 else 0))
        poller.register(self._wake_read, select.POLLIN)
        for forward in self._forwards:
            if forward.local is None:
                continue
            events = select.POLLIN if len(forward.to_remote) < BUFFERED and not forward.local_done else 0
            events |= select.POLLOUT if forward.to_local else 0
            if events:
                poller.register(forward.local, events)
        wait = 1.0
        if self.point.keepalive:
            wait = min(wait, max(0.05, self.session.keepalive_send()))
        ready = dict(poller.poll(wait * 1000))
        if self._wake_read.fileno() in ready:
            try:
                while self._wake_read.recv(256):
                    pass
            except (BlockingIOError, InterruptedError):
                pass
        return ready

    def _end(self):
        with _lock:
            self._stop = True
            if _sessions.get(self.key) is self:
                del _sessions[self.key]
            requests, self._requests = self._requests, []
        for request in requests:
            request["error"] = self.failure or "the session is closed"
            request["done"].set()
        for forward in self._forwards:
            if forward.local is not None:
                forward.local.close()
        self._forwards = []
        session, self.session = self.session, None
        try:
            session.disconnect()
        except Exception:  # the hop may be gone already
            pass
        del session
        # As for a device's session: the session goes before its socket.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self._wake_read.close()
        self._wake_write.close()
