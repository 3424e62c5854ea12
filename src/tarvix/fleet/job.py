"""The job of ``tarvix run`` on one device: connect, the commands and
lines, disconnect; its report and its output file."""
import json
import logging
import threading
import time

from tarvix.eal import secrets
from tarvix.fleet import files as fleet_files, reload as fleet_reload
from tarvix.fleet import health, intended
from tarvix.fleet import timeline
from tarvix.nornir.dask_marks import NOT_BEGUN

# A host's error when the run was interrupted before it began.
NOT_BEGUN_INTERRUPTED = NOT_BEGUN + " before it began"


def _text(output):
    return output if isinstance(output, str) else json.dumps(output, indent=2)


def one_line(text):
    """A message on one line: a link's error gives the device's last words
    on its first line and what was awaited on its second; both are told."""
    return "; ".join(line.strip() for line in str(text).splitlines() if line.strip())


def failure_message(outcome):
    """A failed Result's message: the device's words of a tarvix task, or
    for an exception that Nornir caught (its result a traceback) the
    exception itself."""
    error = outcome.exception
    if error is not None and outcome.result != str(error):
        return secrets.mask("%s: %s" % (type(error).__name__, error))
    return secrets.mask(str(outcome.result))


class _Interrupted(Exception):
    """The run was interrupted before this host's next step."""


class Run(object):
    """What the hosts' tasks and the main thread share: the options, each
    host's files and report, the hosts in flight and the interrupt."""

    def __init__(self, args, plans):
        self.args = args
        self.plans = plans
        self.stop = threading.Event()
        self.signal = None
        self.lock = threading.Lock()
        self.inflight = {}
        self.reports = {}
        # The steps of each host in flight, by name (timeline.Steps).
        self.timelines = {}

    def check(self):
        if self.stop.is_set():
            raise _Interrupted()

    def waiting(self):
        """What ending the run waits for, in words."""
        with self.lock:
            names = sorted(self.inflight)
        if not names:
            return "no device in flight"
        return "ending %d device(s) in flight: %s" % (len(names), ", ".join(names))

    def step(self, name, done, doing, kind=None):
        """A host is about to do ``doing`` on its device, having done
        ``done``: its timeline gets a step (of ``kind``, else as its words
        tell); a cluster's worker tells its scheduler too."""
        steps = self.timelines.get(name)
        if steps is not None:
            steps.begin(doing, kind)

    def abort_in_flight(self):
        """Ends the links of the hosts in flight, those still connecting
        included (lock-free on the connections), so that what each one
        waits for fails at once; its task still closes its connection.
        Every connection the plugin has in this process is the run's."""
        from tarvix.nornir.connection import abort_all

        abort_all()


def _parsed(host, entry):
    """Parses a command's output in place; what did not parse keeps its
    text and gets a warning."""
    from tarvix.bases import parsing
    from tarvix.core.errors import ParseError
    from tarvix.nornir import CONNECTION_NAME

    con = getattr(host.connections.get(CONNECTION_NAME), "connection", None)
    try:
        template = parsing.find_template(getattr(con, "template_platform", None), entry["command"])
        records = parsing.parse(template, entry["output"])
    except ParseError as error:
        entry["warning"] = " ".join(str(error).split())
        return
    if records:
        entry["output"] = records
    else:
        entry["warning"] = "the template for %r matched nothing in the output" % entry["command"]


def host_job(run):
    """The task each host runs: connect, the commands and lines, disconnect;
    the device's output to ``--output``, its report to ``run.reports``.
    Once the run is interrupted, a host not begun ends at once and one in
    flight before its next step."""

    def job(task):
        return _host_job(run, task)

    return job


def _host_job(run, task):
    from nornir.core.task import Result

    from tarvix.nornir import CONNECTION_NAME
    from tarvix.nornir.tasks import FAILURES

    host = task.host
    report = {"name": host.name, "status": "ok", "seconds": 0.0, "error": None, "outputs": [], "done": [],
              "steps": []}
    began = time.monotonic()
    if run.stop.is_set():
        report["status"], report["error"] = "interrupted", NOT_BEGUN_INTERRUPTED
    else:
        steps = timeline.Steps()
        report["steps"] = steps.steps
        with run.lock:
            run.inflight[host.name] = host
            run.timelines[host.name] = steps
        try:
            error = _work(run, task, report, report["done"])
            stopped = run.stop.is_set()
        finally:
            with run.lock:
                run.inflight.pop(host.name, None)
                run.timelines.pop(host.name, None)
        steps.end(("interrupted" if stopped else "failed") if error else "ok")
        if CONNECTION_NAME in host.connections:
            _detected(host.connections[CONNECTION_NAME], report)
            steps.begin("disconnect", "disconnect")
            try:
                host.close_connection(CONNECTION_NAME)
            except FAILURES as closing:
                # A link the interrupt ended does not close cleanly.
                if not stopped:
                    error = error or str(closing)
                    steps.end("failed")
            steps.end()  # (closed, or ended as failed above)
        if error:
            report["status"] = "interrupted" if stopped else "failed"
            report["error"] = error
    save_output(run.plans[host.name][0], report)
    report["seconds"] = time.monotonic() - began
    run.reports[host.name] = report
    failed = report["status"] != "ok"
    return Result(host=host, result=report["error"] if failed else _output_text(report), failed=failed,
                  seconds=report["seconds"])


