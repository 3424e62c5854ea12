"""``tarvix run``: one job over a Nornir inventory, on Nornir's threaded
runner or on a Dask cluster, and its outcome told."""
import json
import logging
import sys
import threading
import time

from tarvix.eal import secrets
from tarvix.exits import FAILED, INTERRUPTED, ROLLBACK_FAILED, USAGE, UsageError, fail, signalled
from tarvix.fleet import health, intended
from tarvix.fleet.checks import check_args, host_filter
from tarvix.fleet.cluster import requested_cluster, NoDask, work_on_cluster
from tarvix.fleet.credentials import set_passwords
from tarvix.fleet.inventory import check_platforms, open_nornir
from tarvix.fleet.job import failure_message, host_job, Run
from tarvix.fleet.naming import create_files, plan_files
from tarvix.fleet.passwords import inventory_secrets
from tarvix.fleet.progress import Progress, report_note, StderrHandler, table
from tarvix.fleet.report import fleetrun as run_report
from tarvix.fleet.signals import signal_name, Signals
from tarvix.verbosity import Verbosity

# What a device's report tells of its state (tarvix.fleet.health).
STATE_KEYS = ("checks", "checks_before", "state_before", "state_after", "state_diff", "rollback")
NEEDS_NORNIR = "tarvix run needs Nornir and a progress bar: pip install nornir rich"


def _work_hosts(nr, run, progress):
    """Runs the job on Nornir's threaded runner in a thread of its own, so
    that this thread stays free to take an interrupt: then it stops hosts
    from beginning, ends the links of those in flight and says so."""
    outcome = {}

    def work():
        try:
            outcome["results"] = nr.with_processors([progress]).run(task=host_job(run), name="tarvix run")
        except BaseException as error:  # handed to the main thread
            outcome["error"] = error

    worker = threading.Thread(target=work, name="tarvix run", daemon=True)
    worker.start()
    told = False
    while worker.is_alive():
        worker.join(0.2)
        if run.stop.is_set():
            # Again and again: a host that was about to open its link
            # when told is ended too.
            run.abort_in_flight()
            if not told:
                told = True
                progress.say("interrupted (%s): %s; Ctrl-C again exits at once"
                             % (signal_name(run.signal), run.waiting()))
    if "error" in outcome:
        raise outcome["error"]
    # A task that failed past its own handling (a fault here) left no
    # report: Nornir's result tells what it raised.
    for name, result in outcome["results"].items():
        if name not in run.reports:
            run.reports[name] = {"name": name, "status": "failed", "seconds": 0.0, "done": [], "outputs": [],
                                 "error": failure_message(result[0])}


def _document(run, names, elapsed):
    """The run as one JSON document."""
    hosts = []
    for name in names:
        report = run.reports[name]
        hosts.append({"name": name, "status": report["status"], "seconds": round(report["seconds"], 3),
                      "error": report["error"], "done": report["done"],
                      "outputs": [dict(entry) for entry in report["outputs"]]})
        if "config" in report:
            hosts[-1]["config"] = dict(report["config"])
        for key in ("transfers", "upgrade"):  # --put, --get, --upgrade
            if key in report:
                hosts[-1][key] = report[key]
        if report.get("detected_os"):  # platform auto
            hosts[-1]["detected_os"] = report["detected_os"]
        hosts[-1].update((key, report[key]) for key in STATE_KEYS if key in report)
        run_report.add_report_keys(hosts[-1], report, run.plans[name])
    counts = {status: sum(1 for host in hosts if host["status"] == status)
              for status in ("ok", "failed", "unsaved", "interrupted")}
    document = {"hosts": hosts}
    document.update(counts)
    document.update(seconds=round(elapsed, 3), workers=run.args.workers,
                    interrupted_by=signal_name(run.signal) if run.signal else None)
    run_report.add_run_keys(document, run.args, elapsed)
    return document


def run(args):
    # The framework's records from the start: -vv shows the registry's as
    # it walks the plugins.
    handler = StderrHandler()
    handler.setFormatter(logging.Formatter("%(message)s"))
    handler.addFilter(Verbosity(args.verbose))
    handler.addFilter(secrets.FILTER)
    logger = logging.getLogger("tarvix")
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG if args.verbose else logging.WARNING)
    try:
        return _run(args)
    except KeyboardInterrupt:
        # Before the hosts are begun, or once they are done.
        print("interrupted", file=sys.stderr)
        return INTERRUPTED
    finally:
        logger.removeHandler(handler)


def _run(args):
    try:
        where = check_args(args)
    except UsageError as error:
        return fail(error, USAGE)
    try:
        import nornir  # noqa: F401
        import rich  # noqa: F401
    except ImportError:
        return fail(NEEDS_NORNIR, FAILED)
    if args.parse:
        from tarvix.bases.parsing import INSTALL_HINT
        try:
            import ntc_templates  # noqa: F401
            import textfsm  # noqa: F401
        except ImportError:
            return fail(INSTALL_HINT, FAILED)
    try:
        nr = _selected(args, where)
    except UsageError as error:
        return fail(error, USAGE)
    names = sorted(nr.inventory.hosts)
    try:
        plans = plan_files(args, nr.inventory.hosts)
        run_report.check(args)
        cluster = requested_cluster(args, nr.inventory.hosts)
    except UsageError as error:
        return fail(error, USAGE)
    except NoDask:
        from tarvix.nornir.dask_cluster import NEEDS_DASK

        return fail(NEEDS_DASK, FAILED)
    if cluster is None:
        return _hosts_run(args, nr, names, plans, None)
    return _cluster_run(args, nr, names, plans, cluster)


