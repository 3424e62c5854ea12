"""The driver's side of a cluster run: the hosts' tasks submitted, their
outcomes collected, and the hosts the scheduler will not see through (begun
on a worker since lost, or that no worker can take) ended."""
import asyncio
import collections
import itertools
import pickle
import time

from tarvix.nornir.dask_cluster import (PREFIX, ClusterError, Sealed, WorkerError, WorkerLost, call_sealed,
                                        task_key)
from tarvix.nornir.dask_marks import (REPORTS, forget_marks, interrupt_run, open_run, lost_reason, send_report,
                                      stop_here, why_lost)

LOST_SCHEDULER = "lost the connection to the Dask scheduler; what it did on the device is not known"
NOT_SENT = "not begun: the connection to the Dask scheduler was lost before it was sent"
NO_WORKER = "not begun: no worker of the cluster is left that can take it"
# How long a host may wait for a worker once none can take it (a worker
# restarted by its nanny on a loaded machine, or an adaptive cluster
# scaling up from none, comes in that time), and how often the scheduler
# is asked.
NO_WORKER_GRACE = 30.0
CHECK_EVERY = 1.0
GONE_WITH_WORKER = ("finished on a worker since lost, or not sent back in time; its report went with it, and "
                    "what it did on the device is not known")
# How long a finished host's report may take to come back.
RESULT_WAIT = 60.0
REPORT_LOST = ("its report was sent back through the Dask scheduler and did not arrive; what it did on the device "
               "is not known")


# The most hosts one task works, one after another: a task costs the
# scheduler a few messages whatever it holds, a host of it one (its begun
# mark).
GROUP_MOST = 32


