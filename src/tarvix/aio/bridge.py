"""The connection's own code run over an event loop: each call in a
greenlet of its own, which hands every wait (a link's descriptor, a pause,
a call that blocks) to the loop and sleeps until the loop has its answer.

``run(function, *args)`` is the coroutine that runs a call so.  Between two
waits the call runs on the loop's thread; while it waits, the loop serves
everything else.  Through tarvix.eal.waits every wait of the links, the
brokers and the state machines asks which code is running: a greenlet of
this module waits on the loop, any other code on its own thread, as before.
"""
import asyncio
import collections
import concurrent.futures
import functools
import sys
import threading
import time
import weakref

import greenlet

from tarvix.eal import waits
from tarvix.eal.waits import poll_ready

# Threads for the calls that block (ssh -G, the known hosts files): a few
# for the whole process, however many links wait.
THREADS = 4
# Seconds of the calls' work in one turn of the event loop, after which
# the calls that are ready wait for the next turn (one call's step between
# two waits is not cut).
TURN = 0.01
_pool = []
_pool_lock = threading.Lock()


class Worker(greenlet.greenlet):
    """A greenlet running one call of the connection's code; its parent is
    the loop's code that awaits what it hands over."""

    def __init__(self, function, loop):
        super(Worker, self).__init__(function, greenlet.getcurrent())
        self.waits = LoopWaits(loop)


def _current():
    running = greenlet.getcurrent()
    return running.waits if isinstance(running, Worker) else None


waits.use(_current)


def hand_over(awaitable):
    """Called in a Worker: awaits ``awaitable`` on the loop and returns
    its result (raises its exception, or the CancelledError of the task)."""
    return greenlet.getcurrent().parent.switch(awaitable)


async def run(function, *args, **kwargs):
    """Runs ``function(*args, **kwargs)`` over the running loop and returns
    what it returns.  The keyword ``on_cancel``, a function, is called at
    once when the task awaiting this is cancelled, before the cancellation
    reaches the call (to end its links, so that whatever it then does on
    them fails at once)."""
    on_cancel = kwargs.pop("on_cancel", None)
    loop = asyncio.get_running_loop()
    turn = _turns.get(loop)
    if turn is None:
        turn = _turns[loop] = Turns(loop)
    worker = Worker(functools.partial(function, *args, **kwargs), loop)
    await turn.wait()
    handed = turn.step(worker.switch)
    while not worker.dead:
        try:
            value = await handed
            await turn.wait()
        except BaseException:
            error = sys.exc_info()
            if on_cancel is not None and isinstance(error[1], asyncio.CancelledError):
                on_cancel()
            handed = worker.throw(*error)
        else:
            handed = turn.step(worker.switch, value)
    return handed


class Turns(object):
    """The calls' work in the turns of one event loop: at most about TURN
    seconds of it a turn.  A call woken (its link ready) once the turn's
    share is spent waits in line for a later turn; each turn begins by
    letting in as many calls from the line as its share holds, by the time
    a call's step has taken of late.  So the calls that wake together (a
    thousand links answering at once) do not hold up the loop's timers and
    other tasks together, and waiting in line costs them nothing."""

    def __init__(self, loop):
        self.loop = loop
        self.began = time.monotonic()
        self.line = collections.deque()
        self.marked = False
        # Seconds a call's step took, on average of late.
        self.typical = 0.0005

    def step(self, switch, *value):
        began = time.monotonic()
        try:
            return switch(*value)
        finally:
            self.typical += (time.monotonic() - began - self.typical) * 0.1

    async def wait(self):
        """Returns at once while the turn's share lasts and nobody waits;
        a call let in from the line finds the share spent by those before
        it goes back to the head of the line."""
        if not self.line and self._spent() <= TURN:
            return
        future = self.loop.create_future()
        self.line.append(future)
        self._mark()
        await future
        while self._spent() > TURN:
            future = self.loop.create_future()
            self.line.appendleft(future)
            self._mark()
            await future

    def _spent(self):
        """Seconds of the turn's share spent (its clock starts with the
        first call that works in it)."""
        now = time.monotonic()
        if self.began is None:
            self.began = now
        return now - self.began

    def _mark(self):
        if not self.marked:
            self.marked = True
            self.loop.call_soon(self._begin)

    def _begin(self):
        """First in a turn: lets in the calls its share holds."""
        self.marked = False
        self.began = None
        room = max(1, int(TURN / max(self.typical, 1e-5)))
        while self.line and room:
            future = self.line.popleft()
            if not future.done():
                future.set_result(None)
                room -= 1
        if self.line:
            self._mark()


_turns = weakref.WeakKeyDictionary()


def pool():
    """The executor of the calls that block (made on first use)."""
    with _pool_lock:
        if not _pool:
            _pool.append(concurrent.futures.ThreadPoolExecutor(THREADS, thread_name_prefix="tarvix-aio"))
        return _pool[0]


def _dispose(future):
    """Closes what a call on a thread gave after its caller stopped
    waiting (a socket)."""
    if future.cancelled() or future.exception() is not None:
        return
    close = getattr(future.result(), "close", None)
    if close is not None:
        close()


class LoopWaits(waits.Waits):
    """The waits of a Worker: on the loop."""

    elsewhere = True

    def __init__(self, loop):
        self.loop = loop

    def owner(self):
        """This call (the Worker's own)."""
        return self

    def ready(self, fd, readable=True, writable=False, timeout=None):
        if timeout is not None and timeout <= 0:
            return poll_ready(fd, readable, writable, 0) if readable or writable else False
        loop = self.loop
        future = loop.create_future()

        def wake(value=True):
            if not future.done():
                future.set_result(value)

        if readable:
            loop.add_reader(fd, wake)
        if writable:
            loop.add_writer(fd, wake)
        timer = None if timeout is None else loop.call_later(timeout, wake, False)
        try:
            return hand_over(future)
        finally:
            if readable:
                loop.remove_reader(fd)
            if writable:
                loop.remove_writer(fd)
            if timer is not None:
                timer.cancel()

    def sleep(self, seconds):
        hand_over(asyncio.sleep(max(seconds, 0)))

    def call(self, function, *args):
        """On a thread of the pool."""
        future = pool().submit(function, *args)
        try:
            return hand_over(asyncio.wrap_future(future, loop=self.loop))
        except BaseException:
            future.add_done_callback(_dispose)
            raise