def _selected(args, where):
    """The Nornir of the hosts the filters select, their platforms checked
    and the passwords given set into the inventory, before any of them
    connects; UsageError for what is wrong."""
    from tarvix.core.errors import LoginError

    whole = open_nornir(args)
    nr = whole.filter(filter_func=host_filter(args, where))
    if not nr.inventory.hosts:
        raise UsageError("no device in %s matches the filters" % args.inventory)
    check_platforms(nr.inventory.hosts.values())
    try:
        set_passwords(args, whole.inventory, nr.inventory.hosts.values())
    except LoginError as error:
        raise UsageError(str(error))
    # Masked from the first host on: a line sent to one host may hold
    # another's password.
    for secret in inventory_secrets(whole.inventory):
        secrets.remember(secret)
    return nr


def _cluster_run(args, nr, names, plans, cluster):
    """Works the hosts on the ``cluster`` (started here, stopped after),
    once its workers are found fit for the inventory's passwords."""
    from tarvix.nornir import dask_cluster
    from tarvix.nornir.dask_cluster import ClusterError, check_workers, has_secrets

    status = []
    began = time.monotonic()
    if not cluster.scheduler:  # seconds before the first device begins
        print("starting a local Dask cluster of %d worker process(es)" % cluster.workers, file=sys.stderr,
              flush=True)
    try:
        with cluster as client:
            with dask_cluster.scheduler_link():
                try:
                    check_workers(client, has_secrets(nr.inventory.hosts.values()), args.allow_plaintext_scheduler)
                except ClusterError as error:
                    return fail(error, USAGE)
                # What is told is what works at once: --workers, or the
                # cluster's threads if fewer (while workers join, --workers).
                window = args.workers
                args.workers = min(window, sum(client.nthreads().values())) or window
            status.append(_hosts_run(args, nr, names, plans, client, window, began))
        return status[0]
    except KeyboardInterrupt:
        if not status:
            raise
        return status[0]  # told already: only the cluster's closing was cut short
    except ClusterError as error:  # the scheduler lost past what the run tells among them
        return fail(error, FAILED)


def _hosts_run(args, nr, names, plans, client, window=None, began=None):
    """Works the hosts, on the threaded runner or (``client``) on a Dask
    cluster, ``window`` at a time, and tells the outcome; the run's time
    counts from ``began`` (the cluster's start), else from now."""
    try:
        create_files(plans)
    except UsageError as error:
        return fail(error, USAGE)

    # Nornir reports what its tasks raise through logging, which is not set
    # up here: the results carry them.
    quiet = logging.NullHandler()
    logging.getLogger("nornir").addHandler(quiet)
    run = Run(args, plans)
    began = time.monotonic() if began is None else began
    try:
        with Signals(run), Progress(len(names), sys.stderr, run.reports) as progress:
            run.bytes_progress = progress.bytes_moved
            if client is None:
                _work_hosts(nr, run, progress)
            else:
                work_on_cluster(nr, run, progress, client, window)
    finally:
        logging.getLogger("nornir").removeHandler(quiet)
    elapsed = time.monotonic() - began

    counts = {"ok": 0, "failed": 0, "unsaved": 0, "interrupted": 0}
    for name in names:
        counts[run.reports[name]["status"]] += 1
        run.reports[name].setdefault("platform", run_report.platform(nr.inventory.hosts[name]))
    document = secrets.mask_report(_document(run, names, elapsed)) if args.json or args.report else None
    written = run_report.write(args, document)
    if args.json:
        print(json.dumps(document))
    else:
        diffs = intended.dry_run_diffs(run.reports, names)
        if diffs:
            print(diffs)
        print(table([(name, run.reports[name]["status"], run.reports[name]["seconds"], report_note(run.reports[name]))
                     for name in names]))
        summary = "%d device(s): %d ok, %d failed" % (len(names), counts["ok"], counts["failed"])
        for status in ("unsaved", "interrupted"):
            if counts[status]:
                summary += ", %d %s" % (counts[status], status)
        print("%s, in %.2f s, at most %d at once" % (summary, elapsed, min(args.workers, len(names))))
        if args.output:
            print("output of each device in %s" % args.output)
        if written:
            print("report in %s" % args.report)
    if run.signal:
        return signalled(run.signal)
    if health.rollback_failed(run.reports):
        for name in names:
            if (run.reports[name].get("rollback") or {}).get("failed"):
                print("%s: the rollback FAILED: %s" % (name, run.reports[name]["rollback"]["error"]), file=sys.stderr)
        return ROLLBACK_FAILED
    return FAILED if len(names) > counts["ok"] or written is False else 0
