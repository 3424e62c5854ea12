"""``tarvix run`` on a Dask cluster.

Each host's job runs on a worker, in a Nornir of that one host, and sends
back its report and its session log's bytes; the output files and the
session logs are written here, by the same code as a threaded run's."""
import logging
import os
import threading

from tarvix.eal import secrets
from tarvix.exits import UsageError
from tarvix.fleet.job import NOT_BEGUN_INTERRUPTED, failure_message, host_job, not_begun_report, Run, save_output, unsaved_report
from tarvix.fleet.naming import file_stem
from tarvix.fleet.checks import host_field
from tarvix.fleet.passwords import hosts_secrets
from tarvix.fleet.signals import signal_name


class _WorkerRun(Run):
    """A host's share of a cluster run, on the worker that works it: the
    run's interrupt is what the workers were told, and each step is told to
    the scheduler first."""

    class _Stop(object):
        def __init__(self, token):
            self.token = token

        def is_set(self):
            from tarvix.nornir.dask_marks import stopped

            return stopped(self.token)

    def __init__(self, args, plans, token):
        Run.__init__(self, args, plans)
        self.token = token
        self.stop = self._Stop(token)

    def step(self, name, done, doing, kind=None):
        from tarvix.nornir.dask_marks import note

        Run.step(self, name, done, doing, kind)
        note(self.token, name, done, doing)


def _topic(token):
    """The topic of a cluster run's log records."""
    return "tarvix-run-" + token


class _Forward(logging.Handler):
    """Sends the log records of one job (its thread's) to the scheduler,
    under its run's topic: the command that started the run tells them."""

    def __init__(self, topic, level):
        from distributed import get_worker

        logging.Handler.__init__(self, level)
        self.topic = topic
        self.thread = threading.current_thread().ident
        self.worker = get_worker()
        # Masked here: a child logger's records come up unmasked, and the
        # scheduler keeps what is sent.
        self.addFilter(secrets.FILTER)

    def emit(self, record):
        if record.thread != self.thread:
            return
        try:
            self.worker.log_event(self.topic, {
                "name": record.name, "levelno": record.levelno, "levelname": record.levelname,
                "msg": record.getMessage(), "created": record.created, "threadName": record.threadName})
        except Exception:
            self.handleError(record)


class _JobLogging(object):
    """While jobs of cluster runs work in this worker process, the
    framework's logger lets through what the most talkative of them
    forwards; its level is given back after the last one."""
    lock = threading.Lock()
    jobs = []
    level = None

    def __init__(self, token, verbose):
        self.handler = _Forward(_topic(token), logging.DEBUG if verbose else logging.WARNING)

    def __enter__(self):
        logger = logging.getLogger("tarvix")
        with self.lock:
            if not self.jobs:
                _JobLogging.level = logger.level
            self.jobs.append(self.handler.level)
            logger.setLevel(min(self.jobs))
            logger.addHandler(self.handler)

    def __exit__(self, *exc):
        logger = logging.getLogger("tarvix")
        with self.lock:
            logger.removeHandler(self.handler)
            self.jobs.remove(self.handler.level)
            logger.setLevel(min(self.jobs) if self.jobs else _JobLogging.level)


def cluster_job(token, args, host, config, logged):
    """A host's job on a worker: {"report": its report, "logs": {file name:
    bytes of its session log}}.  ``logged``: whether a session log is
    kept.  The run's secrets are masked from its first record on.  Nothing
    raises past it (Dask would log the task with its arguments)."""
    from tarvix.nornir.dask_marks import learn_secrets

    try:
        learn_secrets(token)
        with _JobLogging(token, args.verbose):
            return _cluster_job(token, args, host, config, logged)
    except Exception as error:
        return {"report": not_begun_report(host.name, "failed", "%s: %s" % (type(error).__name__, error)), "logs": {}}


