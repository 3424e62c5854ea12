"""A Nornir runner that works the hosts on a dask.distributed cluster.

Registered under Nornir's entry-point group ``nornir.plugins.runners`` as
"tarvix_dask" (``pip install "tarvix[dask]"``), so that a script chooses it
in its configuration::

    nr = InitNornir(runner={"plugin": "tarvix_dask", "options": {"workers": 4}}, ...)

With no options it starts a local cluster of worker processes on this
machine for each run and stops it afterwards; ``scheduler`` names the
address of a running one instead (``tls://...`` with ``tls_ca_file``,
``tls_cert`` and ``tls_key``, the certificate files Dask takes).

Each host's task runs on one worker, in a Nornir of that one host built
there: its connections are opened and closed in the worker's process and
none crosses one.  The results come back as Nornir's own (the task's and
its subtasks'), tied to the driver's hosts; an exception that cannot be
sent back is replaced by a ``WorkerError`` of its type and message.  The
processors of the driver see each host start and complete; those of
subtasks run on the workers and are not seen here.

A host's task is never run twice: a task is marked begun with the
scheduler before it touches its device, Dask's retries are off, and a task
that a lost worker had begun is reported failed (``WorkerLost``), not run
again elsewhere; one it had not begun is sent to another worker.

The hosts travel, with their passwords, inside the tasks' data only; the
task keys a dashboard shows name the host and the run, nothing else.
Sending passwords to a scheduler off this machine over plain ``tcp://``
is refused unless ``allow_plaintext`` is set.
"""
import asyncio
import binascii
import collections
import contextlib
import copy
import ipaddress
import logging
import os
import pickle
import threading
import time

NEEDS_DASK = 'a cluster run needs Dask: pip install "tarvix[dask]"'
# The metadata the workers keep with the scheduler: [PREFIX, run token, host].
PREFIX = "tarvix"
# How long to wait for a scheduler to answer, and for a local cluster's
# workers to start.
CONNECT_TIMEOUT = 20.0
PLAINTEXT_OPTION = "allow_plaintext"


class ClusterError(Exception):
    """The cluster cannot be reached or used: one line for the user."""


class WorkerError(Exception):
    """An exception raised on a worker that could not be sent back as it
    was: its type's name and its message."""


class WorkerLost(Exception):
    """The worker working a host was lost mid-task; what it had done on the
    device is in the message, and in ``done``.  The host was not run
    again."""

    def __init__(self, message, done=()):
        Exception.__init__(self, message)
        self.done = list(done)

    def __reduce__(self):
        return type(self), (str(self), self.done)


class RunEnded(WorkerLost):
    """A host's task came to a worker after its run had ended (an attempt
    the scheduler handed on): it did nothing."""


class Sealed(object):
    """A task's arguments on their way to a worker: Dask logs a failed
    task with its arguments' repr, and they hold the passwords."""

    def __init__(self, function, *arguments):
        self.function = function
        self.arguments = arguments

    def __repr__(self):
        return "<tarvix task %s>" % getattr(self.function, "__name__", "")

    __str__ = __repr__


def call_sealed(sealed):
    return sealed.function(*sealed.arguments)


def token():
    """A run's name among the others on a cluster."""
    return binascii.hexlify(os.urandom(6)).decode("ascii")


def task_key(kind, name, run):
    """A host's task key: what the dashboard and the scheduler's log show
    (never a password: they are in the task's data)."""
    return "%s-%s-%s" % (kind, name, run)


# -- where the cluster is -----------------------------------------------------

def _host_of(address):
    rest = address.split("://", 1)[1] if "://" in address else address
    if rest.startswith("["):
        return rest[1:].split("]", 1)[0]
    return rest.rsplit(":", 1)[0] if rest.count(":") == 1 else rest


def is_loopback(address):
    host = _host_of(address)
    if host in ("localhost", "localhost.localdomain"):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


# The schemes of a scheduler another process reaches (Dask's inproc:// is
# its own process's).
SCHEMES = ("tcp", "tls", "ws", "wss", "ucx")


