"""Jump host sessions shared in the process: one SSH session to a jump
host serves every link through it (a direct-tcpip channel each) and closes
with the last of them.

The channels are carried to the sessions behind them over socket pairs by
one thread per jump session, the only thread that calls into that
session's libssh2 once it is open.  The thread's work on each wake-up is
what is ready (the sockets the selector names, the channels libssh2 holds
data of), not every channel, so that many links through one jump host cost
little more than one.
"""
import collections
import selectors
import socket
import threading
import time

# Most bytes kept waiting in either direction of a forwarded channel.
BUFFERED = 1 << 20
PIECE = 1 << 16
# libssh2's LIBSSH2_ERROR_EAGAIN and LIBSSH2_SESSION_BLOCK_OUTBOUND.
EAGAIN = -37
BLOCK_OUTBOUND = 2
# Linux's TCP_QUICKACK (None elsewhere).
QUICKACK = getattr(socket, "TCP_QUICKACK", None)
# Seconds between looks at whether a link waiting for its channel was aborted.
ABORT_CHECK = 0.1
# Seconds a release waits for the session's thread to end.
CLOSE_WAIT = 2

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


def _quick_ack(sock):
    """Acknowledges at once what comes in next (Linux): the jump host's
    sshd does not set TCP_NODELAY on a connection that only forwards, so
    its small packets wait for our acknowledgement of the ones before."""
    try:
        sock.setsockopt(socket.IPPROTO_TCP, QUICKACK, 1)
    except (OSError, TypeError):
        pass


def where(host, port):
    return "%s port %d" % (host, port)


def held(key):
    """The usable jump session of ``key``, held once more, or None."""
    with _lock:
        jump = _sessions.get(key)
        if jump is not None and jump.usable():
            jump.refs += 1
            return jump
    return None


def opening(key):
    """The lock that the opening of ``key``'s session is done under."""
    with _lock:
        return _opening[key]


def open_jumps():
    """The jump sessions open in this process, by their last hop."""
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
        self.local_done = local is None
        self.remote_done = False
        # Whether libssh2 may hold data of the channel; whether the local
        # end may have some to read.
        self.readable = True
        self.local_ready = False
        # What the selector waits for on ``local`` (0: not registered).
        self.events = 0


