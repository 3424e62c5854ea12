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
import binascii
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
    device is in the message.  The host was not run again."""


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


def check_scheduler(address, secrets, allow_plaintext=False):
    """Refuses to send credentials (``secrets`` true) to a scheduler off this
    machine whose link is not encrypted."""
    scheme = address.split("://", 1)[0] if "://" in address else "tcp"
    if scheme == "tls" or not secrets or allow_plaintext or is_loopback(address):
        return
    raise ClusterError("the inventory holds passwords, and %s is reached over plain %s://, which anyone on the way "
                       "can read: use a tls:// address with the certificate options, or allow it explicitly "
                       "(--allow-plaintext-scheduler)" % (address, scheme))


def tls_configured():
    """Whether Dask's own configuration names the client's certificates."""
    import dask

    return bool(dask.config.get("distributed.comm.tls.client.cert", None)
                or dask.config.get("distributed.comm.tls.ca-file", None))


def has_secrets(hosts):
    """Whether any of the hosts carries a password (its own, its groups' or
    the defaults', or in a connection's options)."""
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

        try:
            if self.scheduler:
                self.client = Client(self.scheduler, security=self.security, timeout=self.timeout,
                                     set_as_default=False)
            else:
                # A task is never rerun because a worker died under it: the
                # scheduler here is told so; another one is guarded by the
                # begun marks.
                with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
                    self.local = LocalCluster(n_workers=self.workers, threads_per_worker=self.threads,
                                              processes=True, host="127.0.0.1", dashboard_address=None,
                                              silence_logs=40)
                self.client = Client(self.local, timeout=self.timeout, set_as_default=False)
                self.client.wait_for_workers(self.workers, timeout=self.timeout)
        except (OSError, TimeoutError, TypeError, ValueError) as error:
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
            try:
                self.client.close(timeout=self.timeout)
            except Exception:
                pass
        if self.local is not None:
            try:
                self.local.close(timeout=self.timeout)
            except Exception:
                pass
        self.client = self.local = None


# -- on the workers ----------------------------------------------------------

def _client():
    from distributed import get_client

    return get_client()


def begin(run, name):
    """Marks a host's task begun with the scheduler; None then, or when it
    was begun already (by a worker since lost, so that it must not run
    again) the reason it fails."""
    client = _client()
    mark = client.get_metadata([PREFIX, run, name], None)
    if mark is not None:
        return lost_reason(mark, "its task was begun there, and is given to no other")
    client.set_metadata([PREFIX, run, name], {"done": [], "doing": None})
    return None


def note(run, name, done, doing):
    """Tells the scheduler what a host has done on its device so far, and
    what it is doing now, so that a lost worker's hosts can tell it."""
    _client().set_metadata([PREFIX, run, name], {"done": list(done), "doing": doing})


def lost_reason(mark, error):
    """Why a host failed whose worker was lost; ``mark`` is what it had
    told the scheduler."""
    done = ", ".join(mark.get("done") or []) or "nothing known"
    worker = getattr(error, "last_worker", None)
    if worker is not None:  # a KilledWorker: its message is a page long
        why = "worker %s" % getattr(worker, "address", worker)
    else:
        why = " ".join(str(error).split()) or type(error).__name__
    text = "the Dask worker working it was lost (%s); done on the device: %s" % (why, done)
    if mark.get("doing"):
        text += "; in progress: %s, not known how far" % mark["doing"]
    return text + "; not run again"


class _Stops(object):
    """The runs interrupted, as told to this worker process; and the hosts
    each run is working here."""
    lock = threading.Lock()
    stopped = set()
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
        _Stops.stopped.add(run)
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


def run_task(run, task, name, params, dry_run, config, host):
    """A host's task on a worker: the Nornir results' fields."""
    from nornir.core.task import Result, Task

    if stopped(run):
        return [{"name": name, "result": "not begun: the run was interrupted", "failed": True}]
    lost = begin(run, host.name)
    if lost:
        return [{"name": name, "failed": True, "result": lost, "exception": WorkerLost(lost)}]
    nr = worker_nornir(host, config)
    try:
        results = Task(task, nr, global_dry_run=dry_run, name=name, processors=nr.processors, **params).start(host)
    finally:
        host.close_connections()
    if not results:
        results.append(Result(host))
    return result_fields(results)


# -- on the driver -----------------------------------------------------------

