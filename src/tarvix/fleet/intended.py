"""``tarvix run --intended DIR``: each host brought to the configuration of
``DIR/<host>.cfg`` (or, with ``--merge``, that file's lines merged in); with
``--dry-run`` nothing is sent, and each diff is shown and written to
``<host>.diff`` under ``--output``.  Before a change is sent, the
configuration before it is kept as ``<host>.before.cfg`` under ``--output``,
which ``--rollback DIR`` (that folder) brings back.  ``--backup DIR`` writes
each device's running configuration to ``DIR/<host>.cfg``.  What each host
did goes into its report's ``config``: changed, the number of lines, and
for a change that failed whether it was undone, or how far it came."""
import os

from tarvix.exits import UsageError
from tarvix.fleet.naming import file_stem

# --save is the reload's option too (tarvix.fleet.reload).
CONFIG_OPTIONS = ("--dry-run", "--merge", "--confirm", "--allow-empty")
# What a dry run is not combined with: each of them sends.
SENDING_OPTIONS = ("--execute", "--configure", "--reload", "--switchover", "--save")
BEFORE_SUFFIX = ".before.cfg"


def add_options(parser, seconds):
    group = parser.add_argument_group("configuration as a whole")
    group.add_argument("--intended", metavar="DIR",
                       help="bring each device to the configuration of DIR/<host>.cfg (after the commands); the "
                            "configuration before a change is kept as <host>%s under --output" % BEFORE_SUFFIX)
    group.add_argument("--rollback", metavar="DIR",
                       help="bring each device back to the configuration before the change of an earlier run, "
                            "DIR/<host>%s (that run's --output); a device without one is left as it is"
                            % BEFORE_SUFFIX)
    group.add_argument("--backup", metavar="DIR",
                       help="write each device's running configuration to DIR/<host>.cfg, before any other step")
    group.add_argument("--dry-run", action="store_true",
                       help="send nothing: show each device's diff (and write it to <host>.diff under --output)")
    group.add_argument("--merge", action="store_true", help="merge the file's lines in, removing nothing")
    group.add_argument("--confirm", type=seconds, metavar="S",
                       help="a change undone by the device itself unless confirmed within S seconds")
    group.add_argument("--allow-empty", action="store_true",
                       help="replace with an empty file all the same (by default refused: it would remove the "
                            "whole configuration)")


def _given(args, options):
    return [option for option in options if getattr(args, option[2:].replace("-", "_"), None)]


def _same_directory(first, second):
    return bool(first and second) and os.path.realpath(first) == os.path.realpath(second)


def check(args):
    """Complains in one line of options that do not fit together."""
    source = args.intended or args.rollback
    if args.intended and args.rollback:
        raise UsageError("--intended and --rollback: give one of them")
    if not source:
        given = _given(args, CONFIG_OPTIONS)
        if given:
            raise UsageError("%s: only with --intended DIR or --rollback DIR" % ", ".join(given))
        return
    if args.merge and args.rollback:
        raise UsageError("--merge: only with --intended DIR (a rollback replaces)")
    sending = _given(args, SENDING_OPTIONS)
    if args.dry_run and sending:
        raise UsageError("--dry-run sends nothing: not with %s" % ", ".join(sending))
    if args.confirm is not None and args.confirm < 1:
        raise UsageError("--confirm %g: give 1 second or more" % args.confirm)
    option = "--intended" if args.intended else "--rollback"
    if not os.path.isdir(source):
        raise UsageError("%s %s: no such directory" % (option, source))
    for other, directory in (("--output", args.output), ("--backup", args.backup)):
        if _same_directory(source, directory):
            raise UsageError("%s and %s %s: give %s another directory, this one holds the files to apply"
                             % (option, other, directory, other))


def _source_text(path, name, what):
    try:
        with open(path, "rb") as source:
            data = source.read()
    except OSError as error:
        raise UsageError("no %s for %s: %s: %s" % (what, name, path, error.strerror or error))
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise UsageError("%s for %s: %s: not UTF-8 text (byte 0x%02x at offset %d)"
                         % (what, name, path, data[error.start], error.start))


def intended_text(args, name):
    """The host's intended configuration (or, with --rollback, the one
    before), or None when a rollback has none for it."""
    if args.rollback:
        what, path = "configuration before", os.path.join(args.rollback, file_stem(name) + BEFORE_SUFFIX)
        if not os.path.exists(path):
            return None
    else:
        what, path = "intended configuration", os.path.join(args.intended, file_stem(name) + ".cfg")
    text = _source_text(path, name, what)
    if not text.strip() and not args.allow_empty and not args.merge:
        raise UsageError("the %s for %s is empty (%s): it would remove the whole configuration; give "
                         "--allow-empty to mean it" % (what, name, path))
    return text