def check_address(address):
    """Refuses, in one line, what is no address of a scheduler: Dask's
    client would fail on it halfway, and hang the process's exit."""
    from distributed.comm.addressing import parse_address, parse_host_port

    scheme = address.split("://", 1)[0] if "://" in address else "tcp"
    if scheme not in SCHEMES:
        raise ClusterError("%s is not a scheduler address: %s:// is none of the schemes a Dask scheduler is "
                           "reached by (%s)" % (address, scheme, ", ".join(SCHEMES)))
    try:
        location = parse_address(address)[1]
        port = 1 if scheme == "ucx" else parse_host_port(location)[1]
        if not 0 < port < 65536:
            raise ValueError("port %d out of range" % port)
    except (TypeError, ValueError) as error:
        raise ClusterError("%s is not a scheduler address: give tcp://HOST:PORT or tls://HOST:PORT (%s)"
                           % (address, " ".join(str(error).split())))


def check_scheduler(address, secrets, allow_plaintext=False):
    """Refuses what is no scheduler's address, and to send credentials
    (``secrets`` true) to a scheduler off this machine whose link is not
    encrypted."""
    check_address(address)
    scheme = address.split("://", 1)[0] if "://" in address else "tcp"
    if scheme == "tls" or not secrets or allow_plaintext or is_loopback(address):
        return
    raise ClusterError("the inventory holds passwords, and %s is reached over plain %s://, which anyone on the way "
                       "can read: use a tls:// address with the certificate options, or allow it explicitly "
                       "(--allow-plaintext-scheduler)" % (address, scheme))


def check_workers(client, secrets, allow_plaintext=False):
    """Refuses to send credentials through a scheduler whose workers are
    reached over plain tcp:// off this machine: the scheduler hands them
    the tasks' data."""
    if not secrets or allow_plaintext:
        return
    plain = sorted(address for address in client.scheduler_info().get("workers", {})
                   if not address.startswith("tls://") and not is_loopback(address))
    if plain:
        raise ClusterError("the inventory holds passwords, and the scheduler hands them to worker(s) reached over "
                           "plain tcp:// off this machine (%s), which anyone on the way can read: start the "
                           "workers with tls:// addresses, or allow it explicitly (--allow-plaintext-scheduler)"
                           % ", ".join(plain[:3] + (["..."] if len(plain) > 3 else [])))


def tls_configured():
    """Whether Dask's own configuration names the client's certificates."""
    import dask

    return bool(dask.config.get("distributed.comm.tls.client.cert", None)
                or dask.config.get("distributed.comm.tls.ca-file", None))


def has_secrets(hosts):
    """Whether any of the hosts carries a password (its own, its groups' or
    the defaults', or in a connection's options, its start command's
    included)."""
    from tarvix.eal.secrets import command_secrets

    for host in hosts:
        if host.password:
            return True
        names = set(host.connection_options)
        for group in host.groups:
            names |= set(group.connection_options)
        names |= set(host.defaults.connection_options)
        for name in names:
            params = host.get_connection_parameters(name)
            extras = params.extras or {}
            if params.password or extras.get("credentials") or extras.get("password"):
                return True
            start = extras.get("start")
            if start and command_secrets(start if isinstance(start, str) else " ".join(map(str, start))):
                return True
    return False


def security(ca_file=None, cert=None, key=None):
    """Dask's Security for the certificate files, or None without any."""
    if not (ca_file or cert or key):
        return None
    if not (ca_file and cert and key):
        raise ClusterError("a tls:// scheduler takes the CA file, the certificate and the key together")
    from distributed.security import Security

    return Security(tls_ca_file=ca_file, tls_client_cert=cert, tls_client_key=key, require_encryption=True)


