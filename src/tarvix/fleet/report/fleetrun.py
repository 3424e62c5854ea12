"""What ``tarvix run`` adds to its document for the report (each step's
times, the hosts' files, the command line, the run's start and end) and
``--report FILE``: checked before anything is connected, written once the
devices are done."""
import sys
import time

from tarvix.fleet.report import content


def check(args):
    """Refuses a --report file that cannot be written (UsageError)."""
    from tarvix.fleet.report import check_path

    if getattr(args, "report", None):
        check_path(args.report)


def platform(host):
    """The platform a host's tarvix connection is given (its own, or its
    connection options')."""
    from tarvix.nornir import CONNECTION_NAME

    return host.get_connection_parameters(CONNECTION_NAME).platform


def add_report_keys(host, report, plan):
    """Into a host's entry of the document: every key of its report that
    the entry lacks (its steps, its platform, what other rooms report),
    its output file and session logs (``plan``: the host's files)."""
    for key, value in report.items():
        host.setdefault(key, value)
    output, _, files = plan
    if output:
        host["output_file"] = output
    logs = [path for path in files if path != output]
    if logs:
        host["session_logs"] = logs


def add_run_keys(document, args, elapsed):
    """Into the document: the run's start and end (seconds since the
    epoch) and its command line, masked."""
    ended = time.time()
    document["started"], document["ended"] = round(ended - elapsed, 3), round(ended, 3)
    words = getattr(args, "command_line", None) or ["tarvix", "run"]
    patterns = ()
    if args.configure:  # the dialects are looked up only for what needs them
        patterns = content.config_patterns(host.get("platform") for host in document["hosts"])
    document["command_line"] = content.command_line(words, patterns)


def write(args, document):
    """Writes --report (None: not asked for); False when it could not be
    written, which is told."""
    from tarvix.fleet.report import write as write_report

    if not getattr(args, "report", None):
        return None
    try:
        write_report(document, args.report)
    except (OSError, ValueError) as error:  # ValueError: a value JSON cannot hold
        print("error: --report: cannot write %s: %s" % (args.report, getattr(error, "strerror", None) or error),
              file=sys.stderr)
        return False
    return True