def group_size(hosts, slots):
    """How many hosts a task works: enough groups that each of the
    ``slots`` (hosts worked at once) is handed about two (the last ones
    end about together), none over GROUP_MOST."""
    return max(1, min(GROUP_MOST, -(-hosts // (max(1, slots) * 2))))


def collect(client, run, futures, submit, done, stop=None, told=None, grace=None, queued=(), window=None,
            size=1):
    """Waits for the hosts' futures ({future: tuple of host names}, a task
    works its hosts one after another) and hands each host's outcome to
    ``done(name, value, error)``, once; the hosts ``queued`` (names) are
    submitted as the others end, ``size`` to a task, so that no more than
    ``window`` tasks are in flight at once (all at once without), and so no
    more than ``window`` hosts worked at once.  A host whose worker was
    lost before it began is submitted again (``submit(names)`` gives the new
    future); one it had begun gets a WorkerLost, at once, whatever the
    scheduler does with its task; one no worker is left to take fails.
    When ``stop`` (an Event) is set, the run is closed with the scheduler
    (no host begins after), the workers end the hosts in flight, the hosts
    not begun are given ``done(name, None, None)`` and their tasks
    cancelled; ``told()`` is called once then.  ``grace``: how long a task
    waits for a worker once none can take it (NO_WORKER_GRACE seconds
    without)."""
    from distributed import as_completed

    state = _Collecting(client, run, futures, submit, done, grace)
    later = _Queued(queued, window, submit, size)
    state.listen()
    # Told of each future as it ends, without a look at every other one.
    ended = as_completed(list(state.pending), loop=client.loop, with_results=False)
    state.ended = ended
    interrupted = None
    checked = time.monotonic()
    try:
        while state.pending or later.names:
            if stop is not None and stop.is_set() and interrupted is None:
                interrupted = time.monotonic()
                later.drop(state.finish, None)
                state.interrupt()
                if told is not None:
                    told()
                continue
            if interrupted is None:
                later.fill(state.pending, ended)
            if interrupted is not None and time.monotonic() - interrupted > 1.0:
                # Again and again: a host that was about to open its link when
                # told is ended too.
                interrupted = time.monotonic()
                _tell_workers(client, run)
            if time.monotonic() - checked > CHECK_EVERY:
                checked = time.monotonic()
                state.check()
            batch = ended.next_batch(block=False)
            state.drain()
            if not batch:
                time.sleep(0.02)
                continue
            for future in batch:
                state.take(future, interrupted is None)
    except _Gone:  # the scheduler is gone
        state.gone(later)
    finally:
        state.listen(False)


class _Queued(object):
    """The hosts of a run not submitted yet, ``size`` to a task, and how
    many of its tasks may be in flight at once (None: any number)."""

    def __init__(self, names, window, submit, size=1):
        self.names = collections.deque(names)
        self.window = window
        self.submit = submit
        self.size = max(1, size)

    def fill(self, pending, ended):
        """Submits tasks while there is room in the window."""
        while self.names and (self.window is None or len(pending) < self.window):
            names = self.next()
            future = _gone_on(OSError, self.submit, names)
            for _ in names:
                self.names.popleft()
            pending[future] = names
            ended.add(future)

    def next(self):
        """The next task's hosts: up to ``size``, all of one place."""
        place = getattr(self.submit, "place_of", lambda name: None)
        first = place(self.names[0])
        names = []
        for name in itertools.islice(self.names, self.size):
            if place(name) != first:
                break
            names.append(name)
        return tuple(names)

    def drop(self, done, error):
        """Ends the hosts not submitted, with ``done(name, None, error)``."""
        while self.names:
            done(self.names.popleft(), None, error)


class _Collecting(object):
    """The tasks of a run in flight ({future: its hosts' names}), and the
    hosts told already (a task's other hosts may still be worked)."""

    def __init__(self, client, run, futures, submit, done, grace):
        self.client = client
        self.run = run
        self.pending = dict(futures)
        self.submit = submit
        self.done = done
        self.grace = grace
        self.told = set()
        self.waited = {}
        self.ended = None
        # The hosts' reports heard, not yet told (appended by the client's
        # thread, taken by this one).
        self.inbox = collections.deque()

    def finish(self, name, value, error):
        if name not in self.told:
            self.told.add(name)
            self.done(name, value, error)

    def untold(self, names):
        return [name for name in names if name not in self.told]

    def listen(self, on=True):
        """Hears each host's report as it ends, through the scheduler (see
        send_report), or no more."""
        topic = REPORTS + self.run
        if on:
            _gone_on(OSError, self.client.subscribe_topic, topic, lambda event: self.inbox.append(event[1]))
            return
        try:
            self.client.unsubscribe_topic(topic)
        except Exception:
            pass

    def gone(self, later):
        """The scheduler is gone: the hosts not told fail."""
        self.drain()
        for names in list(self.pending.values()):
            for name in names:
                self.finish(name, None, ClusterError(LOST_SCHEDULER))
        later.drop(self.finish, ClusterError(NOT_SENT))

    def drain(self):
        """Tells the hosts whose reports have come."""
        while self.inbox:
            message = self.inbox.popleft()
            try:
                value, error = pickle.loads(message["value"]), None
            except Exception as failure:
                value, error = None, WorkerError("its report cannot be read here: %s: %s"
                                                 % (type(failure).__name__, failure))
            self.finish(message["name"], value, error)

    def take(self, future, resubmit):
        """One ended future: its hosts told, or those not begun submitted
        again (``resubmit``), or waited for again."""
        names = self.pending.pop(future, None)
        if names is None:  # ended here already (interrupt, check): told then
            return
        # Its hosts' reports came before its end, on the same stream.
        self.drain()
        try:
            outcomes, again = _outcome(self.client, self.run, self.untold(names), future)
        except _Gone:
            self.pending[future] = names  # told with the others
            raise
        if outcomes is _NOT_YET:
            # Its result went with its worker before it was taken: the check
            # tells its hosts' end (their marks say how far they came), or
            # the scheduler runs it again, which finds the marks.
            self.pending[future] = names
            self.ended.add(future)
            return
        # Once taken, a result is let go: a worker lost later does not make
        # the scheduler work its hosts again.
        future.release()
        for name, (value, error) in outcomes.items():
            self.finish(name, value, error)
        if not again:
            return
        if not resubmit:
            for name in again:
                self.finish(name, None, None)
            return
        try:
            future = _gone_on(OSError, self.submit, tuple(again))
        except Exception:
            self.pending[future] = tuple(again)  # told with the others
            raise _Gone()
        self.pending[future] = tuple(again)
        self.ended.add(future)

    def check(self):
        """Ends the hosts the scheduler will not see through: those begun on
        a worker since lost (given to another one by the scheduler, or
        waiting for one), and those of tasks no worker has been able to take
        for ``grace`` seconds."""
        client = self.client
        if client.status != "running":  # reconnecting: its futures tell
            return
        try:
            lost, keys = client.run_on_scheduler(_stuck, self.run)
        except OSError:
            raise _Gone()
        except Exception:  # asked again in a second; a scheduler without tarvix is refused at connect
            return
        keys = set(keys)
        now = time.monotonic()
        for key in list(self.waited):
            if key not in keys:
                del self.waited[key]
        grace = NO_WORKER_GRACE if self.grace is None else self.grace
        waiting = [key for key in keys if now - self.waited.setdefault(key, now) >= grace]
        if not lost and not waiting:
            return
        for name, mark in lost.items():
            self.finish(name, None, WorkerLost(lost_reason(mark, "worker %s" % mark.get("worker")),
                                               mark.get("done") or ()))
        by_key = {str(future.key): future for future in self.pending}
        for key in waiting:
            future = by_key.get(key)
            for name in self.pending.get(future, ()):
                self.finish(name, None, ClusterError(NO_WORKER))
        # A task whose hosts are all told is let go.
        over = [future for future, names in self.pending.items() if not self.untold(names)]
        if over:
            _gone_on(OSError, client.cancel, over)
        for future in over:
            del self.pending[future]

    def interrupt(self):
        """Closes the run with the scheduler (a host's task that comes to
        begin after is refused there, so the hosts begun by then are all
        that ever will be), tells every worker, and ends the hosts not
        begun; a task none of whose hosts had begun is cancelled."""
        begun = set(_gone_on(OSError, self.client.run_on_scheduler, interrupt_run, self.run))
        _tell_workers(self.client, self.run)
        idle = []
        for future, names in self.pending.items():
            for name in names:
                if name not in begun:
                    self.finish(name, None, None)
            if not self.untold(names):
                idle.append(future)
        if idle:
            _gone_on(OSError, self.client.cancel, idle)
        for future in idle:
            del self.pending[future]
        # Those begun on a worker lost: at once.
        self.check()


class _Gone(Exception):
    """The link to the scheduler is lost (told apart from an OSError of the
    driver's own, e.g. in writing a host's files)."""


def _gone_on(errors, function, *arguments):
    try:
        return function(*arguments)
    except errors:  # CommClosedError among them
        raise _Gone()


# An ended future whose outcome is not to be had yet (see _outcome).
_NOT_YET = object()


def _outcome(client, run, names, future):
    """A task's ended future as ({host: (value, error)}, the hosts not
    begun, to submit again), or (_NOT_YET, None) for one whose result was
    lost with its worker since it ended."""
    from distributed.client import FutureCancelledError

    status = future.status
    if status == "finished":
        try:
            # Those streamed as they ended are told already.
            values = dict(_result(future))
            return {name: (values[name], None) if name in values else (None, ClusterError(REPORT_LOST))
                    for name in names}, ()
        except OSError:
            raise _Gone()
        except FutureCancelledError:
            return _all(names, ClusterError(LOST_SCHEDULER)), ()
        except _Lost as error:
            return _all(names, ClusterError(error.args[0])), ()
        except Exception as error:
            return _all(names, error), ()
    if status == "cancelled":
        # Not by this run (those are out of pending): the client lost its
        # scheduler, and cancelled every future.
        return _all(names, ClusterError(LOST_SCHEDULER)), ()
    if status != "error":
        return _NOT_YET, None
    error = _gone_on(OSError, future.exception)
    if not _is_lost(error):
        return _all(names, error), ()
    marks = _gone_on(OSError, client.get_metadata, [PREFIX, run], None) or {}
    outcomes = {name: (None, WorkerLost(lost_reason(marks[name], why_lost(error)), marks[name].get("done") or ()))
                for name in names if name in marks}
    return outcomes, [name for name in names if name not in marks]


def _all(names, error):
    return {name: (None, error) for name in names}


class _Lost(Exception):
    pass


def _result(future):
    """A finished future's value, waited for RESULT_WAIT seconds at most
    (its worker may have gone with it and no other one be left)."""
    # One fetch, not one a second: a large report over a slow link may
    # take more than a second to come.
    try:
        return future.result(timeout=RESULT_WAIT)
    except (TimeoutError, asyncio.TimeoutError):
        raise _Lost(GONE_WITH_WORKER)


def _is_lost(error):
    from distributed.scheduler import KilledWorker

    return isinstance(error, KilledWorker)


def _stuck(run, dask_scheduler=None):
    """On the scheduler: {host: its mark} of this run's hosts begun on a
    worker no more there, whose task is not ended; and the keys of its
    tasks that no worker can take now."""
    marks = dask_scheduler.task_metadata.get(PREFIX, {}).get(run, {})
    lost = {}
    for name, mark in marks.items():
        worker = mark.get("worker")
        # (A host whose report was sent on is told by it.)
        if worker is None or worker in dask_scheduler.workers or mark.get("ended"):
            continue
        task = dask_scheduler.tasks.get(mark.get("key"))
        if task is not None and task.state not in ("memory", "erred"):
            lost[name] = mark
    # Waiting for a worker: those no worker can take, and those queued
    # while there is no worker at all.
    waiting = list(getattr(dask_scheduler, "unrunnable", ()))
    if not dask_scheduler.workers:
        waiting += list(getattr(dask_scheduler, "queued", ()))
    suffix = "-" + run
    return lost, [str(task.key) for task in waiting if suffix in str(task.key)]


def site_resource(field, value):
    """The worker resource that the hosts whose inventory ``field`` is
    ``value`` ask for: workers near them offer it (``dask worker
    --resources "site-lab1=1000"``)."""
    return "%s-%s" % (field, value)


def offered(client):
    """The worker resources that some worker of the cluster offers now."""
    return set(client.run_on_scheduler(_offered))


def _offered(dask_scheduler=None):
    return [name for name, workers in dask_scheduler.resources.items() if workers]


def unplaced(resource, field):
    """Why a host whose ``field`` asks for ``resource`` is not run."""
    if resource is None:
        return ClusterError("its inventory has no %s, which places it on a worker" % field)
    return ClusterError("no worker of the cluster offers the resource %s (dask worker --resources \"%s=N\")"
                        % (resource, resource))


def _tell_workers(client, run):
    try:
        client.run(stop_here, run)
    except Exception:  # a worker gone: its hosts are told by their futures
        pass


class Submitter(object):
    """Submits the hosts' tasks of a run: ``function`` with the arguments
    ``arguments(name)`` gives, sealed, under a key that names the host and
    the run (``kind`` first), a new one for each attempt.  With ``field``,
    each host asks for the worker resource of its ``value(name, field)``."""

    def __init__(self, client, run, kind, function, arguments, field=None, value=None):
        self.client = client
        self.run = run
        self.kind = kind
        self.function = function
        self.arguments = arguments
        self.field = field
        self.attempts = {}
        self.places = {}
        self.available = offered(client) if field else None
        self.value = value
        # Before any task: a host's task begins only while its run is open.
        # Each host's report is sent as it ends where the scheduler passes
        # it on (an unknown message would end the worker's link to it).
        streams = client.run_on_scheduler(open_run, run)
        self.stream = {"run": run, "client": client.id} if streams is True else None

    def place(self, name):
        if name not in self.places:
            value = self.value(name, self.field)
            self.places[name] = None if value is None else site_resource(self.field, value)
        return self.places[name]

    def place_of(self, name):
        """The worker resource a host asks for, or None."""
        return self.place(name) if self.field else None

    def refused(self, name):
        """Why a host cannot be placed on a worker, or None."""
        if not self.field or self.place(name) in self.available:
            return None
        return unplaced(self.place(name), self.field)

    def __call__(self, names):
        """Submits a task that works ``names`` (hosts of one place), one
        after another."""
        first = names[0]
        attempt = self.attempts[first] = self.attempts.get(first, 0) + 1
        key = task_key(self.kind, first, self.run) + ("-%d" % len(names) if len(names) > 1 else "")
        key += "-%d" % attempt if attempt > 1 else ""
        work = [(name, self.arguments(name)) for name in names]
        return self.client.submit(call_sealed, Sealed(work_group, self.function, work, self.stream), key=key,
                                  pure=False, retries=0, resources={self.place(first): 1} if self.field else None)


def work_group(function, work, stream=None):
    """On a worker: a task's hosts, one after another (``function`` raises
    nothing), each host's value sent to ``stream``'s client as it ends;
    those that could not be sent as [(name, value)]."""
    kept = []
    for name, arguments in work:
        value = function(*arguments)
        if stream is None or not send_report(stream, name, value):
            kept.append((name, value))
    return kept


def forget(client, run):
    """Drops a run's marks and secrets from the scheduler."""
    if client.status != "running":
        return
    try:
        client.run_on_scheduler(forget_marks, run)
    except Exception:
        pass
