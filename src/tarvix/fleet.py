"""``tarvix run``: one job over a Nornir inventory, and ``tarvix simulate``:
an inventory of bundled-simulator devices to try it on.

``tarvix run`` reads a Nornir SimpleInventory (hosts.yaml, groups.yaml,
defaults.yaml), selects hosts by name, group or any inventory field, and
runs the ``--execute`` commands and ``--configure`` lines on each through
the "tarvix" connection plugin, ``--workers`` hosts at a time on Nornir's
threaded runner.  Each host is connected, worked and disconnected in its
own task, so that no more links are open than there are workers.  Progress
goes to standard error: a bar on a terminal, else one line per device; the
table of devices, status, seconds and the first line of any error goes to
standard output.  Exit status 1 when a device failed, 2 for a usage error.

Nornir is imported only here, when ``run`` runs: the rest of tarvix works
without it.
"""
import json
import logging
import os
import re
import signal
import sys
import threading
import time

from tarvix.eal import secrets

FAILED, USAGE, INTERRUPTED = 1, 2, 130
INVENTORY_FILES = ("hosts.yaml", "groups.yaml", "defaults.yaml")
NEEDS_NORNIR = 'tarvix run needs Nornir and a progress bar: pip install "tarvix[nornir]"'
# Host attributes --where matches besides the inventory data.
HOST_FIELDS = ("name", "hostname", "platform", "port", "username")


class UsageError(Exception):
    """A mistake in the options or the inventory: one line to the user."""


# -- tarvix simulate --fleet ---------------------------------------------

def _yaml(value):
    """A scalar as YAML: JSON's double-quoted strings are YAML's too."""
    return json.dumps(value)


def write_fleet(directory, count, prefix="sim-r"):
    """Writes a SimpleInventory of ``count`` bundled-simulator devices into
    ``directory`` (made if missing) and returns their names.  Each host's
    start command spawns a simulator of its own, so no server runs; the
    hosts belong to group "simulated" and alternate between sites "lab1"
    and "lab2" (inventory data ``site``)."""
    from tarvix import simulator

    if count < 1:
        raise ValueError("a fleet has at least one device")
    width = max(2, len(str(count)))
    names = ["%s%0*d" % (prefix, width, number) for number in range(1, count + 1)]
    os.makedirs(directory, exist_ok=True)
    hosts = []
    for number, name in enumerate(names):
        hosts += [
            "%s:" % name,
            "  hostname: %s" % _yaml(name),
            "  groups: [simulated]",
            "  data:",
            "    site: %s" % _yaml("lab%d" % (number % 2 + 1)),
            "  connection_options:",
            "    tarvix:",
            "      extras:",
            "        start: %s" % _yaml(simulator.command(name)),
        ]
    groups = [
        "simulated:",
        "  platform: generic",
        "  data:",
        "    kind: bundled simulator",
    ]
    defaults = [
        "connection_options:",
        "  tarvix:",
        "    extras:",
        "      connection_timeout: 30",
    ]
    for filename, lines in zip(INVENTORY_FILES, (hosts, groups, defaults)):
        with open(os.path.join(directory, filename), "w") as out:
            out.write("---\n" + "\n".join(lines) + "\n")
    return names


def simulate(args):
    if args.fleet is None:
        print("error: tarvix simulate needs --fleet N", file=sys.stderr)
        return USAGE
    if args.fleet < 1:
        print("error: --fleet must be 1 or more", file=sys.stderr)
        return USAGE
    try:
        names = write_fleet(args.directory, args.fleet)
    except OSError as error:
        print("error: %s" % error, file=sys.stderr)
        return FAILED
    print("wrote an inventory of %d simulated devices (%s .. %s) to %s"
          % (len(names), names[0], names[-1], args.directory))
    print("try: tarvix run --inventory %s --execute \"show clock\"" % args.directory)
    return 0


# -- tarvix run ------------------------------------------------------------

def _where(texts):
    pairs = []
    for text in texts or []:
        key, equals, value = text.partition("=")
        if not equals or not key.strip():
            raise UsageError("--where %r: give it as KEY=VALUE (e.g. site=lab1)" % text)
        pairs.append((key.strip(), value))
    return pairs