def _cluster_job(token, args, host, config, logged):
    import shutil
    import tempfile

    from nornir.core.task import Task

    from tarvix.nornir.dask_marks import Interrupted, begin, stopped, working
    from tarvix.nornir.dask_runner import worker_nornir

    name = host.name
    if stopped(token):
        return {"report": not_begun_report(name, "interrupted", NOT_BEGUN_INTERRUPTED),
                "logs": {}}
    lost = begin(token, name)
    if isinstance(lost, Interrupted):
        return {"report": not_begun_report(name, "interrupted", NOT_BEGUN_INTERRUPTED), "logs": {}}
    if lost:
        return {"report": not_begun_report(name, "failed", str(lost), lost.done), "logs": {}}
    folder = tempfile.mkdtemp(prefix="tarvix-run-") if logged else None
    working(token, host)
    try:
        log = os.path.join(folder, file_stem(name) + ".log") if folder else None
        run = _WorkerRun(args, {name: (None, log, [])}, token)
        nr = worker_nornir(host, config)
        try:
            results = Task(host_job(run), nr, global_dry_run=False, name="tarvix run",
                           processors=nr.processors).start(host)
        finally:
            host.close_connections()
        report = run.reports.get(name)
        if report is None:  # a fault past the job's own handling: Nornir's result tells it
            report = not_begun_report(name, "failed", failure_message(results[0]))
        logs = {}
        for entry in sorted(os.listdir(folder)) if folder else []:
            with open(os.path.join(folder, entry), "rb") as handle:
                logs[entry] = handle.read()
        return {"report": report, "logs": logs}
    finally:
        working(token, host, busy=False)
        if folder:
            shutil.rmtree(folder, ignore_errors=True)


def _cluster_option(text):
    """--cluster local[:N]: the number of worker processes."""
    kind, colon, count = text.partition(":")
    if kind != "local" or colon and not count.isdigit() or colon and int(count) < 1:
        raise UsageError("--cluster %s: give local or local:N, N worker processes (a running scheduler's "
                         "address goes to --scheduler)" % text)
    return int(count) if colon else 2


