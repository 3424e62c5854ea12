"""The marks a cluster run keeps with the Dask scheduler, made on the
workers: each host's task marked begun before it touches its device (so that
a host is never run twice), what it has done so far, the runs
interrupted as the workers were told, and the secrets of each run, which
every worker process learns once."""
import collections
import threading

from tarvix.eal.secrets import remember
from tarvix.nornir.dask_cluster import PREFIX, RunEnded, WorkerLost

# A host's task that its run's interrupt ended before it touched the device.
NOT_BEGUN = "not begun: the run was interrupted"


class Interrupted(RunEnded):
    """A host's task came to a worker after its run was interrupted: it
    did nothing."""


def _client():
    from distributed import get_client

    return get_client()


def _here():
    """This worker's address and the key of the task it runs in this
    thread (None, None outside a task)."""
    from distributed import get_worker

    try:
        worker = get_worker()
        return worker.address, str(worker.get_current_task())
    except (ValueError, AttributeError, KeyError):
        return None, None


def begin(run, name):
    """Marks a host's task begun with the scheduler, in one step there (a
    call of the handler the notes' plugin adds, answered before the host is
    touched); None then, or when it was begun already (by a worker since
    lost, so that it must not run again) a WorkerLost telling why it
    fails."""
    from distributed import get_worker
    from distributed.utils import sync

    worker, key = _here()
    here = get_worker()
    mark = sync(here.loop, getattr(here.scheduler, BEGIN), run=run, name=name,
                mark={"done": [], "doing": None, "worker": worker, "key": key})
    if mark is None:
        return None
    if mark == ENDED:
        return RunEnded("not begun: the run had ended when it came to a worker")
    if mark == INTERRUPTED:
        return Interrupted(NOT_BEGUN)
    return WorkerLost(lost_reason(mark, "worker %s" % mark.get("worker")), mark.get("done") or ())


# The runs open on a scheduler, beside their marks: a mark made again for
# a step after its run ended does not open it again.
OPEN = PREFIX + "-open"
ENDED = "ended"


# A run interrupted: no host of it begins from then on.
INTERRUPTED = "interrupted"
# The topic of the steps the hosts' tasks note (see note), and the
# scheduler's handler that marks a host begun.
NOTES = PREFIX + "-notes"
BEGIN = PREFIX + "_begin"
# The scheduler's stream handler that passes a host's report on to the
# client that runs it, and the topic that client hears it under.
REPORT = PREFIX + "_report"
REPORTS = PREFIX + "-reports-"


class _Notes(object):
    """The scheduler's plugin that keeps the steps the workers note, sent
    as events on their batched streams (no answer waited for), in the begun
    marks of their hosts."""
    name = PREFIX + "-notes"

    def __init__(self, scheduler):
        self.scheduler = scheduler
        # The begun marks' own call: a third of what running a function on
        # the scheduler costs it.
        scheduler.handlers[BEGIN] = self.begin
        scheduler.stream_handlers[REPORT] = self.report

    def begin(self, run=None, name=None, mark=None):
        return _begin_mark(run, name, mark, dask_scheduler=self.scheduler)

    def report(self, worker=None, run=None, name=None, client=None, value=None):
        """A host's report, sent by its worker as the host ends: passed on
        to the run's client as an event of the run's topic (heard by its
        subscribe_topic), kept nowhere here; the host's mark says so, so
        that a worker lost later does not fail it."""
        mark = self.scheduler.task_metadata.get(PREFIX, {}).get(run, {}).get(name)
        if mark is not None:
            mark["ended"] = True
        comm = self.scheduler.client_comms.get(client)
        if comm is not None:
            comm.send({"op": "event", "topic": REPORTS + run, "event": (None, {"name": name, "value": value})})

    def log_event(self, topic, msg):
        if topic != NOTES:
            return
        marks = self.scheduler.task_metadata.get(PREFIX, {}).get(msg.get("run"), {})
        mark = marks.get(msg.get("name"))
        if mark is not None and not mark.get("ended"):  # a note of a host not begun, or forgotten, is dropped
            mark["done"], mark["doing"] = msg.get("done") or [], msg.get("doing")


def open_run(run, dask_scheduler=None):
    """Opens a run on the scheduler; whether it passes the hosts' reports on
    as they end (one whose plugin is older does not)."""
    from distributed.diagnostics.plugin import SchedulerPlugin

    if _Notes.name not in dask_scheduler.plugins:
        plugin = type("Notes", (_Notes, SchedulerPlugin), {})(dask_scheduler)
        dask_scheduler.add_plugin(plugin, name=_Notes.name, idempotent=True)
    dask_scheduler.task_metadata.setdefault(OPEN, {})[run] = True
    dask_scheduler.task_metadata.setdefault(PREFIX, {}).setdefault(run, {})
    return REPORT in dask_scheduler.stream_handlers


def interrupt_run(run, dask_scheduler=None):
    """Closes a run to new hosts, in one step with the scheduler: the hosts
    begun by then are all that ever will be (their names)."""
    opened = dask_scheduler.task_metadata.get(OPEN, {})
    if run in opened:
        opened[run] = INTERRUPTED
    return list(dask_scheduler.task_metadata.get(PREFIX, {}).get(run, {}))