class Cluster(object):
    """A client of a running scheduler, or of a local cluster of ``workers``
    processes started here (and stopped on leaving), with
    ``threads`` threads each."""

    def __init__(self, scheduler=None, workers=2, threads=1, security=None, timeout=None):
        self.scheduler = scheduler
        self.workers = workers
        self.threads = threads
        self.security = security
        self.timeout = CONNECT_TIMEOUT if timeout is None else timeout
        self.client = None
        self.local = None

    def __enter__(self):
        try:
            import dask
            from distributed import Client, LocalCluster
        except ImportError:
            raise ImportError(NEEDS_DASK)

        if self.scheduler:
            check_address(self.scheduler)
        try:
            if self.scheduler:
                self.client = Client(self.scheduler, security=self.security, timeout=self.timeout,
                                     set_as_default=False)
                try:
                    self.client.run_on_scheduler(_ready)
                except (OSError, TimeoutError, asyncio.TimeoutError):
                    raise
                except Exception as error:  # the marks of each run are kept by tarvix's code there
                    raise ClusterError("the Dask scheduler at %s cannot run tarvix's code (%s: %s): install "
                                       "tarvix on the scheduler's host too" % (self.scheduler,
                                                                               type(error).__name__, error))
            else:
                # A task is never rerun because a worker died under it: the
                # scheduler here is told so; another one is guarded by the
                # begun marks.
                # No dashboard, and the scheduler's HTTP routes on a port of
                # their own choosing: by default they take 8787, or warn when
                # it is taken.
                with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
                    self.local = LocalCluster(n_workers=self.workers, threads_per_worker=self.threads,
                                              processes=True, host="127.0.0.1", dashboard_address=None,
                                              scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                                              silence_logs=40)
                self.client = Client(self.local, timeout=self.timeout, set_as_default=False)
                self.client.wait_for_workers(self.workers, timeout=self.timeout)
        except (OSError, TimeoutError, asyncio.TimeoutError, TypeError, ValueError) as error:
            # TypeError: Dask's word for a tls:// address without certificates.
            self._close()
            why = " ".join(str(error).split()) or type(error).__name__
            if self.scheduler:
                raise ClusterError("cannot reach the Dask scheduler at %s: %s" % (self.scheduler, why))
            raise ClusterError("cannot start a local Dask cluster of %d worker(s): %s" % (self.workers, why))
        except BaseException:
            self._close()
            raise
        return self.client

    def __exit__(self, *exc):
        self._close()

    def _close(self):
        if self.client is not None:
            # A client that lost its scheduler logs the end of its attempts
            # to reconnect, traceback and all: the run has told it already.
            logger = logging.getLogger("distributed.client")
            level = logger.level
            lost = self.client.status != "running"
            if lost:
                logger.setLevel(logging.CRITICAL + 1)
            try:
                self.client.close(timeout=self.timeout)
            except Exception:
                pass
            finally:
                if lost:
                    logger.setLevel(level)
        if self.local is not None:
            try:
                self.local.close(timeout=self.timeout)
            except Exception:
                pass
        self.client = self.local = None


def _ready(dask_scheduler=None):
    return True


@contextlib.contextmanager
def scheduler_link():
    """An OSError of the link to the scheduler as one line for the user."""
    try:
        yield
    except OSError as error:
        raise ClusterError("the Dask scheduler: %s" % (" ".join(str(error).split()) or type(error).__name__))


# -- on the workers ----------------------------------------------------------

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
    """Marks a host's task begun with the scheduler, in one step there;
    None then, or when it was begun already (by a worker since lost, so
    that it must not run again) a WorkerLost telling why it fails."""
    worker, key = _here()
    mark = _client().run_on_scheduler(_begin_mark, run, name, {"done": [], "doing": None, "worker": worker,
                                                               "key": key})
    if mark is None:
        return None
    if mark == ENDED:
        return RunEnded("not begun: the run had ended when it came to a worker")
    return WorkerLost(lost_reason(mark, "worker %s" % mark.get("worker")), mark.get("done") or ())


# The runs open on a scheduler, beside their marks: a mark made again for
# a step after its run ended does not open it again.
OPEN = PREFIX + "-open"
ENDED = "ended"


def _open_run(run, dask_scheduler=None):
    dask_scheduler.task_metadata.setdefault(OPEN, {})[run] = True
    dask_scheduler.task_metadata.setdefault(PREFIX, {}).setdefault(run, {})


def _begin_mark(run, name, mark, dask_scheduler=None):
    if run not in dask_scheduler.task_metadata.get(OPEN, {}):
        return ENDED  # forgotten: whatever did this host is over
    marks = dask_scheduler.task_metadata.setdefault(PREFIX, {}).setdefault(run, {})
    if name in marks:
        return marks[name]
    marks[name] = mark
    return None


def note(run, name, done, doing):
    """Tells the scheduler what a host has done on its device so far, and
    what it is doing now, so that a lost worker's hosts can tell it."""
    worker, key = _here()
    _client().set_metadata([PREFIX, run, name], {"done": list(done), "doing": doing, "worker": worker, "key": key})


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
    from tarvix.eal.secrets import remember

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
    text = "the Dask worker working it was lost (%s); done on the device: %s" % (why, done)
    if mark.get("doing"):
        text += "; in progress: %s, not known how far" % mark["doing"]
    return text + "; not run again"


class _Stops(object):
    """The runs interrupted, as told to this worker process (the newest
    few hundred); and the hosts each run is working here."""
    lock = threading.Lock()
    stopped = collections.OrderedDict()
    working = {}
    ready = False


