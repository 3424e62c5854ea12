"""Where an in-process SSH link's socket comes from: a TCP connection to
the device, a channel forwarded through one jump host or several, or a
program's standard input and output (ProxyCommand).

Each hop is an SSH session opened here (its host key checked, its own user
and keys), shared through tarvix.eal.ssh.jump.  The whole way is made by the
link's one connect deadline, and what fails on the way is released as the
link's own session is (tarvix.eal.ssh.session).
"""
import copy
import errno
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

from tarvix.core.errors import LinkClosedError, LinkTimeoutError
from tarvix.eal import waits
from tarvix.eal.secrets import child_env, mask_command
from tarvix.eal.ssh import algos as sshalgos, jump as sshjump
from tarvix.eal.ssh.knownhosts import preferred_algorithms
from tarvix.eal.ssh.jump import HopFailure, HopSocket
from tarvix.eal.ssh.session import Steps, release, session_error

# Seconds a ProxyCommand program is given to end on its own once its link
# closed, then once asked to (SIGTERM) before it is killed.
PROGRAM_END = (0.2, 2)


def tcp(host, port, timeout, label=None):
    """A TCP connection to ``host``; HopFailure naming ``label`` (a hop's)
    when given, else the socket's own OSError."""
    try:
        if waits.now().elsewhere:
            sock = _connect_waiting(host, port, timeout)
        else:
            sock = socket.create_connection((host, port), timeout)
    except socket.timeout:
        if label is None:
            raise
        raise HopFailure("connect to host %s: Connection timed out" % label, True)
    except OSError as error:
        if label is None:
            raise
        raise HopFailure("connect to host %s: %s" % (label, error.strerror or error))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def _connect_waiting(host, port, timeout):
    """socket.create_connection's, its waits (the name's lookup, the
    connect) those of tarvix.eal.waits: on an event loop's thread, the
    loop goes on meanwhile."""
    deadline = time.monotonic() + timeout
    try:
        # An address needs no lookup, which might take a while.
        found = socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM, 0, socket.AI_NUMERICHOST)
    except socket.gaierror:
        found = waits.call(socket.getaddrinfo, host, port, 0, socket.SOCK_STREAM)
    error = None
    for family, kind, proto, _, address in found:
        sock = socket.socket(family, kind, proto)
        try:
            sock.setblocking(False)
            code = sock.connect_ex(address)
            if code in (errno.EINPROGRESS, errno.EAGAIN):
                if not waits.ready(sock.fileno(), False, True, deadline - time.monotonic()):
                    raise socket.timeout("timed out")
                code = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
            if code:
                raise OSError(code, os.strerror(code))
            sock.settimeout(timeout)
            return sock
        except OSError as failure:
            sock.close()
            error = failure
        except BaseException:
            sock.close()
            raise
    raise error or OSError("getaddrinfo returns an empty list")


def program(command):
    """A socket whose other end is ``command``'s standard input and output
    (run by the shell); what it writes to its standard error is kept for
    the error when the session over it fails.  Its environment is the
    process's without the variables that carry tarvix's passwords."""
    ours, given = socket.socketpair()
    errors = tempfile.TemporaryFile()
    try:
        child = subprocess.Popen(command, shell=True, stdin=ours, stdout=ours, stderr=errors,
                                 close_fds=True, start_new_session=True, env=child_env())
    except OSError as error:
        errors.close()
        ours.close()
        given.close()
        raise HopFailure("proxy command %s: %s" % (mask_command(command), error.strerror or error))
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


def connect(route, link):
    """The socket to the route's target: through its hops, its program, or
    straight, by the deadline of ``link`` (an SshSpawn connecting: its
    ``_channel`` is the sshsession.Pending); the hops' sessions are opened
    as ``link`` (see login_hop)."""
    target = route.target
    if not (route.hops or route.proxy_command):
        return tcp(target.host, target.port, max(0.01, link._channel.left()))
    # The jump sessions are shared under locks, a program is started and
    # waited on: on a thread of its own while an event loop waits.
    return waits.call(_hopped, route, link)


def _hopped(route, link):
    target, pending = route.target, link._channel
    try:
        if route.hops:
            jump = _jump(route.hops, link)
            try:
                return jump.forward(target.host, target.port, pending.deadline, lambda: pending.aborted,
                                    target.label())
            except BaseException:
                jump.release()
                raise
        if route.proxy_command:
            return program(route.proxy_command)
    except HopFailure as error:
        raise link._fail(LinkTimeoutError if error.timed_out else LinkClosedError, error.words,
                         "link closed while connecting")


def _view(link, point):
    """``link`` as it logs in to the hop ``point``: the hop's user, keys,
    passwords and known hosts; its errors name the hop."""
    view = copy.copy(link)
    view.options = dict(link.options, host_key_checking=point.policy, host_keys=point.host_keys,
                        agent=point.agent, passphrase=point.passphrase)
    view.username, view.passwords, view.key_files = point.user, point.passwords, point.key_files
    view.no_passwords = point.no_passwords
    view._fail = lambda kind, words, awaited, whole=False: link._fail(kind, "%s: %s" % (point.label(), words), awaited,
                                                                      whole)
    return view


