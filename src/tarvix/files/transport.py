"""SFTP and SCP over a FileSession (tarvix.files.sessions): a file sent or
fetched piece by piece on the session's non-blocking libssh2 calls, summed
as it goes, ``progress(sent, total)`` called at least once a second, and
failing only when nothing moves for the copy's stall limit."""
import time

from tarvix.core.errors import FileTransferError
from tarvix.eal import waits
from tarvix.files.local import PIECE

try:
    from ssh2 import exceptions as _ssh2_errors
    from ssh2.error_codes import LIBSSH2_ERROR_EAGAIN
    from ssh2.session import LIBSSH2_SESSION_BLOCK_INBOUND, LIBSSH2_SESSION_BLOCK_OUTBOUND
    from ssh2.sftp import LIBSSH2_FXF_CREAT, LIBSSH2_FXF_READ, LIBSSH2_FXF_TRUNC, LIBSSH2_FXF_WRITE
except ImportError:  # pragma: no cover - see tarvix.files.sessions.NEEDS_SSH2
    _ssh2_errors = None

# Seconds a handle's or a channel's close is waited for: what it wrote is
# the server's already (the device's sum proves it), what it read is here.
CLOSE_WAIT = 5
# Seconds between progress calls at most, and between looks at the stall.
TICK = 0.5
# The SFTP status codes, as the servers word them.
SFTP_WORDS = {1: "end of file", 2: "No such file or directory", 3: "Permission denied", 4: "Failure",
              5: "Bad message", 6: "No connection", 7: "Connection lost", 8: "Operation unsupported",
              11: "File already exists", 14: "No space left on device", 15: "Quota exceeded"}


class NoSftpChannel(Exception):
    """The session opened no SFTP channel."""


class Watch(object):
    """The progress of one copy: bytes ``sent`` of ``total``, the time the
    last bytes moved, the caller's ``progress`` and the CLI link's
    ``keepalive`` called as time goes."""

    def __init__(self, total, progress=None, stall=60, keepalive=None):
        self.total, self.progress, self.stall, self.keepalive = total, progress, stall, keepalive
        self.sent = 0
        self.started = self.last_move = time.monotonic()
        self._called = None

    def moved(self, count):
        self.sent += count
        self.last_move = time.monotonic()
        self.tick()

    def tick(self, last=False):
        now = time.monotonic()
        if last or self._called is None or now - self._called >= TICK:
            self._called = now
            if self.keepalive is not None:
                self.keepalive()
            if self.progress is not None:
                self.progress(self.sent, self.total)

    def left(self):
        return self.last_move + self.stall - time.monotonic()


