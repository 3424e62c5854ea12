"""A Nornir run of tarvix's tasks as the document ``tarvix run --json``
prints: each host's status, error, outputs, configuration diff, reload
timelines and steps (from the times each task's ``Result`` tells)."""
import time

from tarvix.fleet.timeline import kind_of

# The kind of step each of tarvix's tasks is, by its function's name.
TASK_KINDS = {"tarvix_execute": "command", "tarvix_configure": "configuration",
              "tarvix_replace_config": "configuration", "tarvix_merge_config": "configuration",
              "tarvix_config_diff": "configuration", "tarvix_reload": "reload", "tarvix_switchover": "reload"}


def is_results(value):
    """Whether ``value`` is what a Nornir run returns."""
    try:
        from nornir.core.task import AggregatedResult
    except ImportError:
        return False
    return isinstance(value, AggregatedResult)


def _label(result):
    return getattr(result, "command", None) or result.name or "task"


def _kind(result):
    if result.name in TASK_KINDS:
        return TASK_KINDS[result.name]
    return "command" if getattr(result, "command", None) else kind_of(_label(result))


def _steps(results):
    steps = []
    for result in results:
        span = getattr(result, "connected", None)
        if span:
            steps.append({"step": "connect", "kind": "connect", "start": span[0], "end": span[1], "status": "ok"})
        if getattr(result, "started", None) is not None:
            start = span[1] if span else result.started
            steps.append({"step": _label(result), "kind": _kind(result), "start": start,
                          "end": result.ended, "status": "failed" if result.failed else "ok"})
    return steps


def _host(name, results):
    from tarvix.fleet.job import failure_message

    host = {"name": name, "status": "failed" if results.failed else "ok", "error": None, "done": [],
            "outputs": [], "seconds": 0.0}
    first = results[0].host if len(results) else None
    if first is not None and first.platform:
        host["platform"] = first.platform
    for result in results:
        if result.failed:
            host["error"] = host["error"] or failure_message(result)
            continue
        if result.diff or getattr(result, "dry_run", None) is not None:
            host["config"] = {"diff": result.diff, "changed": bool(result.changed), "dry_run": bool(
                getattr(result, "dry_run", False)), "lines": len(getattr(result, "sent", None) or ())}
        elif result.result is not None:
            host["outputs"].append({"command": _label(result), "output": result.result, "warning": None})
        host["done"].append(_label(result))
    host["steps"] = _steps(results)
    if host["steps"]:
        host["seconds"] = round(max(step["end"] for step in host["steps"]) -
                                min(step["start"] for step in host["steps"]), 3)
    return host


def document(results, command_line=None):
    """The document of an AggregatedResult: the hosts sorted by name, the
    counts, and the run's start and end as its tasks' times tell (now,
    when they tell none)."""
    hosts = [_host(name, results[name]) for name in sorted(results)]
    counts = {status: sum(1 for host in hosts if host["status"] == status) for status in ("ok", "failed")}
    starts = [step["start"] for host in hosts for step in host["steps"]]
    ends = [step["end"] for host in hosts for step in host["steps"]]
    now = round(time.time(), 3)
    started, ended = (min(starts), max(ends)) if starts else (now, now)
    doc = {"hosts": hosts, "ok": counts["ok"], "failed": counts["failed"], "unsaved": 0, "interrupted": 0,
           "seconds": round(ended - started, 3), "workers": None, "interrupted_by": None,
           "started": started, "ended": ended, "title": results.name}
    if command_line is not None:
        doc["command_line"] = command_line
    return doc