def login_hop(link, sock, point, reconnect):
    """An authenticated session to the hop ``point`` over ``sock``, made as
    the device's link ``link`` (an SshSpawn) makes its own, by its deadline:
    its host key checked under the same policy, its own user, keys and
    passwords; errors name the hop.  ``reconnect()`` gives a fresh socket to
    the hop, to tell why it refused the key exchange.  On failure the
    session is freed and ``sock`` released."""
    from ssh2 import exceptions
    from ssh2.session import Session

    view, pending = _view(link, point), link._channel
    steps = None
    try:
        known = view._known_hosts(point.host, point.port)
        steps = Steps(Session(), sock, pending)
        steps.session.set_blocking(False)
        try:
            handshake(view, steps, point.algorithms, known, reconnect, "%s: %s" % (link.device, point.label()))
            if known is not None:
                view._check_host_key(steps.session, point.host, point.port, *known)
            view._authenticate(steps)
        except exceptions.Timeout:
            raise link._fail(LinkTimeoutError, "%s: the SSH server did not answer" % point.label(),
                             "timed out after %s s connecting" % pending.limit)
        except exceptions.SSH2Error as error:
            if pending.aborted:
                raise link._fail(LinkClosedError, "the link was aborted", "link closed while connecting")
            raise link._fail(LinkClosedError, "%s: %s" % (point.label(), session_error(steps.session, error)),
                             "link closed while connecting")
        return steps.session
    except BaseException:
        # As for a device's session: freed on its socket shut down.
        held = [steps]
        steps = None
        release(sock, held, sys.exc_info()[1])
        raise


def _probe_socket(parent, point, pending):
    """A fresh channel to ``point`` through ``parent``, held for as long as
    it is open."""
    parent = sshjump.held(parent.key)
    if parent is None:
        raise HopFailure("%s: the jump session is gone" % point.label())
    try:
        return parent.forward(point.host, point.port, pending.deadline, lambda: pending.aborted, point.label())
    except BaseException:
        parent.release()
        raise


def handshake(link, steps, lists, known, reconnect, lead):
    """The key exchange of ``steps``' session offering the algorithms of
    ``lists`` that libssh2 has, the host key algorithms of the key types
    the known hosts file holds for the host first (``known``: see
    SshSpawn._known_hosts), as the system ssh asks for them, so that the
    key recorded is the one checked.  A server that shares no algorithm
    with the link is refused in one line, after ``lead``, naming both
    sides' algorithms (read from a fresh connection, ``reconnect()``)."""
    from ssh2 import exceptions

    if known is not None and known[1]:
        lists = dict(lists, hostkeys=preferred_algorithms(lists["hostkeys"], known[1]))
    missing = sshalgos.apply(steps.session, lists, sshalgos.methods())
    if missing:
        link.log.debug("%s: algorithms this link lacks, left out: %s", link.device, ", ".join(missing))
    try:
        steps.run(steps.session.handshake, steps.sock)
    except exceptions.SSH2Error as error:
        if isinstance(error, exceptions.Timeout) or steps.pending.aborted:
            raise
        usable = dict((name, [n for n in names if n not in missing]) for name, names in lists.items())
        # The fresh connection is given what is left of the connect's time.
        left = steps.pending.left()
        why = sshalgos.probe(reconnect, usable, left) if left > 0 else None
        if why is None:
            raise
        # Whole: the two lists are the point of the message (link_message
        # would cut it to the device's last words).
        raise LinkClosedError("%s: %s\nkey exchange refused" % (lead, why))


def said(sock):
    """What the program in place of the connection said, as a suffix."""
    words = sock.words() if isinstance(sock, HopSocket) else ""
    return " (%s)" % words if words else ""


def _jump(hops, link):
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
        parent = _jump(hops[:-1], link) if len(hops) > 1 else None
        point, pending = hops[-1], link._channel
        try:
            if parent is None and point.proxy_command:
                sock = program(point.proxy_command)
            elif parent is None:
                sock = tcp(point.host, point.port, max(0.01, pending.left()), point.label())
            else:
                sock = parent.forward(point.host, point.port, pending.deadline, lambda: pending.aborted,
                                      point.label())
        except BaseException:
            if parent is not None:
                parent.release()
            raise
        if parent is None and point.proxy_command:
            reconnect = lambda: program(point.proxy_command)  # noqa: E731
        elif parent is None:
            reconnect = lambda: tcp(point.host, point.port, max(0.01, pending.left()))  # noqa: E731
        else:
            reconnect = lambda: _probe_socket(parent, point, pending)  # noqa: E731
        # A failed login releases the socket, and with it the hop before.
        session = login_hop(link, sock, point, reconnect)
        return sshjump.JumpSession(key, point, sock, session)