def working(run, host, busy=True):
    """Tells that a run's host is being worked in this process, or is no
    more."""
    with _Stops.lock:
        hosts = _Stops.working.setdefault(run, {})
        if busy:
            hosts[host.name] = host
        else:
            hosts.pop(host.name, None)
            if not hosts:
                del _Stops.working[run]


def stop_here(run):
    """Run on every worker when a run is interrupted: its hosts not begun
    end at once, and the links of those in flight are ended.  Where this
    run alone has connections in the process, all of them are, those still
    connecting included; where other runs share the worker, only the
    connections of this run's hosts that are open."""
    from tarvix.nornir.connection import CONNECTION_NAME, abort_all

    with _Stops.lock:
        _Stops.stopped[run] = True
        while len(_Stops.stopped) > 256:
            _Stops.stopped.popitem(last=False)
        hosts = list(_Stops.working.get(run, {}).values())
        alone = set(_Stops.working) <= {run}
    if alone:
        abort_all()
        return
    for host in hosts:
        con = getattr(host.connections.get(CONNECTION_NAME), "connection", None)
        if con is not None:
            con.abort()


def stopped(run):
    with _Stops.lock:
        return run in _Stops.stopped


def worker_nornir(host, config):
    """A Nornir of this one host, for the host's task on a worker."""
    from nornir.core import Nornir
    from nornir.core.inventory import Groups, Hosts, Inventory
    from nornir.core.plugins.connections import ConnectionPluginRegister
    from nornir.plugins.runners import SerialRunner

    with _Stops.lock:
        if not _Stops.ready:
            # What InitNornir does in the driver, once in each worker.
            ConnectionPluginRegister.auto_register()
            if not config.logging.enabled:
                logging.getLogger("nornir").addHandler(logging.NullHandler())
            _Stops.ready = True
    groups = Groups()
    for group in host.groups:
        groups[group.name] = group
    return Nornir(inventory=Inventory(hosts=Hosts({host.name: host}), groups=groups, defaults=host.defaults),
                  config=config, runner=SerialRunner())


def sendable(error):
    """An exception as it can travel back to the driver."""
    if error is None:
        return None
    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception:
        return WorkerError("%s: %s" % (type(error).__name__, error))


class _Subtask(object):
    """A NornirSubTaskError on its way back (it holds the task, which does
    not travel): its message, its task's name, and which of the results is
    the subtask's."""

    def __init__(self, error, index):
        self.message = str(error)
        self.task = str(error.task)
        self.index = index

    def error(self, results):
        from nornir.core.exceptions import NornirSubTaskError
        from nornir.core.task import MultiResult

        error = NornirSubTaskError.__new__(NornirSubTaskError)
        Exception.__init__(error, self.message)
        error.task = self.task
        error.result = MultiResult(self.task)
        if self.index is not None:
            error.result.append(results[self.index])
        return error


def result_fields(results):
    """A MultiResult as what travels back: each Result's attributes, its
    host left out."""
    from nornir.core.exceptions import NornirSubTaskError

    fields = []
    for result in results:
        entry = {key: value for key, value in vars(result).items() if key != "host"}
        error = entry.get("exception")
        if isinstance(error, NornirSubTaskError):
            failed = error.result[0] if len(error.result) else None
            index = next((number for number, other in enumerate(results) if other is failed), None)
            entry["exception"] = _Subtask(error, index)
        else:
            entry["exception"] = sendable(error)
        fields.append(entry)
    return fields


def results_of(host, fields):
    """The MultiResult of a host again, on the driver."""
    from nornir.core.task import MultiResult, Result

    results = MultiResult(fields[0]["name"] if fields else None)
    for entry in fields:
        entry = dict(entry)
        name = entry.pop("name", None)
        result = Result(host, **entry)
        result.name = name
        results.append(result)
    for result in results:
        if isinstance(result.exception, _Subtask):
            result.exception = result.exception.error(results)
    return results


def host_copy(host):
    """A host to send: its connections stay here."""
    clone = copy.copy(host)
    clone.connections = {}
    return clone


