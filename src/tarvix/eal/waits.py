"""How a link waits: for its descriptor to be ready, for a pause, or for a
call that blocks (a program that answers a lookup, a file read).

By default a link waits on the thread that uses it, with ``poll``, which
takes descriptors of any number (``select`` fails on those above 1023, and
a process holding thousands of links has them).  Code that tarvix.aio runs
over an event loop waits on the loop instead: ``use(current)`` names what
tells the waits of the code running now (None: this thread's own), and
every wait here asks it.
"""
import math
import select
import threading
import time

_READ = select.POLLIN | select.POLLPRI
_WRITE = select.POLLOUT


def poll_ready(fd, readable=True, writable=False, timeout=None):
    """Waits on this thread, at most ``timeout`` seconds (None: for as long
    as it takes), until ``fd`` is ready in a direction asked (an error or a
    hang-up counts as ready); returns whether it is.  Asked neither, it
    only waits."""
    events = (_READ if readable else 0) | (_WRITE if writable else 0)
    if not events:
        if timeout is None:
            raise ValueError("a wait for nothing needs a timeout")
        time.sleep(max(timeout, 0))
        return False
    poller = select.poll()
    poller.register(fd, events)
    # Rounded up: a wait cut short to 0 ms would only look again at once.
    wait = None if timeout is None else max(int(math.ceil(timeout * 1000)), 0)
    return bool(poller.poll(wait))


class Waits(object):
    """The waits of code run on its own thread: they block that thread."""

    elsewhere = False

    def owner(self):
        """Who holds a TakingTurns taken now: this thread."""
        return threading.get_ident()

    def ready(self, fd, readable=True, writable=False, timeout=None):
        return poll_ready(fd, readable, writable, timeout)

    def sleep(self, seconds):
        time.sleep(max(seconds, 0))

    def call(self, function, *args):
        """``function(*args)``, which may block for a while."""
        return function(*args)


HERE = Waits()
_current = [lambda: None]


def use(current):
    """``current()`` tells from now on the Waits of the code running when
    it is called, or None for its thread's own (tarvix.aio gives the one of
    the code it runs over its event loop)."""
    _current[0] = current


def now():
    """The Waits of the code running now."""
    return _current[0]() or HERE


def ready(fd, readable=True, writable=False, timeout=None):
    """Whether ``fd`` became ready in a direction asked within ``timeout``
    seconds (None: no limit): see poll_ready."""
    return now().ready(fd, readable, writable, timeout)


def sleep(seconds):
    now().sleep(seconds)


def call(function, *args):
    """Runs ``function(*args)``, a call that may block (a program run, a
    file read): on this thread, or on another while an event loop waits."""
    return now().call(function, *args)


class TakingTurns(object):
    """A re-entrant lock (``with``) held by the code running: a thread, or
    a call that tarvix.aio runs over an event loop (several of which share
    the loop's thread).  A thread waits for its turn blocked, a call on an
    event loop while the loop goes on."""

    # How often a call on an event loop looks whether its turn came.
    LOOK_EVERY = 0.01

    def __init__(self):
        self._free = threading.Condition(threading.Lock())
        self._owner = None
        self._depth = 0

    def __enter__(self):
        current = now()
        me = current.owner()
        while True:
            with self._free:
                while self._owner not in (None, me) and not current.elsewhere:
                    self._free.wait()
                if self._owner in (None, me):
                    self._owner = me
                    self._depth += 1
                    return self
            current.sleep(self.LOOK_EVERY)

    def __exit__(self, *exc):
        with self._free:
            self._depth -= 1
            if not self._depth:
                self._owner = None
                self._free.notify_all()
