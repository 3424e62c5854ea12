"""``tarvix run --intended DIR``: each host brought to the configuration of
``DIR/<host>.cfg`` (or, with ``--merge``, that file's lines merged in); with
``--dry-run`` nothing is sent and the diff goes to ``<host>.diff`` under
``--output``.  What each host did goes into its report's ``config``:
changed, the number of lines, and for a change that failed whether it was
undone."""
import os

from tarvix.exits import UsageError
from tarvix.fleet.naming import file_stem

# --save is the reload's option too (tarvix.fleet.reload).
CONFIG_OPTIONS = ("--dry-run", "--merge", "--confirm")


def add_options(parser, seconds):
    group = parser.add_argument_group("configuration as a whole")
    group.add_argument("--intended", metavar="DIR",
                       help="bring each device to the configuration of DIR/<host>.cfg (after the commands)")
    group.add_argument("--dry-run", action="store_true",
                       help="send nothing: write each device's diff to <host>.diff under --output")
    group.add_argument("--merge", action="store_true", help="merge the file's lines in, removing nothing")
    group.add_argument("--confirm", type=seconds, metavar="S",
                       help="a change undone by the device itself unless confirmed within S seconds")


def check(args):
    """Complains in one line of options that do not fit together."""
    if not args.intended:
        given = [option for option in CONFIG_OPTIONS if getattr(args, option[2:].replace("-", "_"))]
        if given:
            raise UsageError("%s: only with --intended DIR" % ", ".join(given))
        return
    if not os.path.isdir(args.intended):
        raise UsageError("--intended %s: no such directory" % args.intended)


def intended_text(args, name):
    path = os.path.join(args.intended, file_stem(name) + ".cfg")
    try:
        with open(path, encoding="utf-8") as source:
            return source.read()
    except OSError as error:
        raise UsageError("no intended configuration for %s: %s: %s" % (name, path, error.strerror or error))


def apply(run, task, report, done):
    """Replaces (or merges) the host's configuration; raises what failed."""
    from tarvix.core.errors import ConfigError
    from tarvix.nornir.connection import host_connection

    args = run.args
    text = intended_text(args, task.host.name)
    run.check()
    run.step(task.host.name, done, "the intended configuration")
    con = host_connection(task.host, task.nornir.config)
    change_of = con.merge_config if args.merge else con.replace_config
    try:
        change = change_of(text, dry_run=args.dry_run, confirm=args.confirm, save=bool(args.save))
    except ConfigError as error:
        report["config"] = {"changed": False, "lines": 0, "undone": error.undone}
        done.append("the configuration change refused, %s" % ("undone" if error.undone else "NOT undone"))
        raise
    report["config"] = {"changed": change.changed and not change.dry_run, "lines": len(change.sent),
                        "dry_run": change.dry_run, "diff": change.diff}
    if args.dry_run and args.output:
        with open(os.path.join(args.output, file_stem(task.host.name) + ".diff"), "w", encoding="utf-8") as out:
            out.write(change.diff)
    done.append("%s: %d line(s)" % ("would change" if args.dry_run and change.changed else
                                    "changed" if change.changed else "unchanged", len(change.sent)))
    report["outputs"].append({"command": "intended configuration", "output": change.diff or "(no difference)",
                              "warning": None})


def note(report):
    """What the table tells of a host's configuration, or ""."""
    config = report.get("config")
    if not config:
        return ""
    if "undone" in config:
        return "change refused, %s" % ("undone" if config["undone"] else "NOT undone")
    if config.get("dry_run"):
        return "would change, %d line(s)" % config["lines"] if config["lines"] else "unchanged"
    return "changed, %d line(s)" % config["lines"] if config["changed"] else "unchanged"