def run_task(run, task, name, params, dry_run, severity, config, host):
    """A host's task on a worker: the Nornir results' fields.  Nothing
    raises past it (Dask would log the task with its arguments)."""
    failed = {"name": name, "failed": True, "severity_level": logging.ERROR}
    try:
        from nornir.core.task import Result, Task

        if stopped(run):
            return [dict(failed, result="not begun: the run was interrupted")]
        lost = begin(run, host.name)
        if lost:
            return [dict(failed, result=str(lost), exception=lost)]
        working(run, host)
        try:
            nr = worker_nornir(host, config)
            results = Task(task, nr, global_dry_run=dry_run, name=name, severity_level=severity,
                           processors=nr.processors, **params).start(host)
        finally:
            try:
                host.close_connections()
            finally:
                working(run, host, busy=False)
        if not results:
            results.append(Result(host))
        return result_fields(results)
    except Exception as error:
        return [dict(failed, result="%s: %s" % (type(error).__name__, error), exception=sendable(error))]


# -- on the driver -----------------------------------------------------------

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
    ``done(name, None, None)`` too.  ``grace``: how long a host waits for a worker once none can
    take it (NO_WORKER_GRACE seconds without)."""
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
                name = pending.pop(future, None)
                if name is None:  # ended here already (interrupt, check): told then
                    continue
                try:
                    value, error, again = _outcome(client, run, name, future, interrupted is None)
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
                    continue
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


def _forget_marks(run, dask_scheduler=None):
    dask_scheduler.task_metadata.get(OPEN, {}).pop(run, None)
    dask_scheduler.task_metadata.get(PREFIX, {}).pop(run, None)
    dask_scheduler.task_metadata.get(SECRETS, {}).pop(run, None)


class DaskRunner(object):
    """Nornir's runner plugin "tarvix_dask": runs a task over the hosts, one
    host's task on a worker of a dask.distributed cluster.

    ``scheduler``: the address of a running scheduler (``tcp://`` or
    ``tls://``); without it a local cluster of ``workers`` processes of
    ``threads`` threads each is started for the run.  ``tls_ca_file``,
    ``tls_cert``, ``tls_key``: the certificate files for ``tls://``.
    ``allow_plaintext``: send passwords over plain ``tcp://`` off this
    machine all the same.  ``site_field``: an inventory field (e.g.
    "site") whose value places each host's task on the workers that offer
    the resource FIELD-VALUE (e.g. "site-lab1"); a host no worker can take
    fails at once.  ``worker_wait``: how many seconds a host waits for a
    worker once none can take it (NO_WORKER_GRACE by default)."""

    def __init__(self, scheduler=None, workers=2, threads=4, tls_ca_file=None, tls_cert=None, tls_key=None,
                 allow_plaintext=False, timeout=None, site_field=None, worker_wait=None):
        self.site_field = site_field
        self.worker_wait = worker_wait
        self.scheduler = scheduler
        self.workers = workers
        self.threads = threads
        self.security = security(tls_ca_file, tls_cert, tls_key)
        self.allow_plaintext = allow_plaintext
        self.timeout = timeout

    def run(self, task, hosts):
        from nornir.core.task import AggregatedResult, MultiResult, Result

        hosts = list(hosts)
        result = AggregatedResult(task.name)
        if not hosts:
            return result
        secrets = has_secrets(hosts)
        if self.scheduler:
            check_scheduler(self.scheduler, secrets, self.allow_plaintext)
        by_name = {host.name: host for host in hosts}
        run = token()
        processors = task.processors
        config = task.nornir.config

        with Cluster(self.scheduler, self.workers, self.threads, self.security, self.timeout) as client:
            check_workers(client, secrets, self.allow_plaintext)
            submit = Submitter(client, run, task.name, run_task, lambda name: (
                run, task.task, task.name, task.params, task.global_dry_run, task.severity_level, config,
                host_copy(by_name[name])), self.site_field, lambda name, field: by_name[name].get(field))

            def done(name, value, error):
                host = by_name[name]
                if value is not None:
                    results = results_of(host, value)
                else:
                    results = MultiResult(task.name)
                    failed = Result(host, result=str(error), exception=sendable(error), failed=True,
                                    severity_level=logging.ERROR)
                    failed.name = task.name
                    results.append(failed)
                result[name] = results
                processors.task_instance_completed(task, host, results)

            futures = {}
            for host in hosts:
                processors.task_instance_started(task, host)
                refused = submit.refused(host.name)
                if refused is not None:
                    done(host.name, None, refused)
                else:
                    futures[submit(host.name)] = host.name
            try:
                collect(client, run, futures, submit, done, grace=self.worker_wait)
            finally:
                forget(client, run)
        # In the order the hosts were given.
        ordered = AggregatedResult(task.name)
        for host in hosts:
            ordered[host.name] = result[host.name]
        return ordered