class Transport(object):
    """The copy's calls on one FileSession, for ``device``."""

    def __init__(self, files, watch, device, cancelled=None):
        self.files, self.watch, self.device = files, watch, device
        self.session = files.session
        # Whether the copy's connection was aborted (from another thread).
        self.cancelled = cancelled or (lambda: False)

    def fail(self, words):
        return FileTransferError("%s: %s" % (self.device, words))

    def check(self):
        if self.files.aborted or self.cancelled():
            raise self.fail("the copy was aborted (its SSH session ended)")

    def wait(self):
        self.check()
        left = self.watch.left()
        if left <= 0:
            # Whatever the session had in flight stays unanswered: nothing
            # more is asked of it.
            self.files.broken = True
            raise self.fail("the copy made no progress for %s s (%d of %d bytes moved)"
                            % (self.watch.stall, self.watch.sent, self.watch.total))
        directions = self.session.block_directions()
        # A call that would block on nothing (its answer is in libssh2's
        # buffers already) is made again at once.  (poll, or the event
        # loop of tarvix.aio: see tarvix.eal.waits.)
        waits.ready(self.files.sock.fileno(), bool(directions & LIBSSH2_SESSION_BLOCK_INBOUND or not directions),
                    bool(directions & LIBSSH2_SESSION_BLOCK_OUTBOUND), min(left, TICK) if directions else 0.001)
        self.watch.tick()

    def run(self, call, *args):
        """A libssh2 call, again while it would block; its result."""
        while True:
            result = call(*args)
            if result == LIBSSH2_ERROR_EAGAIN or (result is None and self.session.last_errno() == LIBSSH2_ERROR_EAGAIN):
                self.wait()
                continue
            return result

    def words(self, error, sftp=None):
        """The server's words for a failed call."""
        if sftp is not None:
            try:
                code = sftp.last_error()
            except Exception:  # noqa: BLE001 - the session is gone
                code = 0
            if code:
                return SFTP_WORDS.get(code, "SFTP error %d" % code)
        try:
            said = self.session.last_error()
        except Exception:  # noqa: BLE001
            said = ""
        said = said.decode("utf-8", "replace") if isinstance(said, bytes) else said
        return said.strip() or str(error) or type(error).__name__

    # -- SFTP --------------------------------------------------------------

    def sftp(self):
        """The session's SFTP channel, opened once per FileSession."""
        channel = getattr(self.files, "sftp", None)
        if channel is None:
            channel = self.run(self.session.sftp_init)
            if not hasattr(channel, "open"):
                # libssh2's code, not raised, where the server refused the
                # subsystem (in some runs): no SFTP.
                raise NoSftpChannel("libssh2 error %s" % channel)
            self.files.sftp = channel
        return channel

    def sftp_put(self, source, path, mode=0o644, digest=None):
        sftp = self.sftp()
        try:
            handle = self.run(sftp.open, path, LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, mode)
        except _ssh2_errors.SSH2Error as error:
            raise self.fail("cannot write %s: %s" % (path, self.words(error, sftp)))
        try:
            for piece in iter(lambda: source.read(PIECE), b""):
                if digest is not None:
                    digest.update(piece)
                self._write(handle.write, piece)
        except _ssh2_errors.SSH2Error as error:
            raise self.fail("writing %s failed: %s" % (path, self.words(error, sftp)))
        finally:
            _close(self, handle)

    def _write(self, write, piece):
        self.check()
        while piece:
            rc, written = write(piece)
            if written:
                piece = piece[written:]
                self.watch.moved(written)
            if rc == LIBSSH2_ERROR_EAGAIN:
                self.wait()
            elif rc < 0:
                raise self.fail("the SSH session failed (libssh2 error %d)" % rc)

    def sftp_size(self, path):
        """The size of ``path`` on the SFTP server, None when it is not
        there."""
        sftp = self.sftp()
        try:
            return self.run(sftp.stat, path).filesize
        except _ssh2_errors.SSH2Error:
            return None

    def sftp_get(self, path, target, digest=None):
        sftp = self.sftp()
        try:
            handle = self.run(sftp.open, path, LIBSSH2_FXF_READ, 0)
        except _ssh2_errors.SSH2Error as error:
            raise self.fail("cannot read %s: %s" % (path, self.words(error, sftp)))
        try:
            while True:
                rc, data = handle.read(PIECE)
                if rc == LIBSSH2_ERROR_EAGAIN:
                    self.wait()
                elif rc < 0:
                    raise self.fail("reading %s failed (libssh2 error %d)" % (path, rc))
                elif rc == 0:
                    return
                else:
                    target.write(data[:rc])
                    if digest is not None:
                        digest.update(data[:rc])
                    self.watch.moved(rc)
        except _ssh2_errors.SSH2Error as error:
            raise self.fail("reading %s failed: %s" % (path, self.words(error, sftp)))
        finally:
            _close(self, handle)

    def sftp_remove(self, path):
        self.run(self.sftp().unlink, path)

    def sftp_rename(self, source, target):
        self.run(self.sftp().rename, source, target)

    # -- SCP ---------------------------------------------------------------

    def scp_put(self, source, path, size, mode=0o644, digest=None):
        now = int(time.time())
        try:
            channel = self.run(self.session.scp_send64, path, mode, size, now, now)
        except _ssh2_errors.SSH2Error as error:
            raise self.fail("scp cannot write %s: %s" % (path, self.words(error)))
        try:
            for piece in iter(lambda: source.read(PIECE), b""):
                if digest is not None:
                    digest.update(piece)
                self._write(channel.write, piece)
            self.run(channel.send_eof)
            self.run(channel.wait_eof)
        except _ssh2_errors.SSH2Error as error:
            raise self.fail("scp writing %s failed: %s" % (path, self.words(error)))
        finally:
            _close(self, channel)

    def scp_get(self, path, target, digest=None):
        """Fetches ``path`` into ``target``; its size."""
        try:
            channel, info = self.run(self.session.scp_recv2, path)
        except (_ssh2_errors.SSH2Error, TypeError) as error:
            raise self.fail("scp cannot read %s: %s" % (path, self.words(error)))
        size = info.st_size
        self.watch.total = size
        try:
            while self.watch.sent < size:
                rc, data = channel.read(min(PIECE, size - self.watch.sent))
                if rc == LIBSSH2_ERROR_EAGAIN:
                    self.wait()
                elif rc < 0:
                    raise self.fail("scp reading %s failed (libssh2 error %d)" % (path, rc))
                elif rc == 0 and channel.eof():
                    raise self.fail("scp: %s ended after %d of %d bytes" % (path, self.watch.sent, size))
                elif rc == 0:
                    self.wait()
                else:
                    target.write(data[:rc])
                    if digest is not None:
                        digest.update(data[:rc])
                    self.watch.moved(rc)
        except _ssh2_errors.SSH2Error as error:
            raise self.fail("scp reading %s failed: %s" % (path, self.words(error)))
        finally:
            _close(self, channel)
        return size


def _close(transport, thing):
    """Closes an SFTP handle or a channel, waiting CLOSE_WAIT at most, not
    failing: the copy's own error (or result) stands.  In blocking mode for
    the call: libssh2's non-blocking close of an SFTP handle left the
    server's answer unread in the socket, and waited for it to the limit,
    in most runs."""
    watch = transport.watch
    moved, stall = watch.last_move, watch.stall
    watch.last_move, watch.stall = time.monotonic(), CLOSE_WAIT
    try:
        if transport.files.aborted:
            return
        session = transport.session
        session.set_timeout(int(CLOSE_WAIT * 1000))
        session.set_blocking(True)
        try:
            thing.close()
        finally:
            session.set_blocking(False)
            session.set_timeout(0)
    except Exception:  # noqa: BLE001 - best effort
        pass
    finally:
        watch.last_move, watch.stall = moved, stall