def _begin_mark(run, name, mark, dask_scheduler=None):
    state = dask_scheduler.task_metadata.get(OPEN, {}).get(run)
    if state is None:
        return ENDED  # forgotten: whatever did this host is over
    if state == INTERRUPTED:
        return INTERRUPTED
    marks = dask_scheduler.task_metadata.setdefault(PREFIX, {}).setdefault(run, {})
    if name in marks:
        return marks[name]
    marks[name] = mark
    return None


def send_report(stream, name, value):
    """On a worker: sends a host's report (pickled: the scheduler passes it
    on unread) to the client of its run, through the scheduler, as the host
    ends; False when it cannot be pickled (it goes back with its task's
    result then)."""
    import pickle

    from distributed import get_worker

    try:
        data = pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception:
        return False
    worker = get_worker()
    worker.loop.add_callback(worker.batched_send, {"op": REPORT, "run": stream["run"], "name": name,
                                                   "client": stream["client"], "value": data})
    return True


def note(run, name, done, doing):
    """Tells the scheduler what a host has done on its device so far, and
    what it is doing now, so that a lost worker's hosts can tell it: an
    event on the worker's batched stream, not a call answered (a step
    still on its way when the worker is lost is not known there)."""
    from distributed import get_worker

    get_worker().log_event(NOTES, {"run": run, "name": name, "done": list(done), "doing": doing})


# A run's secrets, kept with the scheduler while the run lasts: each
# worker process fetches them once, not each host's task.
SECRETS = PREFIX + "-secrets"


def share_secrets(client, run, secrets):
    """Keeps a run's secrets with the scheduler until ``forget``, so that
    its workers mask them from their first record on (``learn_secrets``)."""
    client.set_metadata([SECRETS, run], sorted(secrets))


class _Learnt(object):
    """The runs whose secrets this worker process has learnt (the newest
    few hundred)."""
    lock = threading.Lock()
    runs = collections.OrderedDict()


def learn_secrets(run):
    """On a worker: masks the secrets shared for ``run`` in this process
    from now on."""
    with _Learnt.lock:
        if run in _Learnt.runs:
            return
    for secret in _client().get_metadata([SECRETS, run], None) or ():
        remember(secret)
    with _Learnt.lock:
        _Learnt.runs[run] = True
        while len(_Learnt.runs) > 256:
            _Learnt.runs.popitem(last=False)


def why_lost(error):
    """A lost worker's error in a few words."""
    worker = getattr(error, "last_worker", None)
    if worker is not None:  # a KilledWorker: its message is a page long
        return "worker %s" % getattr(worker, "address", worker)
    return " ".join(str(error).split()) or type(error).__name__


def lost_reason(mark, why):
    """Why a host failed whose worker was lost (``why``); ``mark`` is what
    it had told the scheduler."""
    done = ", ".join(mark.get("done") or []) or "nothing known"
    if mark.get("ended"):
        return ("its job ended on a Dask worker since lost, and its report did not come back (%s); done on the device: "
                "%s; not run again" % (why, done))
    text = "the Dask worker working it was lost (%s); done on the device: %s" % (why, done)
    if mark.get("doing"):
        text += "; in progress: %s, not known how far" % mark["doing"]
    return text + "; not run again"


class Stops(object):
    """The runs interrupted, as told to this worker process (the newest
    few hundred); and the hosts each run is working here."""
    lock = threading.Lock()
    stopped = collections.OrderedDict()
    working = {}
    ready = False


def working(run, host, busy=True):
    """Tells that a run's host is being worked in this process, or is no
    more."""
    with Stops.lock:
        hosts = Stops.working.setdefault(run, {})
        if busy:
            hosts[host.name] = host
        else:
            hosts.pop(host.name, None)
            if not hosts:
                del Stops.working[run]


def stop_here(run):
    """Run on every worker when a run is interrupted: its hosts not begun
    end at once, and the links of those in flight are ended.  Where this
    run alone has connections in the process, all of them are, those still
    connecting included; where other runs share the worker, only the
    connections of this run's hosts that are open."""
    from tarvix.nornir.connection import CONNECTION_NAME, abort_all

    with Stops.lock:
        Stops.stopped[run] = True
        while len(Stops.stopped) > 256:
            Stops.stopped.popitem(last=False)
        hosts = list(Stops.working.get(run, {}).values())
        alone = set(Stops.working) <= {run}
    if alone:
        abort_all()
        return
    for host in hosts:
        con = getattr(host.connections.get(CONNECTION_NAME), "connection", None)
        if con is not None:
            con.abort()


def stopped(run):
    with Stops.lock:
        return run in Stops.stopped


def forget_marks(run, dask_scheduler=None):
    dask_scheduler.task_metadata.get(OPEN, {}).pop(run, None)
    dask_scheduler.task_metadata.get(PREFIX, {}).pop(run, None)
    dask_scheduler.task_metadata.get(SECRETS, {}).pop(run, None)
