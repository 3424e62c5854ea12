"""One libssh2 session of an in-process SSH link while it connects, a
device's or a jump host's: its steps run to the link's own deadline, the
link's abort seen meanwhile, and the session freed on its socket shut down.
"""
import math
import socket
import threading
import time
import traceback

from tarvix.eal import waits

try:
    from ssh2 import exceptions as _ssh2_errors
    from ssh2.error_codes import LIBSSH2_ERROR_EAGAIN
    from ssh2.session import LIBSSH2_SESSION_BLOCK_INBOUND, LIBSSH2_SESSION_BLOCK_OUTBOUND
except ImportError:  # the link is unavailable (see tarvix.eal.ssh.link)
    _ssh2_errors = None

# Seconds between looks at whether the link was aborted while a session
# whose socket the abort does not end (a jump host's) connects.
ABORT_CHECK = 0.1


class Pending(object):
    """The link while it connects: what ``abort`` needs before the channel
    exists, and the connect's ``deadline`` (time.monotonic()) for its
    ``limit`` seconds."""

    def __init__(self, limit):
        self.lock = threading.Lock()
        self.sock = None
        self.closed = False
        self.aborted = False
        self.limit = limit
        self.deadline = time.monotonic() + limit

    def set_limit(self, limit):
        """Makes the connect's limit ``limit`` seconds from its start."""
        self.deadline += limit - self.limit
        self.limit = limit

    def left(self):
        """The seconds left before the deadline (0 past it)."""
        return max(0.0, self.deadline - time.monotonic())

    def abort(self):
        with self.lock:
            self.aborted = True
            if self.sock is not None and not self.closed:
                try:
                    self.sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass


class Steps(object):
    """Runs the steps of a non-blocking session while it connects, each
    until it is done, waiting for its socket at most until the deadline of
    ``pending`` (a Pending): past it, the library's Timeout."""

    def __init__(self, session, sock, pending):
        self.session = session
        self.sock = sock
        self.pending = pending

    @property
    def deadline(self):
        return self.pending.deadline

    def run(self, call, *args):
        session = self.session
        while True:
            result = call(*args)
            # A step that gives an object gives None while it waits.
            if result != LIBSSH2_ERROR_EAGAIN and (result is not None or session.userauth_authenticated()
                                                   or session.last_errno() != LIBSSH2_ERROR_EAGAIN):
                return result
            wait = self.deadline - time.monotonic()
            if wait <= 0:
                raise _ssh2_errors.Timeout()
            if self.sock is not self.pending.sock:
                # An abort ends the link's own socket only.
                wait = min(wait, ABORT_CHECK)
            directions = session.block_directions()
            waits.ready(self.sock.fileno(), bool(directions & LIBSSH2_SESSION_BLOCK_INBOUND or not directions),
                        bool(directions & LIBSSH2_SESSION_BLOCK_OUTBOUND), wait)
            if self.pending.aborted:
                raise _ssh2_errors.SocketDisconnectError()

    def blocking(self, call, *args):
        """A step that the library runs blocking only (the agent's): timed
        by libssh2, to the millisecond asked but counted in whole seconds."""
        wait = self.deadline - time.monotonic()
        if wait <= 0:
            raise _ssh2_errors.Timeout()
        self.session.set_timeout(max(1, int(math.ceil(wait * 1000))))
        self.session.set_blocking(True)
        try:
            return call(*args)
        finally:
            self.session.set_blocking(False)


def release(sock, held=(), error=None):
    """Closes the socket of a session that is gone, or going with
    ``held``, its last references, and the frames that ``error`` (and the
    errors it replaced) passed through.  libssh2 still reads and writes a
    session's socket when it frees the session (closing what the close
    above left unfinished), so the session goes first, on a socket shut
    down: its descriptor, once closed, may be a newer link's at once, and
    that link's session would be broken by the old one's bytes.  A jump
    channel's or a program's socket lets go of what carries it on close."""
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    while error is not None:
        traceback.clear_frames(error.__traceback__)
        error = error.__context__
    if held:
        del held[:]
    sock.close()


def words(error):
    """What an ssh2-python error says, as text."""
    for arg in getattr(error, "args", ()):
        if isinstance(arg, bytes):
            arg = arg.decode("utf-8", "replace")
        if isinstance(arg, str) and arg.strip():
            return arg.strip()
    return ""


def session_error(session, error):
    """The server's or libssh2's words for a failed session step."""
    said = words(error)
    if not said:
        try:
            said = session.last_error()
            if isinstance(said, bytes):
                said = said.decode("utf-8", "replace")
        except Exception:  # the session may be unusable by then
            said = ""
    name = type(error).__name__
    if isinstance(error, (_ssh2_errors.SocketDisconnectError, _ssh2_errors.SocketRecvError)):
        return "Connection closed by the remote host%s" % (" (%s)" % said if said else "")
    return said or name