def _field(host, key):
    """A host's attribute or inventory data (its groups' and the defaults'
    included); None where it has none."""
    if key in HOST_FIELDS:
        return getattr(host, key)
    try:
        return host[key]
    except KeyError:
        return None


def _selects(args, where):
    def selected(host):
        if args.name and host.name not in args.name:
            return False
        if args.group and not any(host.has_parent_group(group) for group in args.group):
            return False
        return all(_field(host, key) is not None and str(_field(host, key)) == value for key, value in where)

    return selected


def _check(args):
    if not args.execute and not args.configure:
        raise UsageError("nothing to run: give --execute CMD and/or --configure LINE")
    if args.workers < 1:
        raise UsageError("--workers must be 1 or more")
    hosts = os.path.join(args.inventory, INVENTORY_FILES[0])
    if not os.path.isfile(hosts):
        raise UsageError("--inventory %s: no %s there" % (args.inventory, INVENTORY_FILES[0]))
    for directory in (args.output, args.session_log):
        if directory:
            try:
                os.makedirs(directory, exist_ok=True)
            except OSError as error:
                raise UsageError(str(error))
    return _where(args.where)


def _nornir(args):
    from nornir import InitNornir

    files = [os.path.join(args.inventory, name) for name in INVENTORY_FILES]
    try:
        return InitNornir(
            runner={"plugin": "threaded", "options": {"num_workers": args.workers}},
            inventory={"plugin": "SimpleInventory",
                       "options": {"host_file": files[0], "group_file": files[1], "defaults_file": files[2]}},
            logging={"enabled": False})
    except KeyError as error:
        raise UsageError("--inventory %s: group %s is named but not defined in %s"
                         % (args.inventory, error, INVENTORY_FILES[1]))
    except Exception as error:  # the YAML parser's and the inventory's many errors
        raise UsageError("--inventory %s: %s" % (args.inventory, " ".join(str(error).split())))


def _filename(name):
    return re.sub(r"[^\w.@+-]", "_", name)


def _text(output):
    return output if isinstance(output, str) else json.dumps(output, indent=2)


def _first_line(text):
    for line in str(text).splitlines():
        if line.strip():
            return line.strip()
    return ""


def _error(outcome):
    """A failed Result's message: the device's words of a tarvix task, or
    for an exception that Nornir caught (its result a traceback) the
    exception itself."""
    error = outcome.exception
    if error is not None and outcome.result != str(error):
        return secrets.mask("%s: %s" % (type(error).__name__, error))
    return secrets.mask(str(outcome.result))


def _job(args, stop):
    """The task each host runs: connect, the commands and lines, disconnect;
    the device's output to ``--output``.  Once ``stop`` is set (an
    interrupt), the hosts not begun yet fail at once."""
    from nornir.core.exceptions import NornirSubTaskError
    from nornir.core.task import Result

    from tarvix.nornir import CONNECTION_NAME, tarvix_configure, tarvix_execute
    from tarvix.nornir.tasks import FAILURES

    def job(task):
        if stop.is_set():
            return Result(host=task.host, result="interrupted before it began", failed=True, seconds=0.0)
        began = time.monotonic()
        sections = []
        error = None
        try:
            if args.session_log:
                params = task.host.get_connection_parameters(CONNECTION_NAME)
                extras = dict(params.extras or {})
                extras["session_log"] = os.path.join(args.session_log, _filename(task.host.name) + ".log")
                task.host.open_connection(CONNECTION_NAME, task.nornir.config, extras=extras)
            for command in args.execute or []:
                result = task.run(tarvix_execute, command=command, parse=args.parse, name=command)
                sections.append("--- %s\n%s" % (command, _text(result[0].result)))
            if args.configure:
                result = task.run(tarvix_configure, lines=args.configure, name="configure")
                sections.append("--- configure\n%s" % _text(result[0].result))
        except NornirSubTaskError as failure:
            error = _error(failure.result[0])
        except FAILURES as failure:
            error = str(failure)
        except Exception as failure:  # told in the table; its traceback with --verbose
            logging.getLogger("tarvix.fleet").debug("%s failed", task.host.name, exc_info=True)
            error = "%s: %s" % (type(failure).__name__, failure)
        finally:
            if CONNECTION_NAME in task.host.connections:
                try:
                    task.host.close_connection(CONNECTION_NAME)
                except FAILURES as closing:
                    error = error or str(closing)
            if args.output:
                text = "\n".join(sections + (["!!! failed: %s" % error] if error else []))
                with open(os.path.join(args.output, _filename(task.host.name) + ".txt"), "w") as out:
                    out.write(text + "\n")
        seconds = time.monotonic() - began
        if error:
            return Result(host=task.host, result=error, failed=True, seconds=seconds)
        return Result(host=task.host, result="\n".join(sections), seconds=seconds)

    return job


