"""``tarvix run --reload`` and ``--switchover``: each device reloaded or
switched over after its commands and lines, at most ``--max-parallel`` of
them down at once (the others wait for a turn), the timeline in the
device's report."""
import threading

from tarvix.exits import UsageError

# Seconds a device may take to come back when --timeout does not say.
DEFAULT_TIMEOUT = 600


def add_options(parser):
    group = parser.add_argument_group("reload and switchover")
    group.add_argument("--reload", action="store_true",
                       help="reload each device after its commands and lines, and connect it again")
    save = group.add_mutually_exclusive_group()
    save.add_argument("--save", dest="save", action="store_true", default=None,
                      help="with --reload: save a changed configuration when the device asks; with "
                           "--intended: make the change persistent")
    save.add_argument("--no-save", dest="save", action="store_false",
                      help="with --reload: drop a changed configuration when the device asks")
    group.add_argument("--switchover", action="store_true",
                       help="switch each dual-RP device over to its standby RP")
    group.add_argument("--max-parallel", type=int, metavar="N",
                       help="at most N devices reloading or switching over at once (default: --workers)")


def check(args):
    """Complaints about the options, as UsageError; whether there is
    anything of this room to run."""
    if args.reload and args.switchover:
        raise UsageError("--reload and --switchover: give one of them")
    if args.save is not None and not args.reload and not (args.save and (args.intended or args.rollback)):
        raise UsageError("--save goes with --reload, --intended or --rollback, --no-save with --reload")
    if args.max_parallel is not None and args.max_parallel < 1:
        raise UsageError("--max-parallel must be 1 or more")
    return bool(args.reload or args.switchover)


_slots_lock = threading.Lock()
# A cluster run's turns in this worker process, by the run's token: each of
# its hosts has a run object of its own here.
_cluster_slots = {}


def slots(run):
    """The turns of the run's devices to go down."""
    token = getattr(run, "token", None)
    with _slots_lock:
        if token is not None:
            run.down_slots = _cluster_slots.setdefault(token, None)
        if getattr(run, "down_slots", None) is None:
            run.down_slots = threading.BoundedSemaphore(run.args.max_parallel or run.args.workers)
            if token is not None:
                _cluster_slots[token] = run.down_slots
        return run.down_slots


def reload_step(run, task, report, done):
    """Reloads or switches over the host's device once it has a turn;
    the timeline goes into the report's outputs."""
    from nornir.core.exceptions import NornirSubTaskError

    from tarvix.nornir import tarvix_reload, tarvix_switchover

    args = run.args
    if not (args.reload or args.switchover):
        return
    name = "reload" if args.reload else "switchover"
    timeout = args.timeout or DEFAULT_TIMEOUT
    turns = slots(run)
    if not turns.acquire(False):
        run.step(task.host.name, done, "waiting for a turn to %s" % name, "wait")
        while not turns.acquire(timeout=0.2):
            run.check()
    try:
        run.check()
        run.step(task.host.name, done, name, "reload")
        if args.reload:
            result = task.run(tarvix_reload, save=args.save, timeout=timeout, name=name)
        else:
            result = task.run(tarvix_switchover, timeout=timeout, name=name)
    except NornirSubTaskError as failure:
        # Refused (by the device, or as a device without it): nothing began.
        if getattr(failure.result[0].exception, "begun", True):
            done.append("%s begun" % name)
        raise
    finally:
        turns.release()
    done.append(name)
    report["outputs"].append({"command": name, "output": result[0].result, "warning": None,
                              "note": timeline_note(name, result[0].result)})


def timeline_note(name, timeline):
    """The timeline in the table's words: "reload a: lost 0.2 s, back 1.4 s,
    ready 1.5 s"."""
    parts = []
    for rp, times in sorted(timeline["rps"].items()):
        steps = [(word, times[key]) for word, key in (("lost", "link_lost"), ("back", "first_answer"),
                                                      ("ready", "ready")) if times[key] is not None]
        parts.append("%s: %s" % (rp, ", ".join("%s %.1f s" % step for step in steps)))
    return "%s %s" % (name, "; ".join(parts))
