"""The program behind a link: started on a pseudo-terminal of its own, as
the leader of its own session, without a copy of this process; killed and
collected when it is given up or has ended.  Its terminal is waited on with
poll (descriptors of any number), or on the event loop of tarvix.aio (see
tarvix.eal.waits)."""
import os
import shutil
import signal
import struct
import subprocess
import threading

import pexpect
import ptyprocess

from tarvix.eal import fdlimit, waits

_setsid = []
_setsid_lock = threading.Lock()


def _setsid_ctty():
    """The util-linux ``setsid`` that can hand its program the terminal on
    its standard input as the controlling terminal (``-c``), or None."""
    with _setsid_lock:
        if not _setsid:
            path = shutil.which("setsid") if hasattr(os, "posix_spawn") else None
            if path:
                try:
                    usage = subprocess.run([path, "--help"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                           timeout=5).stdout
                except (OSError, subprocess.SubprocessError):
                    usage = b""
                if b"--ctty" not in usage:
                    path = None
            _setsid.append(path)
        return _setsid[0]


def _inherited_descriptors():
    """The descriptors above 2 that a program started now would inherit
    (those another part of the process made inheritable)."""
    try:
        names = os.listdir("/proc/self/fd")
    except OSError:
        names = os.listdir("/dev/fd")
    found = []
    for name in names:
        fd = int(name)
        if fd > 2:
            try:
                if os.get_inheritable(fd):
                    found.append(fd)
            except OSError:
                pass  # the directory's own descriptor, closed since
    return found


def kill_program(pid):
    """Kills and collects a program started for a link that is given up."""
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    try:
        os.waitpid(pid, 0)
    except ChildProcessError:
        pass


class LinkProcess(pexpect.spawn):
    """pexpect's spawn, but the program starts without a copy of this
    process: a fork of a large, many-threaded interpreter is paid under its
    lock, and runs Python in the copy until the exec, so that links opened
    by many threads at once start one after the other.  Here the program
    is started with posix_spawn through ``setsid -c``, which gives it a
    session of its own with the pseudo-terminal as its controlling terminal
    (as a forked child gets it); where that is not at hand, or options ask
    for code to run in the child, pexpect's own start is used.

    Either way the program gets its terminal and no other descriptor of
    this process, also none made inheritable elsewhere (pexpect's own start
    closes them in the child; here they are closed by the spawn); and a
    failure once the program runs kills it."""

    def __init__(self, command, args=(), **options):
        options.setdefault("use_poll", True)
        super(LinkProcess, self).__init__(command, list(args), **options)

    def read_nonblocking(self, size=1, timeout=-1):
        """pexpect's read, its wait for the terminal handed to the event
        loop when one drives the link."""
        if timeout == -1:
            timeout = self.timeout
        if timeout != 0 and not self.closed:
            current = waits.now()
            if current.elsewhere:
                current.ready(self.child_fd, timeout=timeout)
                timeout = 0
        return super(LinkProcess, self).read_nonblocking(size, timeout)

    def _spawn(self, command, args=[], preexec_fn=None, dimensions=None):
        try:
            super(LinkProcess, self)._spawn(command, args, preexec_fn, dimensions)
            fdlimit.room_for(self.child_fd)
        except BaseException:
            proc = getattr(self, "ptyproc", None)
            if proc is not None:
                kill_program(proc.pid)
                _close_terminal(proc)
            raise

    def _spawnpty(self, args, env=None, cwd=None, dimensions=(24, 80), echo=True, preexec_fn=None, **options):
        setsid = _setsid_ctty() if echo and preexec_fn is None and cwd is None and not options else None
        if setsid is None:
            return super(LinkProcess, self)._spawnpty(args, env=env, cwd=cwd, dimensions=dimensions, echo=echo,
                                                       preexec_fn=preexec_fn, **options)
        import fcntl
        import termios

        master, slave = os.openpty()
        pid = proc = None
        try:
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", dimensions[0], dimensions[1], 0, 0))
            actions = [(os.POSIX_SPAWN_DUP2, slave, fd) for fd in (0, 1, 2)]
            if hasattr(os, "POSIX_SPAWN_CLOSEFROM"):
                actions.append((os.POSIX_SPAWN_CLOSEFROM, 3))
            else:
                actions += [(os.POSIX_SPAWN_CLOSE, fd) for fd in _inherited_descriptors()]
            pid = os.posix_spawn(setsid, [setsid, "-c"] + list(args), os.environ if env is None else env,
                                 file_actions=actions, setsigdef=(signal.SIGPIPE,))
            proc = ptyprocess.PtyProcess(pid, master)
            proc.argv = args
            proc.env = env
            return proc
        except BaseException:
            if pid is not None:
                kill_program(pid)
            if proc is None:
                os.close(master)
            else:  # the terminal object owns the descriptor now
                _close_terminal(proc)
            raise
        finally:
            os.close(slave)


def _close_terminal(proc):
    """Closes a ptyprocess object's terminal through the object that owns
    the descriptor, so that nothing closes the number again later (by then
    perhaps another link's)."""
    try:
        proc.fileobj.close()
    except OSError:
        pass
    proc.closed = True


def reap_program(proc, block):
    """Collects the exit status of a link's program (a ptyprocess object)
    once it has ended; returns whether it has."""
    if proc.terminated:
        return True
    try:
        pid, status = os.waitpid(proc.pid, 0 if block else os.WNOHANG)
    except ChildProcessError:
        proc.terminated = True
        return True
    if pid == 0:
        return False
    proc.status = status
    if os.WIFEXITED(status):
        proc.exitstatus, proc.signalstatus = os.WEXITSTATUS(status), None
    elif os.WIFSIGNALED(status):
        proc.exitstatus, proc.signalstatus = None, os.WTERMSIG(status)
    else:
        return False
    proc.terminated = True
    return True
