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
import select
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
TURN = 0.004
_pool = []
_pool_lock = threading.Lock()
_EPOLL = getattr(select, "epoll", None)


class Worker(greenlet.greenlet):
    """A greenlet running one call of the connection's code; its parent is
    the loop's code that awaits what it hands over.  ``future``: what its
    wait for a descriptor awaits; ``admitted``: that wait's wake-up was let
    in by the loop's turns (it works at once)."""

    def __init__(self, call, turns):
        super(Worker, self).__init__(parent=greenlet.getcurrent())
        self.call = call
        self.waits = turns.waits
        self.future = self.queued = None
        self.admitted = False

    def run(self):
        function, args, kwargs = self.call
        self.call = None
        return function(*args, **kwargs)


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
    turns = _turns.get(loop)
    if turns is None:
        turns = _turns[loop] = Turns(loop)
    worker = Worker((function, args, kwargs), turns)
    await turns.wait()
    handed = turns.step(worker.switch)
    while not worker.dead:
        try:
            value = await handed
            if worker.admitted:
                worker.admitted = False
            else:
                await turns.wait()
        except BaseException:
            worker.admitted = False
            error = sys.exc_info()
            if on_cancel is not None and isinstance(error[1], asyncio.CancelledError):
                on_cancel()
            handed = turns.step(worker.throw, *error)
            error = None
        else:
            handed = turns.step(worker.switch, value)
    return handed


class Turns(object):
    """The calls' work in the turns of one event loop: at most about TURN
    seconds of it a turn (what runs in one pass of the loop from the first
    step on).  A call woken once the turn's share is spent waits in line
    for a later turn; each turn begins by letting in as many calls from the
    line as its share holds, by the time a call's step has taken of late.
    So the calls that wake together (a thousand links answering at once) do
    not hold up the loop's timers and other tasks together, and waiting in
    line costs them nothing.

    The descriptors the calls wait on are watched by an epoll of its own
    (where there is one), itself one reader of the loop: a wait then costs
    the loop no reader of its own, and a descriptor ready joins the line
    without waking its task first."""

    def __init__(self, loop):
        # Not the loop itself: the loop's entry in _turns would keep it.
        self.loop = weakref.ref(loop)
        self.began = None
        self.line = collections.deque()
        self.marked = False
        # Seconds a call's step took, on average of late.
        self.typical = 0.0005
        self.waits = LoopWaits(self)
        self.epoll = None
        self.watched = {}
        self.idle = False

    def step(self, switch, *value):
        began = time.monotonic()
        if self.began is None:
            self.began = began
            self._mark()
        try:
            return switch(*value)
        finally:
            self.typical += (time.monotonic() - began - self.typical) * 0.1

    def spent(self):
        """Seconds of the turn's share spent (its clock starts with the
        first step in it)."""
        return 0.0 if self.began is None else time.monotonic() - self.began

    async def wait(self):
        """Returns at once while the turn's share lasts and nobody waits;
        a call let in from the line finds the share spent by those before
        it goes back to the head of the line."""
        if not self.line and self.spent() <= TURN:
            return
        future = self.loop().create_future()
        self.line.append((future, None))
        self._mark()
        await future
        while self.spent() > TURN:
            future = self.loop().create_future()
            self.line.appendleft((future, None))
            self._mark()
            await future

    def wake(self, worker):
        """A descriptor that ``worker`` waits on is ready: in line (once,
        however often the loop tells it meanwhile)."""
        future = worker.future
        if future is not None and not future.done() and worker.queued is not future:
            worker.queued = future
            self.line.append((future, worker))
            self._mark()

    def _mark(self):
        if not self.marked:
            self.marked = True
            self.loop().call_soon(self._begin)

    def _begin(self):
        """Between two turns: lets in the calls the next one's share holds."""
        self.marked = False
        self.began = None
        room = max(1, int(TURN / max(self.typical, 1e-5)))
        while self.line and room:
            future, worker = self.line.popleft()
            if future.done() or worker is not None and future is not worker.future:
                continue
            if worker is not None:
                worker.admitted = True
                future.set_result(True)
            else:
                future.set_result(None)
            room -= 1
        if self.line:
            self._mark()

    def watch(self, fd, readable, writable, worker):
        """Whether ``fd`` is watched for ``worker`` by the turns' epoll (not
        where there is none, or where the descriptor is watched already)."""
        if _EPOLL is None:
            return False
        if self.epoll is None:
            self.epoll = _EPOLL()
            self.loop().add_reader(self.epoll.fileno(), self._polled)
        try:
            self.epoll.register(fd, (select.EPOLLIN | select.EPOLLPRI if readable else 0)
                                | (select.EPOLLOUT if writable else 0) | select.EPOLLONESHOT)
        except OSError:
            return False
        self.watched[fd] = worker
        return True

    def forget(self, fd, worker):
        """Ends the watch of ``fd`` for ``worker``; the epoll is closed once
        nothing has been watched for a pass of the loop."""
        # Not where the descriptor was closed meanwhile and its number,
        # made again, is another's watch now.
        if self.watched.get(fd) is worker:
            del self.watched[fd]
            try:
                self.epoll.unregister(fd)
            except (OSError, ValueError):  # closed meanwhile: the kernel let go of it
                pass
        if not self.watched and not self.idle:
            self.idle = True
            self.loop().call_soon(self._close_idle)

    def _polled(self):
        watched = self.watched
        for fd, _ in self.epoll.poll(0):
            worker = watched.get(fd)
            if worker is not None:
                self.wake(worker)

    def _close_idle(self):
        self.idle = False
        if not self.watched and self.epoll is not None:
            loop = self.loop()
            if loop is not None and not loop.is_closed():
                loop.remove_reader(self.epoll.fileno())
            self.epoll.close()
            self.epoll = None


_turns = weakref.WeakKeyDictionary()


def _expire(future):
    if not future.done():
        future.set_result(False)


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
    """The waits of the Workers of one loop: on the loop."""

    elsewhere = True

    def __init__(self, turns):
        self.turns = turns

    def owner(self):
        """This call (the Worker running)."""
        return greenlet.getcurrent()

    def ready(self, fd, readable=True, writable=False, timeout=None):
        if timeout is not None and timeout <= 0:
            return poll_ready(fd, readable, writable, 0) if readable or writable else False
        turns = self.turns
        loop = turns.loop()
        worker = greenlet.getcurrent()
        future = worker.future = loop.create_future()
        watched = (readable or writable) and turns.watch(fd, readable, writable, worker)
        if not watched:
            if readable:
                loop.add_reader(fd, turns.wake, worker)
            if writable:
                loop.add_writer(fd, turns.wake, worker)
        timer = None if timeout is None else loop.call_later(timeout, _expire, future)
        try:
            return hand_over(future)
        finally:
            worker.future = worker.queued = None
            if watched:
                turns.forget(fd, worker)
            else:
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
            return hand_over(asyncio.wrap_future(future, loop=self.turns.loop()))
        except BaseException:
            future.add_done_callback(_dispose)
            raise