def _run_extras(host, log, args):
    """The host's connection extras with what the run adds (its name for
    logs and errors, its session log, --no-ssh-config)."""
    from tarvix.nornir import CONNECTION_NAME

    extras = dict(host.get_connection_parameters(CONNECTION_NAME).extras or {})
    extras.setdefault("name", host.name)
    if log:
        extras["session_log"] = log
    if getattr(args, "no_ssh_config", False):
        extras["ssh"] = dict(extras.get("ssh") or {}, config=False)
    return extras


def _detected(plugin, report):
    """The platform a connection of the os "auto" found, into the report."""
    con = getattr(plugin, "connection", None)
    if con is not None and getattr(con, "detected", False):
        report["detected_os"] = con.os


def _work(run, task, report, done):
    """Works the host; returns the error, or None."""
    from nornir.core.exceptions import NornirSubTaskError

    from tarvix.nornir import CONNECTION_NAME, tarvix_execute
    from tarvix.nornir.tasks import FAILURES

    args = run.args
    log = run.plans[task.host.name][1]
    try:
        run.step(task.host.name, done, "connect", "connect")
        task.host.open_connection(CONNECTION_NAME, task.nornir.config, extras=_run_extras(task.host, log, args))
        if getattr(args, "backup", None):
            intended.backup(run, task, done)
        for command in args.execute or []:
            run.check()
            run.step(task.host.name, done, command, "command")
            result = task.run(tarvix_execute, command=command, timeout=args.timeout, name=command)
            done.append(command)
            entry = {"command": command, "output": result[0].result, "warning": None}
            if args.parse:
                _parsed(task.host, entry)
            report["outputs"].append(entry)
        if args.configure:
            _configure(run, task, report, done)
        fleet_files.files_step(run, task, report, done)
        fleet_reload.reload_step(run, task, report, done)
        if getattr(args, "intended", None) or getattr(args, "rollback", None):
            health.around(run, task, report, done, lambda: intended.apply(run, task, report, done))
        else:
            health.around(run, task, report, done)
    except _Interrupted:
        return "stopped before its next step"
    except NornirSubTaskError as failure:
        return failure_message(failure.result[0])
    except FAILURES as failure:
        return secrets.mask(str(failure))
    except Exception as failure:  # told in the table; its traceback with --verbose
        logging.getLogger("tarvix.fleet").debug("%s failed", task.host.name, exc_info=True)
        return "%s: %s" % (type(failure).__name__, failure)
    return None


def _configure(run, task, report, done):
    """Applies the ``--configure`` lines; ``done`` tells how far they came."""
    from nornir.core.exceptions import NornirSubTaskError

    from tarvix.core.errors import CommandError
    from tarvix.nornir import tarvix_configure

    run.check()
    lines = list(run.args.configure)
    run.step(task.host.name, done, "configuration of %d line(s)" % len(lines), "configuration")
    try:
        result = task.run(tarvix_configure, lines=lines, timeout=run.args.timeout, name="configure")
    except NornirSubTaskError as failure:
        refused = failure.result[0].exception
        if isinstance(refused, CommandError) and refused.command in lines:
            applied = lines.index(refused.command)
            done.append("%d of %d configuration line(s), the next one refused" % (applied, len(lines)))
        else:
            done.append("configuration begun, %d line(s), not known how far" % len(lines))
        raise
    done.append("%d configuration line(s)" % len(lines))
    report["outputs"].append({"command": "configure", "lines": lines, "output": result[0].result,
                              "warning": None})


def _output_text(report):
    """What a host's output file holds."""
    lines = []
    for entry in report["outputs"]:
        lines.append("--- %s\n%s" % (entry["command"], _text(entry["output"])))
        if entry["warning"]:
            lines.append("!!! warning: %s" % entry["warning"])
    if report["status"] != "ok":
        lines.append("!!! %s: %s" % (report["status"], report["error"]))
    return "\n".join(lines) + "\n"


def unsaved_report(report, path, failure):
    """A report whose file could not be written: what was done is told."""
    done = ", ".join(report["done"]) or "nothing"
    report["error"] = "output not written to %s: %s; done on the device: %s%s" % (
        path, failure.strerror or failure, done,
        "; then %s: %s" % (report["status"], one_line(report["error"])) if report["error"] else "")
    report["status"] = "unsaved"


def save_output(output, report):
    """Writes a host's output file (``output``, or None for none)."""
    if output:
        try:
            with open(output, "w", encoding="utf-8") as out:
                out.write(_output_text(report))
        except OSError as failure:
            unsaved_report(report, output, failure)


def not_begun_report(name, status, error, done=()):
    return {"name": name, "status": status, "seconds": 0.0, "error": error, "outputs": [], "done": list(done)}