class Progress(object):
    """A Nornir processor that shows the devices as they finish: a bar on a
    terminal, else a line per device."""

    def __init__(self, total, stream):
        self.total = total
        self.stream = stream
        self.done = 0
        self.failed = 0
        self.lock = threading.Lock()
        self.bar = None
        if stream.isatty():
            from rich.console import Console
            from rich.progress import BarColumn, MofNCompleteColumn, Progress as Bar, TextColumn, \
                TimeElapsedColumn

            self.bar = Bar(TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(),
                           TextColumn("{task.fields[failed]} failed"), TimeElapsedColumn(),
                           console=Console(file=stream), transient=False)
            self.task_id = self.bar.add_task("devices", total=total, failed=0)

    def __enter__(self):
        if self.bar is not None:
            self.bar.start()
        return self

    def __exit__(self, *exc):
        if self.bar is not None:
            self.bar.stop()

    def task_started(self, task):
        pass

    def task_completed(self, task, result):
        pass

    def task_instance_started(self, task, host):
        pass

    def subtask_instance_started(self, task, host):
        pass

    def subtask_instance_completed(self, task, host, result):
        pass

    def task_instance_completed(self, task, host, result):
        outcome = result[0]
        with self.lock:
            self.done += 1
            self.failed += bool(result.failed)
            line = "[%d/%d] %s: %s in %.2f s" % (self.done, self.total, host.name,
                                                 "failed" if result.failed else "ok",
                                                 getattr(outcome, "seconds", 0.0))
            if result.failed:
                line += ": %s" % _first_line(_error(outcome))
            if self.bar is None:
                print(line, file=self.stream, flush=True)
                return
            # The bar counts; a failure is also told above it as it happens.
            if result.failed:
                self.bar.console.print(line, markup=False, highlight=False, soft_wrap=True)
            self.bar.update(self.task_id, advance=1, failed=self.failed)


class _StderrHandler(logging.Handler):
    """Writes to the current ``sys.stderr``, which the progress bar may have
    redirected to print above itself."""

    def emit(self, record):
        try:
            sys.stderr.write(self.format(record) + "\n")
        except Exception:
            self.handleError(record)


def table(rows):
    """The closing table: (device, status, seconds, error) rows."""
    header = ("device", "status", "seconds", "error")
    cells = [header] + [(name, status, "%.2f" % seconds, error) for name, status, seconds, error in rows]
    widths = [max(len(row[column]) for row in cells) for column in range(3)]
    lines = []
    for row in cells:
        line = "  ".join(cell.ljust(width) if column != 2 else cell.rjust(width)
                         for column, (cell, width) in enumerate(zip(row[:3], widths)))
        lines.append((line + "  " + row[3]).rstrip())
    return "\n".join(lines)


