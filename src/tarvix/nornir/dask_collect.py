"""The driver's side of a cluster run: the hosts' tasks submitted, their
outcomes collected, and the hosts the scheduler will not see through (begun
on a worker since lost, or that no worker can take) ended."""
import asyncio
import collections
import time

from tarvix.nornir.dask_cluster import PREFIX, ClusterError, Sealed, WorkerLost, call_sealed, task_key
from tarvix.nornir.dask_marks import _forget_marks, _open_run, lost_reason, stop_here, why_lost

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


def collect(client, run, futures, submit, done, stop=None, told=None, grace=None, queued=(), window=None):
    """Waits for the hosts' futures ({future: host name}) and hands each
    outcome to ``done(name, value, error)``; the hosts ``queued`` (names)
    are submitted as the others end, so that no more than ``window`` are in
    flight at once (all at once without).  A host whose worker was lost
    before it began its task is submitted again (``submit(name)`` gives its
    new future); one it had begun gets a WorkerLost, at once, whatever the
    scheduler does with its task; one no worker is left to take fails.
    When ``stop`` (an Event) is set, the workers end the hosts in flight,
    the hosts not begun are cancelled and given ``done(name, None, None)``;
    ``told()`` is called once then; the hosts still queued get
    ``done(name, None, None)`` too.  ``grace``: how long a host waits for a
    worker once none can take it (NO_WORKER_GRACE seconds without)."""
    from distributed import as_completed

    pending = dict(futures)
    later = _Queued(queued, window, submit)
    # Told of each future as it ends, without a look at every other one:
    # a run may have tens of thousands in flight.
    ended = as_completed(list(pending), loop=client.loop, with_results=False)
    interrupted = None
    checked = time.monotonic()
    waited = {}
    try:
        while pending or later.names:
            if stop is not None and stop.is_set() and interrupted is None:
                interrupted = time.monotonic()
                later.drop(done, None)
                _interrupt(client, run, pending, done, waited, grace)
                if told is not None:
                    told()
                continue
            if interrupted is None:
                later.fill(pending, ended)
            if interrupted is not None and time.monotonic() - interrupted > 1.0:
                # Again and again: a host that was about to open its link when
                # told is ended too.
                interrupted = time.monotonic()
                _tell_workers(client, run)
            if time.monotonic() - checked > CHECK_EVERY:
                checked = time.monotonic()
                _check(client, run, pending, done, waited, grace)
            batch = ended.next_batch(block=False)
            if not batch:
                time.sleep(0.05)
                continue
            for future in batch:
                _take(client, run, pending, ended, future, submit, done, interrupted is None)
    except _Gone:  # the scheduler is gone
        for name in list(pending.values()):
            done(name, None, ClusterError(LOST_SCHEDULER))
        later.drop(done, ClusterError(NOT_SENT))


class _Queued(object):
    """The hosts of a run not submitted yet, and how many of its hosts may
    be in flight at once (None: any number)."""

    def __init__(self, names, window, submit):
        self.names = collections.deque(names)
        self.window = window
        self.submit = submit

    def fill(self, pending, ended):
        """Submits hosts while there is room in the window."""
        while self.names and (self.window is None or len(pending) < self.window):
            name = self.names[0]
            future = _gone_on(OSError, self.submit, name)
            self.names.popleft()
            pending[future] = name
            ended.add(future)

    def drop(self, done, error):
        """Ends the hosts not submitted, with ``done(name, None, error)``."""
        while self.names:
            done(self.names.popleft(), None, error)


def _take(client, run, pending, ended, future, submit, done, resubmit):
    """One ended future of ``collect``: its host told done, or submitted
    again (``resubmit``: a host not begun may be), or waited for again."""
    name = pending.pop(future, None)
    if name is None:  # ended here already (interrupt, check): told then
        return
    try:
        value, error, again = _outcome(client, run, name, future, resubmit)
    except _Gone:
        pending[future] = name  # told with the others
        raise
    if again is _NOT_YET:
        # Its result went with its worker before it was taken:
        # the check tells the host's end (its mark says how far
        # it came), or the scheduler runs it again, which finds
        # the mark and touches nothing.
        pending[future] = name
        ended.add(future)
        return
    # Once taken, a result is let go: a worker lost later does
    # not make the scheduler work the host again.
    future.release()
    if again:
        try:
            future = _gone_on(OSError, submit, name)
        except Exception:
            pending[future] = name  # told with the others
            raise _Gone()
        pending[future] = name
        ended.add(future)
    else:
        done(name, value, error)


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