def collect(client, run, futures, submit, done, stop=None, told=None):
    """Waits for the hosts' futures ({future: host name}) and hands each
    outcome to ``done(name, value, error)``.  A host whose worker was lost
    before it began its task is submitted again (``submit(name)`` gives its
    new future); one it had begun gets a WorkerLost.  When ``stop`` (an
    Event) is set, the workers end the hosts in flight, the hosts not begun
    are cancelled and given ``done(name, None, None)``; ``told()`` is called
    once then."""
    from distributed import as_completed

    pending = dict(futures)
    # Told of each future as it ends, without a look at every other one:
    # a run may have tens of thousands in flight.
    ended = as_completed(list(pending), loop=client.loop, with_results=False)
    interrupted = None
    while pending:
        if stop is not None and stop.is_set() and interrupted is None:
            interrupted = time.monotonic()
            _interrupt(client, run, pending, done)
            if told is not None:
                told()
            continue
        if interrupted is not None and time.monotonic() - interrupted > 1.0:
            # Again and again: a host that was about to open its link when
            # told is ended too.
            interrupted = time.monotonic()
            _tell_workers(client, run)
        batch = ended.next_batch(block=False)
        if not batch:
            time.sleep(0.05)
            continue
        for future in batch:
            name = pending.pop(future, None)
            if name is None:  # cancelled on an interrupt: told then
                continue
            if future.status == "finished":
                try:
                    value = future.result()
                except Exception as error:
                    done(name, None, error)
                    continue
                done(name, value, None)
            elif future.status == "cancelled":
                done(name, None, None)
            else:
                error = future.exception()
                if not _is_lost(error):
                    done(name, None, error)
                    continue
                mark = client.get_metadata([PREFIX, run, name], None)
                if mark is None and interrupted is None:
                    again = submit(name)
                    pending[again] = name
                    ended.add(again)
                elif mark is None:
                    done(name, None, None)
                else:
                    done(name, None, WorkerLost(lost_reason(mark, error)))


def _is_lost(error):
    from distributed.scheduler import KilledWorker

    return isinstance(error, KilledWorker) or "worker" in type(error).__name__.lower() \
        and "lost" in str(error).lower()


def _interrupt(client, run, pending, done):
    """Tells every worker the run is interrupted, then cancels the hosts
    that had not begun (a task that begins after the workers were told
    ends without touching its device, so none of those did anything)."""
    _tell_workers(client, run)
    begun = client.get_metadata([PREFIX, run], {}) or {}
    idle = [future for future, name in pending.items() if name not in begun and not future.done()]
    if idle:
        client.cancel(idle)
    for future in idle:
        done(pending.pop(future), None, None)


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


def forget(client, run):
    """Drops a run's marks from the scheduler."""
    try:
        client.run_on_scheduler(_forget_marks, run)
    except Exception:
        pass


def _forget_marks(run, dask_scheduler=None):
    marks = dask_scheduler.task_metadata.get(PREFIX, {})
    marks.pop(run, None)


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
    fails at once."""

    def __init__(self, scheduler=None, workers=2, threads=4, tls_ca_file=None, tls_cert=None, tls_key=None,
                 allow_plaintext=False, timeout=None, site_field=None):
        self.site_field = site_field
        self.scheduler = scheduler
        self.workers = workers
        self.threads = threads
        self.security = security(tls_ca_file, tls_cert, tls_key)
        self.allow_plaintext = allow_plaintext
        self.timeout = timeout

    def run(self, task, hosts):
        from nornir.core.task import AggregatedResult

        hosts = list(hosts)
        result = AggregatedResult(task.name)
        if not hosts:
            return result
        if self.scheduler:
            check_scheduler(self.scheduler, has_secrets(hosts), self.allow_plaintext)
        by_name = {host.name: host for host in hosts}
        run = token()
        processors = task.processors
        config = task.nornir.config

        with Cluster(self.scheduler, self.workers, self.threads, self.security, self.timeout) as client:
            attempts = {}

            places = {}
            if self.site_field:
                for host in hosts:
                    value = host.get(self.site_field)
                    places[host.name] = None if value is None else site_resource(self.site_field, value)
                available = offered(client)

            def submit(name):
                attempts[name] = attempts.get(name, 0) + 1
                key = task_key(task.name, name, run) + ("-%d" % attempts[name] if attempts[name] > 1 else "")
                resources = {places[name]: 1} if self.site_field else None
                return client.submit(run_task, run, task.task, task.name, task.params, task.global_dry_run,
                                     config, host_copy(by_name[name]), key=key, pure=False, retries=0,
                                     resources=resources)

            def done(name, value, error):
                host = by_name[name]
                if value is not None:
                    results = results_of(host, value)
                else:
                    from nornir.core.task import MultiResult, Result

                    results = MultiResult(task.name)
                    if error is None:
                        error = WorkerError("not begun: the run was cancelled")
                    failed = Result(host, result=str(error), exception=sendable(error), failed=True)
                    failed.name = task.name
                    results.append(failed)
                result[name] = results
                processors.task_instance_completed(task, host, results)

            futures = {}
            for host in hosts:
                processors.task_instance_started(task, host)
                if self.site_field and places[host.name] not in available:
                    done(host.name, None, unplaced(places[host.name], self.site_field))
                    continue
                futures[submit(host.name)] = host.name
            try:
                collect(client, run, futures, submit, done)
            finally:
                forget(client, run)
        # In the order the hosts were given.
        ordered = AggregatedResult(task.name)
        for host in hosts:
            ordered[host.name] = result[host.name]
        return ordered
