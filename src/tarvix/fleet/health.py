"""``tarvix run --check FILE``, ``--snapshot DIR`` and ``--compare DIR``:
each device's state (``tarvix.state``) checked against the expectations of
FILE (``tarvix.checks``), saved as ``DIR/<host>.json``, or compared with
the one saved there.  With ``--intended`` the checks close the loop of a
change: checked before (a device already failing is left alone unless
``--force``), changed, checked again until they pass or ``--settle``
runs out, and with ``--rollback-on-fail`` rolled back and checked once
more.  Each device's report holds ``checks`` (after the change, or the
only ones), ``checks_before``, ``state_before``, ``state_after``,
``state_diff`` and ``rollback``."""
import json
import os
import time

from tarvix.exits import UsageError
from tarvix.fleet.naming import file_stem

# How often the checks are made again while the state settles.
POLL_SECONDS = 1.0


def add_options(parser, seconds):
    group = parser.add_argument_group("the network's state")
    group.add_argument("--check", metavar="FILE",
                       help="check each device's state against the expectations of FILE (YAML); a device that "
                            "fails a check fails (with --intended: before and after the change)")
    group.add_argument("--snapshot", metavar="DIR", help="save each device's state to DIR/<host>.json")
    group.add_argument("--compare", metavar="DIR",
                       help="say what changed in each device's state since DIR/<host>.json (uptimes left out)")
    group.add_argument("--compare-all", action="store_true", help="with --compare: uptimes too")
    group.add_argument("--settle", type=seconds, metavar="S",
                       help="with --check: after a change, check again until the checks pass or S seconds ran out")
    group.add_argument("--rollback-on-fail", action="store_true",
                       help="with --intended and --check: roll a change whose checks fail back, and check again")
    group.add_argument("--force", action="store_true",
                       help="with --intended and --check: change a device that fails its checks before the change")


def check(args):
    """Complains in one line of options that do not fit together, and of a
    checks file that cannot be checked; the checks are kept as
    ``args.checks``."""
    from tarvix import checks
    from tarvix.core.errors import ChecksError

    args.checks = None
    for option, given, needs in (("--settle", args.settle is not None, args.check),
                                 ("--rollback-on-fail", args.rollback_on_fail, args.check and args.intended),
                                 ("--force", args.force, args.check and args.intended),
                                 ("--compare-all", args.compare_all, args.compare)):
        if given and not needs:
            raise UsageError("%s: only with %s" % (option, {"--settle": "--check FILE", "--compare-all": "--compare DIR"}
                                                   .get(option, "--intended DIR and --check FILE")))
    if args.rollback_on_fail and args.dry_run:
        raise UsageError("--rollback-on-fail: a --dry-run changes nothing to roll back")
    if args.compare and not os.path.isdir(args.compare):
        raise UsageError("--compare %s: no such directory" % args.compare)
    if args.check:
        try:
            args.checks = checks.load(args.check)
        except ChecksError as error:
            raise UsageError(str(error))
    return bool(args.check or args.snapshot or args.compare)


def _getters(args):
    """The getters to read: the checks' alone, or all (None) for a snapshot or a comparison."""
    from tarvix import checks

    if args.snapshot or args.compare:
        return None
    return checks.getters_of(args.checks)


def _failure_words(report):
    """Each failed check in words: its path, what was expected and what the state held."""
    failures = report.failures
    return "%d of %d check(s) failed: %s" % (len(failures), len(report), "; ".join(
        "%s: expected %s, got %s" % (check["path"], json.dumps(check["expected"]), json.dumps(check["actual"]))
        for check in failures))


def _read(run, task, con, getters, done):
    run.check()
    run.step(task.host.name, done, "the state")
    return con.state(getters)


def _checked(run, task, con, done, settle=None):
    """The state and its checks; with ``settle``, read again until they
    pass or the seconds run out."""
    from tarvix import checks

    deadline = time.monotonic() + (settle or 0)
    while True:
        state = _read(run, task, con, _getters(run.args), done)
        report = checks.evaluate(state, run.args.checks) if run.args.checks is not None else None
        left = deadline - time.monotonic()
        if report is None or report.passed or left <= 0:
            return state, report
        time.sleep(min(POLL_SECONDS, left))


