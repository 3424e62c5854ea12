"""Where an in-process SSH link's socket comes from: a TCP connection to
the device, a channel forwarded through one jump host or several, or a
program's standard input and output (ProxyCommand).

Each hop is an SSH session opened here (its host key checked, its own user
and keys), shared through tarvix.eal.sshjump.
"""
import copy
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback

from tarvix.core.errors import LinkClosedError, LinkTimeoutError
from tarvix.eal import sshalgos, sshjump
from tarvix.eal.sshjump import HopFailure, HopSocket

# Seconds a ProxyCommand program is given to end on its own once its link
# closed, then once asked to (SIGTERM) before it is killed.
PROGRAM_END = (0.2, 2)
where = sshjump.where


def tcp(host, port, timeout, name=None):
    """A TCP connection to ``host``; HopFailure naming ``name`` (a hop's)
    when given, else the socket's own OSError."""
    try:
        sock = socket.create_connection((host, port), timeout)
    except socket.timeout:
        if name is None:
            raise
        raise HopFailure("%s: connect to host %s: Connection timed out" % (name, where(host, port)), True)
    except OSError as error:
        if name is None:
            raise
        raise HopFailure("%s: connect to host %s: %s" % (name, where(host, port), error.strerror or error))
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

    def signal_group(number):
        try:
            os.killpg(child.pid, number)
        except OSError:  # ended already
            pass

    def release():
        # The program runs in a session of its own: its group is ended.
        for number, wait in ((None, PROGRAM_END[0]), (signal.SIGTERM, PROGRAM_END[1]), (signal.SIGKILL, None)):
            if number is not None:
                signal_group(number)
            try:
                child.wait(wait)
                break
            except subprocess.TimeoutExpired:
                continue
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
                return jump.forward(target.host, target.port, until, lambda: link._channel.aborted)
            except BaseException:
                jump.release()
                raise
        if route.proxy_command:
            return program(route.proxy_command)
    except HopFailure as error:
        raise link._fail(LinkTimeoutError if error.timed_out else LinkClosedError, error.words,
                         "link closed while connecting")
    return tcp(target.host, target.port, timeout)


def login_hop(link, sock, point, seconds, reconnect):
    """An authenticated session (blocking) to the hop ``point`` over
    ``sock``, made as the device's link ``link`` (an SshSpawn) makes its
    own: its host key checked under the same policy, its own user, keys and
    passwords; errors name the hop.  ``reconnect()`` gives a fresh socket to
    the hop, to tell why it refused the key exchange."""
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
            try:
                session.handshake(sock)
            except exceptions.SSH2Error as error:
                _refused(link, point, error, reconnect, seconds)
                raise
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


def _refused(link, point, error, reconnect, seconds):
    """Raises the one line for a key exchange that ``point`` refused for
    want of a shared algorithm; returns when that is not why it failed."""
    from ssh2 import exceptions

    if isinstance(error, exceptions.Timeout) or link._channel.aborted:
        return
    why = sshalgos.probe(reconnect, point.algorithms, seconds)
    if why is not None:
        raise LinkClosedError("%s: %s: %s port %d: %s\nkey exchange refused"
                              % (link.device, point.name, point.host, point.port, why))


def _probe_socket(parent, point, until):
    """A fresh channel to ``point`` through ``parent``, held for as long as
    it is open."""
    parent = sshjump.held(parent.key)
    if parent is None:
        raise HopFailure("%s: the jump session is gone" % point.name)
    try:
        return parent.forward(point.host, point.port, until)
    except BaseException:
        parent.release()
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
    jump = sshjump.held(key)
    if jump is not None:
        return jump
    with sshjump.opening(key):
        jump = sshjump.held(key)
        if jump is not None:
            return jump
        parent = _jump(hops[:-1], until, link) if len(hops) > 1 else None
        point = hops[-1]
        try:
            if parent is None:
                sock = tcp(point.host, point.port, max(0.1, until - time.monotonic()), point.name)
            else:
                sock = parent.forward(point.host, point.port, until)
        except BaseException:
            if parent is not None:
                parent.release()
            raise
        if parent is None:
            reconnect = lambda: tcp(point.host, point.port, max(0.1, until - time.monotonic()))  # noqa: E731
        else:
            reconnect = lambda: _probe_socket(parent, point, until)  # noqa: E731
        try:
            session = login_hop(link, sock, point, max(0.1, until - time.monotonic()), reconnect)
        except BaseException:
            sock.close()
            raise
        return sshjump.JumpSession(key, point, sock, session)