def backup(run, task, done):
    """Writes the host's running configuration to --backup DIR."""
    from tarvix.bases.config import cutshort
    from tarvix.nornir.connection import host_connection

    run.check()
    run.step(task.host.name, done, "the backup")
    text = host_connection(task.host, task.nornir.config).running_config()
    cutshort.keep(os.path.join(run.args.backup, file_stem(task.host.name) + ".cfg"), text)
    done.append("the running configuration backed up")


def _kept_before(args, name):
    """Where the configuration before a change is kept (None: no --output);
    one an earlier run left there is gone, it is not this run's."""
    if not args.output or args.dry_run:
        return None
    path = os.path.join(args.output, file_stem(name) + BEFORE_SUFFIX)
    if os.path.lexists(path):
        os.remove(path)
    return path


def apply(run, task, report, done):
    """Replaces (or merges) the host's configuration; raises what failed."""
    from tarvix.core.errors import ConfigError
    from tarvix.nornir.connection import host_connection

    args, name = run.args, task.host.name
    text = intended_text(args, name)
    if text is None:
        report["config"] = {"changed": False, "lines": 0, "rollback": "none"}
        done.append("nothing to roll back")
        return
    run.check()
    run.step(name, done, "the configuration before" if args.rollback else "the intended configuration")
    con = host_connection(task.host, task.nornir.config)
    change_of = con.merge_config if args.merge else con.replace_config
    kept = _kept_before(args, name)
    try:
        change = change_of(text, dry_run=args.dry_run, confirm=args.confirm, save=bool(args.save),
                           timeout=args.timeout, keep_before=kept)
    except ConfigError as error:
        report["config"], told = failed_change(error, kept)
        done.append(told)
        raise
    report["config"] = {"changed": change.changed and not change.dry_run, "lines": len(change.sent),
                        "dry_run": change.dry_run, "diff": change.diff}
    if change.changed and kept:
        report["config"]["before"] = kept
    if args.rollback:
        report["config"]["rolled_back"] = change.changed and not change.dry_run
    if args.dry_run and args.output:
        with open(os.path.join(args.output, file_stem(name) + ".diff"), "w", encoding="utf-8") as out:
            out.write(change.diff)
    done.append("%s: %d line(s)" % ("would change" if args.dry_run and change.changed else
                                    "changed" if change.changed else "unchanged", len(change.sent)))
    report["outputs"].append({"command": "intended configuration", "output": change.diff or "(no difference)",
                              "warning": None})


def failed_change(error, kept):
    """A failed change's ``config`` in the report, and what ``done`` says
    of it."""
    from tarvix.core.errors import ConfigConflictError, ConfigCutShortError

    if isinstance(error, ConfigConflictError):
        return {"changed": False, "lines": 0, "conflict": True}, "the configuration change not sent: it changed meanwhile"
    if isinstance(error, ConfigCutShortError):
        config = {"changed": bool(error.acknowledged), "lines": len(error.sent), "undone": False,
                  "cut_short": True, "acknowledged": len(error.acknowledged), "before": kept}
        where = "the configuration before in %s" % kept if kept else "the configuration before not kept (no --output)"
        return config, ("the configuration change begun, cut short after %d line(s) acknowledged, NOT undone; %s"
                        % (len(error.acknowledged), where))
    config = {"changed": False, "lines": 0, "undone": error.undone}
    return config, "the configuration change refused, %s" % ("undone" if error.undone else "NOT undone")


def note(report):
    """What the table tells of a host's configuration, or ""."""
    config = report.get("config")
    if not config:
        return ""
    if config.get("rollback") == "none":
        return "nothing to roll back"
    if config.get("conflict"):
        return "change not sent: the configuration changed meanwhile"
    if config.get("cut_short"):
        return "change cut short after %d line(s) acknowledged, NOT undone%s" % (
            config["acknowledged"], "; before in %s" % config["before"] if config["before"] else "")
    if "undone" in config:
        return "change refused, %s" % ("undone" if config["undone"] else "NOT undone")
    if config.get("dry_run"):
        return "would change, %d line(s)" % config["lines"] if config["lines"] else "unchanged"
    return "changed, %d line(s)" % config["lines"] if config["changed"] else "unchanged"


def dry_run_diffs(reports, names):
    """The diffs of a dry run, host by host, for the terminal ("" for none)."""
    shown = []
    for name in names:
        config = reports[name].get("config") or {}
        if config.get("dry_run") and config.get("diff"):
            shown.append("=== %s\n%s" % (name, config["diff"].rstrip("\n")))
    return "\n".join(shown)