def _outcome(client, run, name, future, resubmit):
    """A host's ended future as (value, error, whether to submit it
    again), or (None, None, _NOT_YET) for one whose result was lost with
    its worker since it ended."""
    from distributed.client import FutureCancelledError

    status = future.status
    if status == "finished":
        try:
            return _result(future), None, False
        except OSError:
            raise _Gone()
        except FutureCancelledError:
            return None, ClusterError(LOST_SCHEDULER), False
        except _Lost as error:
            return None, ClusterError(error.args[0]), False
        except Exception as error:
            return None, error, False
    if status == "cancelled":
        # Not by this run (those are out of pending): the client lost its
        # scheduler, and cancelled every future.
        return None, ClusterError(LOST_SCHEDULER), False
    if status != "error":
        return None, None, _NOT_YET
    error = _gone_on(OSError, future.exception)
    if not _is_lost(error):
        return None, error, False
    mark = _gone_on(OSError, client.get_metadata, [PREFIX, run, name], None)
    if mark is None:
        return None, None, resubmit  # not begun: again, or interrupted
    return None, WorkerLost(lost_reason(mark, why_lost(error)), mark.get("done") or ()), False


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


def _check(client, run, pending, done, waited, grace=None):
    """Ends the hosts the scheduler will not see through: those begun on a
    worker since lost (given to another one by the scheduler, or waiting
    for one), and those no worker has been able to take for
    ``grace`` seconds (``waited``: {key: since when})."""
    if client.status != "running":  # reconnecting: its futures tell
        return
    try:
        lost, keys = client.run_on_scheduler(_stuck, run)
    except OSError:
        raise _Gone()
    except Exception:  # asked again in a second; a scheduler without tarvix is refused at connect
        return
    keys = set(keys)
    now = time.monotonic()
    for key in list(waited):
        if key not in keys:
            del waited[key]
    waiting = []
    for key in keys:
        if now - waited.setdefault(key, now) >= (NO_WORKER_GRACE if grace is None else grace):
            waiting.append(key)
    if not lost and not waiting:
        return
    by_name = {name: future for future, name in pending.items()}
    by_key = {str(future.key): future for future in pending}
    ending = {}
    for name, mark in lost.items():
        future = by_name.get(name)
        if future is not None:
            ending[future] = WorkerLost(lost_reason(mark, "worker %s" % mark.get("worker")), mark.get("done") or ())
    for key in waiting:
        future = by_key.get(key)
        if future is not None and future not in ending:
            ending[future] = ClusterError(NO_WORKER)
    if ending:
        _gone_on(OSError, client.cancel, list(ending))
    for future, error in ending.items():
        done(pending.pop(future), None, error)


def _stuck(run, dask_scheduler=None):
    """On the scheduler: {host: its mark} of this run's hosts begun on a
    worker no more there, whose task is not ended; and the keys of its
    tasks that no worker can take now."""
    marks = dask_scheduler.task_metadata.get(PREFIX, {}).get(run, {})
    lost = {}
    for name, mark in marks.items():
        worker = mark.get("worker")
        if worker is None or worker in dask_scheduler.workers:
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


def _interrupt(client, run, pending, done, waited, grace=None):
    """Tells every worker the run is interrupted, then cancels the hosts
    that had not begun (a task that begins after the workers were told
    ends without touching its device, so none of those did anything)."""
    _tell_workers(client, run)
    begun = _gone_on(OSError, client.get_metadata, [PREFIX, run], {}) or {}
    idle = [future for future, name in pending.items() if name not in begun and not future.done()]
    if idle:
        _gone_on(OSError, client.cancel, idle)
    for future in idle:
        done(pending.pop(future), None, None)
    # Those begun on a worker lost: at once.
    _check(client, run, pending, done, waited, grace)


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
        client.run_on_scheduler(_open_run, run)

    def place(self, name):
        if name not in self.places:
            value = self.value(name, self.field)
            self.places[name] = None if value is None else site_resource(self.field, value)
        return self.places[name]

    def refused(self, name):
        """Why a host cannot be placed on a worker, or None."""
        if not self.field or self.place(name) in self.available:
            return None
        return unplaced(self.place(name), self.field)

    def __call__(self, name):
        attempt = self.attempts[name] = self.attempts.get(name, 0) + 1
        key = task_key(self.kind, name, self.run) + ("-%d" % attempt if attempt > 1 else "")
        return self.client.submit(call_sealed, Sealed(self.function, *self.arguments(name)), key=key, pure=False,
                                  retries=0, resources={self.place(name): 1} if self.field else None)


def forget(client, run):
    """Drops a run's marks and secrets from the scheduler."""
    if client.status != "running":
        return
    try:
        client.run_on_scheduler(_forget_marks, run)
    except Exception:
        pass
