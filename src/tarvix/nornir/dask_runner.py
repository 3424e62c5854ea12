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
import copy
import logging
import pickle

from tarvix.nornir.dask_cluster import (Cluster, WorkerError, check_scheduler, check_workers, has_secrets, security,
                                        token)
from tarvix.nornir.dask_collect import Submitter, collect, forget, group_size
from tarvix.nornir.dask_marks import NOT_BEGUN, Interrupted, Stops, begin, stopped, working


def worker_nornir(host, config):
    """A Nornir of this one host, for the host's task on a worker."""
    from nornir.core import Nornir
    from nornir.core.inventory import Groups, Hosts, Inventory
    from nornir.core.plugins.connections import ConnectionPluginRegister
    from nornir.plugins.runners import SerialRunner

    with Stops.lock:
        if not Stops.ready:
            # What InitNornir does in the driver, once in each worker.
            ConnectionPluginRegister.auto_register()
            if not config.logging.enabled:
                logging.getLogger("nornir").addHandler(logging.NullHandler())
            Stops.ready = True
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


def closes_connections(task):
    """Whether ``task`` is the one ``Nornir.close_connections`` runs: it
    closes the driver's own connections (those of the workers are closed
    as each host's task ends), so it is run here, with no cluster."""
    function = getattr(task, "task", None)
    return (getattr(function, "__module__", None) == "nornir.core"
            and getattr(function, "__qualname__", "").startswith("Nornir.close_connections."))


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
            return [dict(failed, result=NOT_BEGUN)]
        lost = begin(run, host.name)
        if isinstance(lost, Interrupted):
            return [dict(failed, result=NOT_BEGUN)]
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
        if closes_connections(task):
            from nornir.plugins.runners import SerialRunner

            return SerialRunner().run(task, hosts)
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

            queued = []
            for host in hosts:
                processors.task_instance_started(task, host)
                refused = submit.refused(host.name)
                if refused is not None:
                    done(host.name, None, refused)
                else:
                    queued.append(host.name)
            if self.site_field:  # a task's hosts are of one place
                queued.sort(key=lambda name: str(submit.place(name)))
            size = group_size(len(queued), sum(client.nthreads().values()))
            try:
                collect(client, run, {}, submit, done, grace=self.worker_wait, queued=queued, size=size)
            finally:
                forget(client, run)
        # In the order the hosts were given.
        ordered = AggregatedResult(task.name)
        for host in hosts:
            ordered[host.name] = result[host.name]
        return ordered