class JumpSession(object):
    """An SSH session to a jump host, carrying the channels of the links
    behind it (``forward``); ``refs`` links hold it.  Made held once, and
    known to ``held`` from then on."""

    def __init__(self, key, point, sock, session):
        self.key, self.point, self.sock, self.session = key, point, sock, session
        self.refs = 1
        self.failure = None
        self._requests = []
        self._forwards = set()
        self._stop = False
        self._wake_read, self._wake_write = socket.socketpair()
        self._wake_read.setblocking(False)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self.sock, selectors.EVENT_READ)
        self._selector.register(self._wake_read, selectors.EVENT_READ)
        self._watching = selectors.EVENT_READ
        session.set_blocking(False)
        if point.keepalive:
            session.keepalive_config(False, max(1, int(point.keepalive)))
        with _lock:
            _sessions[key] = self
        self._thread = threading.Thread(target=self._run, name="tarvix-jump %s" % point, daemon=True)
        self._thread.start()

    def usable(self):
        return self.failure is None and not self._stop

    def forward(self, host, port, until, aborted=None, label=None):
        """A socket carried to ``host`` port ``port`` (named ``label`` in
        errors) by a channel of this session; HopFailure naming this hop
        when the channel is refused or not open by ``until``, or when
        ``aborted()`` turns true meanwhile."""
        label = label or where(host, port)
        request = {"host": host, "port": port, "done": threading.Event(), "sock": None, "error": None,
                   "cancelled": False}
        with _lock:
            if not self.usable():
                raise HopFailure("%s: %s" % (self.point.label(), self.failure or "the session is closed"))
            self._requests.append(request)
        self._wake()
        while not request["done"].wait(max(0, min(ABORT_CHECK, until - time.monotonic()))):
            gave_up = aborted is not None and aborted()
            if not gave_up and time.monotonic() < until:
                continue
            with _lock:
                request["cancelled"] = True
            if gave_up:
                raise HopFailure("the link was aborted")
            raise HopFailure("%s: no channel to %s within the connect timeout"
                             % (self.point.label(), label), True)
        if request["error"]:
            raise HopFailure("%s: channel to %s refused: %s" % (self.point.label(), label,
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
            self._thread.join(CLOSE_WAIT)

    def _wake(self):
        try:
            self._wake_write.send(b"x")
        except OSError:
            pass

    # -- the session's own thread ----------------------------------------

    def _run(self):
        try:
            remote = False
            while not self._stop:
                self._open_requested()
                busy = self._move_all(remote)
                remote = False
                if not busy and not self._held():
                    remote = self._wait()
        except Exception as error:  # the hop is lost: every link through it ends
            words = getattr(error, "args", ()) and str(error.args[0]) or type(error).__name__
            self.failure = "the session to the jump host failed: %s" % words
        finally:
            self._end()

    def _move_all(self, remote):
        """One round over the channels with something to do (all of them
        when the jump host's socket was ready: one read takes in what it
        holds, and the channels libssh2 then holds data of are read).
        Whether anything moved."""
        if remote:
            live = [f for f in self._forwards if not f.remote_done]
            for forward in live:
                if not forward.readable:
                    forward.readable = forward.channel.poll_channel_read(0) > 0 or forward.channel.eof()
            # The read that takes in what the socket holds is one that a
            # channel with room for more makes: one whose link is behind
            # reads nothing, and the others' data would wait with it.
            takers = [f for f in live if len(f.to_local) < BUFFERED]
            if takers:
                takers[0].readable = True
        moved = False
        for forward in [f for f in self._forwards if f.readable or f.local_ready or f.to_remote or f.to_local
                        or f.local_done or f.remote_done]:
            moved = self._move(forward) or moved
        return moved

    def _held(self):
        """Whether libssh2 holds data of a channel already (read from the
        socket while another channel was read or written)."""
        held = False
        for forward in self._forwards:
            if not forward.readable and not forward.remote_done and \
                    (forward.channel.poll_channel_read(0) > 0 or forward.channel.eof()):
                forward.readable = held = True
        return held

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
                self._forwards.add(_Forward(channel, None))
            elif channel is not None:
                ours, given = socket.socketpair()
                ours.setblocking(False)
                request["sock"] = HopSocket(given.family, given.type, given.proto, fileno=given.detach())
                forward = _Forward(channel, ours)
                self._selector.register(ours, selectors.EVENT_READ, forward)
                forward.events = selectors.EVENT_READ
                self._forwards.add(forward)
            request["done"].set()

    def _move(self, forward):
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
        if forward.local_ready and not forward.local_done and len(forward.to_remote) < BUFFERED:
            forward.local_ready = False
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
        if (forward.local_done and not forward.to_remote) or (forward.remote_done and not forward.to_local):
            return self._finish(forward) or moved
        self._interest(forward)
        return moved

    def _interest(self, forward):
        """What the selector waits for on the channel's socket."""
        events = selectors.EVENT_READ if not forward.local_done and len(forward.to_remote) < BUFFERED else 0
        events |= selectors.EVENT_WRITE if forward.to_local else 0
        if events == forward.events:
            return
        if not events:
            self._selector.unregister(forward.local)
        elif forward.events:
            self._selector.modify(forward.local, events, forward)
        else:
            self._selector.register(forward.local, events, forward)
        forward.events = events

    def _finish(self, forward):
        """Closes a channel whose one side is done; False while libssh2
        waits to send the close."""
        if forward.local is not None:
            if forward.events:
                self._selector.unregister(forward.local)
                forward.events = 0
            forward.local.close()
            forward.local = None
        if forward.channel.close() == EAGAIN:
            return False
        self._forwards.discard(forward)
        return True

    def _wait(self):
        """Waits for the jump host, the channels' sockets or a request;
        whether the jump host's socket was ready."""
        # The jump host's socket is read through the channels (and the one
        # being opened): with none that takes more, what it sends (a
        # keepalive's answer, or data for a link that is behind) waits, or
        # the selector would find it ready over and over.
        takes = any(not f.remote_done and len(f.to_local) < BUFFERED for f in self._forwards)
        events = selectors.EVENT_READ if takes or self._requests else 0
        events |= selectors.EVENT_WRITE if self.session.block_directions() & BLOCK_OUTBOUND else 0
        if events != self._watching:
            if not events:
                self._selector.unregister(self.sock)
            elif self._watching:
                self._selector.modify(self.sock, events)
            else:
                self._selector.register(self.sock, events)
            self._watching = events
        wait = 1.0
        if self.point.keepalive:
            wait = min(wait, max(0.05, self.session.keepalive_send()))
        remote = False
        for key, events in self._selector.select(wait):
            if key.fileobj is self.sock:
                remote = True
                _quick_ack(self.sock)
            elif key.fileobj is self._wake_read:
                try:
                    while self._wake_read.recv(256):
                        pass
                except (BlockingIOError, InterruptedError):
                    pass
            elif events & selectors.EVENT_READ:
                key.data.local_ready = True
        return remote

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
        self._forwards = set()
        self._selector.close()
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