def requested_cluster(args, hosts):
    """The cluster a run asks for, not yet started, or None for a threaded
    run; refuses what cannot be used."""
    tls = [args.tls_ca_file, args.tls_cert, args.tls_key]
    if args.cluster and args.scheduler:
        raise UsageError("--cluster starts a local cluster, --scheduler uses a running one: give one of them")
    if any(tls) and not args.scheduler:
        raise UsageError("--tls-ca-file, --tls-cert and --tls-key go with --scheduler tls://...")
    if args.allow_plaintext_scheduler and not args.scheduler:
        raise UsageError("--allow-plaintext-scheduler goes with --scheduler")
    if args.site_resource and not args.scheduler:
        raise UsageError("--site-resource goes with --scheduler (a local cluster's workers offer no resources)")
    if args.worker_wait is not None and not (args.cluster or args.scheduler):
        raise UsageError("--worker-wait goes with --cluster or --scheduler")
    if not (args.cluster or args.scheduler):
        return None
    processes = _cluster_option(args.cluster) if args.cluster else None
    try:
        from tarvix.nornir import dask_cluster
        import distributed  # noqa: F401
    except ImportError:
        raise NoDask()
    if args.scheduler:
        try:
            dask_cluster.check_scheduler(args.scheduler, dask_cluster.has_secrets(hosts.values()),
                                        args.allow_plaintext_scheduler)
        except dask_cluster.ClusterError as error:
            raise UsageError(str(error))
        for option, path in zip(("--tls-ca-file", "--tls-cert", "--tls-key"), tls):
            if path and not os.path.isfile(path):
                raise UsageError("%s %s: no such file" % (option, path))
        if any(tls) and not all(tls):
            raise UsageError("--tls-ca-file, --tls-cert and --tls-key go together")
        if any(tls) and not args.scheduler.startswith("tls://"):
            raise UsageError("--tls-ca-file, --tls-cert and --tls-key go with a tls:// scheduler, not %s"
                             % args.scheduler)
        certificates = all(tls) or not any(tls) and dask_cluster.tls_configured()
        if args.scheduler.startswith("tls://") and not certificates:
            raise UsageError("--scheduler %s: give --tls-ca-file, --tls-cert and --tls-key (or name them in "
                             "Dask's configuration)" % args.scheduler)
        return dask_cluster.Cluster(scheduler=args.scheduler, security=dask_cluster.security(*tls))
    threads = -(-args.workers // processes)
    return dask_cluster.Cluster(workers=processes, threads=threads)


class NoDask(Exception):
    pass


class _Outcomes(object):
    """What the hosts of a cluster run came to, as each is collected: its
    files written here, its report kept, the progress told."""

    def __init__(self, run, progress, hosts):
        self.run = run
        self.progress = progress
        self.hosts = hosts
        self.told = False

    def done(self, name, value, error):
        from nornir.core.task import MultiResult, Result

        from tarvix.nornir.dask_cluster import ClusterError, WorkerLost

        run = self.run
        if value is not None:
            report = value["report"]
        elif error is None:
            report = not_begun_report(name, "interrupted", NOT_BEGUN_INTERRUPTED)
        else:
            told = isinstance(error, (WorkerLost, ClusterError))
            report = not_begun_report(name, "failed", str(error) if told else "%s: %s" % (type(error).__name__, error),
                                getattr(error, "done", ()))
        output, log, files = run.plans[name]
        for entry, data in sorted((value or {}).get("logs", {}).items()):
            path = os.path.join(os.path.dirname(log), entry) if log else None
            if path not in files:
                continue
            try:
                with open(path, "wb") as out:
                    out.write(data)
            except OSError as failure:
                unsaved_report(report, path, failure)
        save_output(output, report)
        run.reports[name] = report
        failed = report["status"] != "ok"
        result = Result(self.hosts[name], result=report["error"] if failed else "", failed=failed,
                        seconds=report["seconds"])
        results = MultiResult("tarvix run")
        results.append(result)
        self.progress.task_instance_completed(None, self.hosts[name], results)

    def tell(self):
        if not self.told:
            self.told = True
            self.progress.say("interrupted (%s): the devices not begun are cancelled, those in flight ended; "
                              "Ctrl-C again exits at once" % signal_name(self.run.signal))


def _forwarded(event):
    # A record of this run's jobs on the workers (--verbose: every line
    # sent; else warnings), told here as a threaded run's are.
    record = logging.makeLogRecord(event[1])
    logging.getLogger(record.name).handle(record)


def work_on_cluster(nr, run, progress, client, window):
    """Runs the job on a Dask cluster's workers, ``window`` hosts at a time
    at most; the main thread waits for the hosts and takes an interrupt:
    then the hosts not begun are cancelled and the links of those in
    flight ended."""
    from tarvix.nornir import dask_cluster, dask_collect, dask_marks, dask_runner

    token = dask_cluster.token()
    hosts = nr.inventory.hosts
    config = nr.config
    logged = bool(run.args.session_log)
    with dask_cluster.scheduler_link():
        submit = dask_collect.Submitter(
            client, token, "tarvix-run", cluster_job,
            lambda name: (token, run.args, dask_runner.host_copy(hosts[name]), config, logged),
            run.args.site_resource, lambda name, field: host_field(hosts[name], field))
    outcomes = _Outcomes(run, progress, hosts)
    topic = _topic(token)
    with dask_cluster.scheduler_link():
        client.subscribe_topic(topic, _forwarded)
    queued = []
    # A task's hosts are of one place.
    for name in sorted(hosts, key=lambda name: (str(submit.place_of(name)), name)):
        refused = submit.refused(name)
        if refused is not None:
            outcomes.done(name, None, refused)
        else:
            queued.append(name)
    try:
        # A line sent to one host may hold another's password: the workers
        # mask those of every host run (which travel with the hosts anyway).
        with dask_cluster.scheduler_link():
            dask_marks.share_secrets(client, token, hosts_secrets(hosts.values()))
        # --workers hosts at a time, whatever the cluster's threads.
        dask_collect.collect(client, token, {}, submit, outcomes.done, stop=run.stop, told=outcomes.tell,
                             grace=run.args.worker_wait, queued=queued, window=window,
                             size=dask_collect.group_size(len(queued), run.args.workers))
    finally:
        dask_collect.forget(client, token)
        try:
            client.unsubscribe_topic(topic)
        except Exception:
            pass