def _save(args, name, state):
    if args.snapshot:
        with open(os.path.join(args.snapshot, file_stem(name) + ".json"), "w", encoding="utf-8") as out:
            json.dump(state, out, indent=2, sort_keys=True)
            out.write("\n")


def _saved(args, name):
    path = os.path.join(args.compare, file_stem(name) + ".json")
    try:
        with open(path, encoding="utf-8") as saved:
            return json.load(saved)
    except (OSError, ValueError) as error:
        raise UsageError("no state to compare with in %s: %s" % (path, getattr(error, "strerror", None) or error))


def around(run, task, report, done, change=None):
    """The host's state read, checked, saved or compared around ``change``
    (the configuration change, or None); raises CheckFailedError for a
    device whose checks fail."""
    from tarvix.nornir.connection import host_connection
    from tarvix.state import compare

    args, name = run.args, task.host.name
    if not (args.check or args.snapshot or args.compare):
        return change() if change else None
    con = host_connection(task.host, task.nornir.config)
    saved = _saved(args, name) if args.compare else None
    before = None
    if change is not None and not args.dry_run:
        before, checked = _checked(run, task, con, done)
        report["state_before"], report["checks_before"] = before, checked
        _save(args, name, before)
        if checked is not None and not checked.passed and not args.force:
            _fail("failing before the change, so left unchanged (--force changes it all the same): %s"
                  % _failure_words(checked), done, "checks failed before the change")
    if change is not None:
        change()
    after, checked = _checked(run, task, con, done, args.settle if before is not None else None)
    report["state_after"] = after
    if before is None:
        _save(args, name, after)
    if saved is not None or before is not None:
        report["state_diff"] = compare.changes(saved if saved is not None else before, after, every=args.compare_all)
    if saved is not None:
        diff = report["state_diff"]
        report["outputs"].append({"command": "compare", "output": diff, "warning": None, "note": (
            "changed since the snapshot: %s" % "; ".join("%s %s" % (change["what"], change["path"]) for change in diff)
            if diff else "unchanged since the snapshot")})
    if checked is None or checked.passed or before is None or not args.rollback_on_fail:
        return _told(report, checked, done, "checked after the change" if before is not None else "checked")
    report["checks"] = checked
    _rolled_back(run, task, con, report, done, _failure_words(checked))


def _rolled_back(run, task, con, report, done, failure):
    from tarvix.core.errors import TarvixError

    if not (report.get("config") or {}).get("changed"):
        _fail("after the change, %s; nothing was changed, nothing to roll back" % failure, done, "nothing to roll back")
    run.step(task.host.name, done, "the rollback")
    try:
        con.rollback_config(timeout=run.args.timeout)
    except TarvixError as error:
        words = " ".join(str(error).split())
        report["rollback"] = {"done": False, "failed": True, "error": words}
        _fail("after the change, %s; the rollback FAILED: %s" % (failure, words), done, "the rollback FAILED")
    state, checked = _checked(run, task, con, done, run.args.settle)
    healthy = checked.passed
    report["rollback"] = {"done": True, "failed": False, "healthy": healthy, "checks": checked, "state": state}
    outcome = "rolled back, healthy again" if healthy else "rolled back, still failing"
    _fail("after the change, %s; %s" % (failure, outcome if healthy else "%s: %s" % (outcome, _failure_words(checked))),
          done, outcome)


def _told(report, checked, done, what):
    if checked is None:
        return None
    report["checks"] = checked
    if not checked.passed:
        _fail(_failure_words(checked), done, "checks failed")
    done.append("%s: %d check(s) passed" % (what, len(checked)))
    report["outputs"].append({"command": "checks", "output": checked, "warning": None,
                              "note": "%d check(s) passed" % len(checked)})
    return None


def _fail(words, done, step):
    from tarvix.core.errors import CheckFailedError

    done.append(step)
    raise CheckFailedError(words)


def rollback_failed(reports):
    """Whether the rollback of a change that failed its checks failed on any device."""
    return any((report.get("rollback") or {}).get("failed") for report in reports.values())