def run(args):
    try:
        where = _check(args)
    except UsageError as error:
        print("error: %s" % error, file=sys.stderr)
        return USAGE
    try:
        import nornir  # noqa: F401
        import rich  # noqa: F401
    except ImportError:
        print("error: %s" % NEEDS_NORNIR, file=sys.stderr)
        return FAILED
    try:
        nr = _nornir(args)
    except UsageError as error:
        print("error: %s" % error, file=sys.stderr)
        return USAGE
    nr = nr.filter(filter_func=_selects(args, where))
    names = sorted(nr.inventory.hosts)
    if not names:
        print("error: no device in %s matches the filters" % args.inventory, file=sys.stderr)
        return USAGE

    handler = _StderrHandler()
    handler.setFormatter(logging.Formatter("%(message)s"))
    handler.addFilter(secrets.FILTER)
    logger = logging.getLogger("tarvix")
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG if args.verbose else logging.WARNING)
    # Nornir reports what its tasks raise through logging, which is not set
    # up here: the results carry them.
    quiet = logging.NullHandler()
    logging.getLogger("nornir").addHandler(quiet)
    # The runner waits for every queued host before an interrupt reaches
    # this thread: the hosts not begun by then are told to end at once.
    stop = threading.Event()

    def interrupted(number, frame):
        stop.set()
        raise KeyboardInterrupt()

    handles_signals = threading.current_thread() is threading.main_thread()
    if handles_signals:
        previous = signal.signal(signal.SIGINT, interrupted)
    began = time.monotonic()
    try:
        with Progress(len(names), sys.stderr) as progress:
            results = nr.with_processors([progress]).run(task=_job(args, stop), name="tarvix run")
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return INTERRUPTED
    finally:
        if handles_signals:
            signal.signal(signal.SIGINT, previous)
        logger.removeHandler(handler)
        logging.getLogger("nornir").removeHandler(quiet)
    elapsed = time.monotonic() - began

    rows = []
    for name in names:
        outcome = results[name][0]
        status = "failed" if results[name].failed else "ok"
        error = _first_line(_error(outcome)) if results[name].failed else ""
        rows.append((name, status, getattr(outcome, "seconds", 0.0), error))
    failed = sum(1 for row in rows if row[1] == "failed")
    print(table(rows))
    print("%d device(s): %d ok, %d failed, in %.2f s with %d worker(s)"
          % (len(rows), len(rows) - failed, failed, elapsed, args.workers))
    if args.output:
        print("output of each device in %s" % args.output)
    return FAILED if failed else 0


def add_parsers(commands):
    """Adds the subcommands ``run`` and ``simulate`` to the CLI's parsers."""
    parser = commands.add_parser(
        "run", help="run commands on every device of a Nornir inventory (needs tarvix[nornir])",
        description="Runs --execute commands and --configure lines on the devices of a Nornir SimpleInventory "
                    "(hosts.yaml, groups.yaml, defaults.yaml) through the 'tarvix' connection plugin, "
                    "--workers devices at a time, and prints a table of the outcome. Exit status 1 when "
                    "any device failed.")
    parser.add_argument("--inventory", required=True, metavar="DIR",
                        help="directory of hosts.yaml (and optionally groups.yaml, defaults.yaml)")
    parser.add_argument("--name", action="append", metavar="HOST", help="only this host (repeatable: any of them)")
    parser.add_argument("--group", action="append", metavar="GROUP",
                        help="only hosts of this group (repeatable: any of them)")
    parser.add_argument("--where", action="append", metavar="KEY=VALUE",
                        help="only hosts whose inventory field or data KEY is VALUE (repeatable: all of them)")
    parser.add_argument("--execute", action="append", metavar="CMD", help="exec command to run (repeatable)")
    parser.add_argument("--configure", action="append", metavar="LINE",
                        help="configuration line to apply after the commands (repeatable)")
    parser.add_argument("--workers", type=int, default=20, metavar="N",
                        help="devices worked at the same time (default: 20)")
    parser.add_argument("--output", metavar="DIR", help="write each device's output to DIR/<host>.txt")
    parser.add_argument("--session-log", metavar="DIR",
                        help="record each device's session (secrets masked) to DIR/<host>.log")
    parser.add_argument("--parse", action="store_true", help="parse the command output into records")
    parser.add_argument("-v", "--verbose", action="store_true", help="log every line sent (never passwords)")
    parser.set_defaults(handler=run)

    parser = commands.add_parser(
        "simulate", help="write a Nornir inventory of bundled-simulator devices",
        description="Writes hosts.yaml, groups.yaml and defaults.yaml into DIR: N devices sim-r01, sim-r02, ... "
                    "each reached by spawning the bundled router simulator, so that 'tarvix run --inventory "
                    "DIR' works without any server.")
    parser.add_argument("--fleet", type=int, metavar="N", help="number of devices")
    parser.add_argument("directory", metavar="DIR")
    parser.set_defaults(handler=simulate)
