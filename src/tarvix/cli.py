"""The ``tarvix`` console command."""
import argparse
import json
import logging
import os
import shutil
import sys
import tempfile
import time

import tarvix
from tarvix.core.errors import TarvixError
from tarvix.eal.secrets import ENABLE_PASSWORD_ENV, PASSWORD_ENV, mask_report
from tarvix.exits import FAILED, INTERRUPTED, OUTPUT_CLOSED, USAGE, UsageError, fail


class OutputError(TarvixError):
    """Standard output cannot be written (a full disk, /dev/full): not an
    OSError, so that no handler of the device's errors takes it for one."""


class _Output(object):
    """Standard output, whose write failures raise OutputError (a closed
    pipe stays BrokenPipeError)."""

    def __init__(self, stream):
        self._stream = stream

    def _call(self, method, *args):
        try:
            return method(*args)
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError(error.strerror or str(error))

    def write(self, text):
        return self._call(self._stream.write, text)

    def flush(self):
        return self._call(self._stream.flush)

    def __getattr__(self, name):
        return getattr(self._stream, name)


def _plugins(args):
    from tarvix.bases.platforms import plugin_rows

    rows = plugin_rows()
    if not rows:
        print("no plugins registered")
        return 0
    cells = [("os", "chassis type", "class", "from")] + rows
    widths = [max(len(row[column]) for row in cells) for column in range(3)]
    for row in cells:
        print("  ".join([cell.ljust(width) for cell, width in zip(row, widths)] + [row[3]]))
    return 0


def _credentials(args):
    """Credentials from the options, a prompt or the environment; the
    password itself is never printed or logged."""
    from tarvix.credentials import login_password

    credentials = {}
    password = login_password(args.password, args.ask_password,
                              "password for %s: " % args.username if args.username else "password: ")
    if args.username or password is not None:
        credentials["default"] = {"username": args.username, "password": password}
    enable = os.environ.get(ENABLE_PASSWORD_ENV)
    if enable is not None:
        credentials["enable"] = {"password": enable}
    return credentials


def _simulated(args, workdir):
    """Start commands, credentials and child environment for the bundled
    simulator."""
    from tarvix import simulator

    options = []
    env = None
    credentials = {}
    if args.sim_login:
        from tarvix.eal.secrets import random_token

        password = random_token(8)
        env = dict(os.environ)
        env[simulator.PASSWORD_ENV] = password
        options += ["--login", "--username", "admin"]
        credentials["default"] = {"username": "admin", "password": password}
    if args.os != "generic":
        options += ["--dialect", args.os]
    if args.chassis == "dual_rp":
        return simulator.pair(args.hostname, workdir, *options), credentials, env
    return [simulator.command(args.hostname, *options)], credentials, env


def _say(text=""):
    print(mask_report(text), flush=True)


def _replies(texts):
    """(pattern, answer) pairs from --reply PATTERN=ANSWER options."""
    import re

    replies = []
    for text in texts or []:
        pattern, equals, answer = text.rpartition("=")
        if not equals or not pattern:
            raise UsageError("--reply %r: give it as PATTERN=ANSWER (e.g. '\\[confirm\\]=y')" % text)
        try:
            re.compile(pattern)
        except re.error as error:
            raise UsageError("--reply %r: the pattern is no regular expression: %s" % (text, error))
        replies.append((pattern, answer))
    return replies


def _setup_commands(args):
    """The setup commands to ask for: None leaves the plugin's own choice."""
    if args.no_setup_commands:
        if args.setup_command or args.setup_config:
            raise UsageError("--no-setup-commands goes with neither --setup-command nor --setup-config")
        return [], []
    return args.setup_command, args.setup_config


def _check(args):
    from tarvix.bases.platforms import checked_os
    from tarvix.fleet.checks import line_break

    for option, seconds in (("--timeout", args.timeout), ("--command-timeout", args.command_timeout)):
        if seconds is not None and not seconds > 0:
            raise UsageError("%s must be more than 0 seconds" % option)
    if args.start and len(args.start) > 2:
        raise UsageError("--start is given once for a single-RP device, twice for a dual-RP one")
    args.os = checked_os(args.os, args.chassis or ("dual_rp" if args.start and len(args.start) == 2 else None))
    if not args.start:
        _check_simulated(args.os)
    if args.parse and not args.execute:
        raise UsageError("--parse goes with --execute")
    for option, texts in (("--execute", args.execute), ("--setup-command", args.setup_command),
                          ("--setup-config", args.setup_config)):
        complaint = line_break(option, texts)
        if complaint:
            raise UsageError(complaint)
    if args.session_log and os.path.exists(args.session_log) and not os.path.isdir(args.session_log):
        raise UsageError("--session-log %s: a file is there, not a directory" % args.session_log)
    if args.ask_password:
        if args.password is not None:
            raise UsageError("give the password by --password or by --ask-password, not both")
        if not args.start:
            raise UsageError("--ask-password goes with --start: the bundled simulator makes up its own password")


def _check_simulated(os_name):
    """Without a device the bundled simulator stands in, in the os's
    dialect: an os it does not speak is said at once."""
    from tarvix import simulator

    if os_name not in simulator.DIALECTS:
        raise UsageError("--os %s: the bundled simulator does not speak it (it speaks %s); give the device "
                         "with --start" % (os_name, ", ".join(simulator.DIALECTS)))


def _log_to_file(args, logger):
    """The handler that writes the framework's log records to --log-file
    (all of them, debug records included), or None."""
    from tarvix.eal.secrets import FILTER

    if not args.log_file:
        return None
    try:
        handler = logging.FileHandler(args.log_file, encoding="utf-8")
    except OSError as error:
        raise UsageError("--log-file: cannot write %s: %s" % (args.log_file, error.strerror or error))
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
    handler.addFilter(FILTER)
    logger.addHandler(handler)
    return handler


def _session_log(args, hostname):
    """The session log path for --session-log DIR: DIR/<hostname>.log, the
    name written as ``tarvix run`` writes it (a dual-RP connection makes
    one file per RP of it)."""
    if not args.session_log:
        return None
    from tarvix.fleet.naming import file_stem

    os.makedirs(args.session_log, exist_ok=True)
    return os.path.join(args.session_log, "%s.log" % file_stem(hostname))


def _summary(con, args, elapsed, replies, report):
    """Runs the --execute commands; prints what was found and their output,
    as text or (with --json) into ``report``."""
    report["seconds"] = round(elapsed, 3)
    report["os"] = con.os  # the platform detection chose, for --os auto
    report["learned_hostname"] = con.learned_hostname
    report["rps"] = [{"name": handle.name, "role": handle.role, "mode": handle.mode} for handle in con.handles]
    if not args.json:
        from tarvix.bases.connection import DEFAULT_LEARNED_HOSTNAME

        learnt = con.learned_hostname if con.learned_hostname != DEFAULT_LEARNED_HOSTNAME else None
        name = con.hostname or learnt or "device"
        _say("connected to %s (%s, %s) in %.2f s" % (name, _os_said(con, args), con.chassis_type, elapsed))
        _say("  hostname learnt: %s" % (con.learned_hostname or "(not learnt)"))
        for handle in con.handles:
            if con.chassis_type == "dual_rp":
                _say("  rp %s: role %s, redundancy mode %s"
                     % (handle.name, handle.role or "unknown", handle.mode or "unknown"))
            else:
                _say("  rp %s: single route processor" % handle.name)
    for command in args.execute or []:
        target = "active" if con.chassis_type == "dual_rp" and not args.mit else None
        output = con.execute(command, target=target, timeout=args.command_timeout, reply=replies, parse=args.parse)
        report["outputs"].append({"command": command, "target": target, "output": output})
        if not args.json:
            _say("--- %s%s" % (command, " (on the active rp)" if target else ""))
            _say(json.dumps(mask_report(output), indent=2) if args.parse else output)


def _os_said(con, args):
    return "%s, detected" % con.os if con.os != args.os else con.os


class _Attempt(object):
    """What a connect made that is let go once it ends: the connection and
    the bundled simulator's folder."""

    def __init__(self):
        self.con = None
        self.workdir = None

    def close(self):
        if self.con is not None and hasattr(self.con, "_close_links"):
            self.con._close_links()
        if self.workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)


def _connect(args):
    logger = logging.getLogger("tarvix")
    try:
        handlers = _log_handlers(args, logger)
    except UsageError as error:
        return fail(error, USAGE)
    try:
        return _connect_logged(args)
    finally:
        for handler in handlers:
            logger.removeHandler(handler)
        for handler in handlers[1:]:
            handler.close()


def _log_handlers(args, logger):
    """The handlers of the framework's records, put on ``logger`` before
    anything is looked up (-vv shows the registry's as it walks the
    plugins): standard error's, and --log-file's if given."""
    from tarvix.eal.secrets import FILTER
    from tarvix.verbosity import Verbosity

    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(message)s"))
    handler.setLevel(logging.DEBUG if args.verbose else logging.INFO)
    handler.addFilter(Verbosity(args.verbose))
    handler.addFilter(FILTER)
    file_handler = _log_to_file(args, logger)
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG if args.verbose or file_handler else logging.INFO)
    return [handler] + ([file_handler] if file_handler else [])


def _connect_logged(args):
    try:
        _check(args)
        replies = _replies(args.reply)
        init_exec, init_config = _setup_commands(args)
        credentials = _credentials(args) if args.start else None
    except UsageError as error:
        return fail(error, USAGE)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return INTERRUPTED

    attempt = _Attempt()
    report = {"hostname": args.hostname or ("device" if args.start else "sim-router"), "os": args.os,
              "chassis": None, "seconds": None, "learned_hostname": None, "rps": [], "outputs": [], "error": None}
    try:
        return _connect_once(args, attempt, report, replies, (init_exec, init_config), credentials)
    except OutputError:
        raise
    except (TarvixError, ImportError, ValueError, OSError) as error:
        if isinstance(error, BrokenPipeError):
            raise
        fail(mask_report(str(error)))
        if args.json:
            report["error"] = str(error)
            _say(json.dumps(mask_report(report)))
        return FAILED
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return INTERRUPTED
    finally:
        attempt.close()


def _connect_once(args, attempt, report, replies, setup, credentials):
    """Connects, runs the commands, tells what was found and disconnects."""
    from tarvix.bases import parsing
    from tarvix.bases.connection import Connection

    env = None
    if args.start:
        start = args.start
        chassis = args.chassis or ("dual_rp" if len(start) == 2 else "single_rp")
    else:
        attempt.workdir = tempfile.mkdtemp(prefix="tarvix-sim-")
        chassis = args.chassis or "single_rp"
        args.chassis = chassis
        args.hostname = args.hostname or "sim-router"
        start, credentials, env = _simulated(args, attempt.workdir)
        print("no device named: connecting to the bundled simulator (%s)" % chassis, file=sys.stderr)
    report["chassis"] = chassis
    began = time.monotonic()
    con = attempt.con = Connection(
        hostname=args.hostname, start=start, os=args.os, series=args.series, model=args.model,
        chassis_type=chassis, credentials=credentials, learn_hostname=True, connection_timeout=args.timeout,
        mit=args.mit, prompt_recovery=args.prompt_recovery, env=env, init_exec_commands=setup[0],
        init_config_commands=setup[1], console_settle=args.console_settle,
        session_log=_session_log(args, args.hostname or "device"),
        ssh={"config": False} if args.no_ssh_config else None)
    if args.parse:
        # A command without a template fails before anything connects.
        for command in args.execute:
            parsing.find_template(getattr(con, "template_platform", None), command)
    con.connect()
    _summary(con, args, time.monotonic() - began, replies, report)
    con.disconnect()
    if args.json:
        _say(json.dumps(mask_report(report)))
    else:
        _say("disconnected")
    return 0


def build_parser():
    parser = argparse.ArgumentParser(prog="tarvix", description="Command-line connections to network devices.")
    parser.add_argument("--version", action="version", version="tarvix %s" % tarvix.__version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    plugins = commands.add_parser(
        "plugins", help="list the platforms: the built-in and the installed plugins",
        description="Discovers the built-in plugins and those installed (entry points of the group "
                    "tarvix.plugins) and prints a table of the connection classes the registry holds: the os "
                    "(the name --os and an inventory's platform take), the chassis type, the class and where it "
                    "came from (built-in, or the distribution that installed it).")
    plugins.set_defaults(handler=_plugins)
    from tarvix.fleet.options import add_parsers

    add_parsers(commands)
    _connect_options(_connect_parser(commands))
    from tarvix.testing.command import add_parser as add_check_parser

    add_check_parser(commands)
    return parser


def _connect_parser(commands):
    connect = commands.add_parser(
        "connect", help="connect to a device (by default the bundled simulator), print a summary, disconnect",
        description="Connects to a device, prints what was found and disconnects. Without --start it runs "
                    "against the bundled router simulator, in the dialect of --os (it speaks every built-in "
                    "platform and the example plugin's commit). The password is taken from --password, $%s or, with "
                    "--ask-password, a prompt; an enable password from $%s."
                    % (PASSWORD_ENV, ENABLE_PASSWORD_ENV))
    connect.add_argument("--start", action="append", metavar="CMD",
                         help="command that opens the console, e.g. 'telnet ts1 2001' or 'ssh admin@r1'; "
                              "give it twice for a dual-RP device")
    connect.add_argument("--chassis", choices=("single_rp", "dual_rp"),
                         help="chassis type (default: single_rp, or dual_rp with two --start)")
    connect.add_argument("--hostname", help="the device's name (the prompt's hostname is learnt)")
    connect.add_argument("--os", default="generic", help="the device's os plugin, or auto to detect it (default: generic)")
    connect.add_argument("--series")
    connect.add_argument("--model")
    connect.add_argument("--username", help="login username")
    connect.add_argument("--password", help="login password (visible to other users in the process list; "
                                            "prefer $%s or --ask-password)" % PASSWORD_ENV)
    connect.add_argument("--ask-password", action="store_true", help="prompt for the login password")
    return connect


def _connect_options(connect):
    connect.add_argument("--timeout", type=float, default=30, metavar="S",
                         help="seconds allowed for each step of connecting: the link's start, the login, each "
                              "prompt awaited, each setup command (default: 30); not the --execute commands")
    connect.add_argument("--command-timeout", type=float, metavar="S",
                         help="seconds each --execute command may take to end in a prompt (default: the os "
                              "plugin's, 60 for the generic one)")
    connect.add_argument("--execute", action="append", metavar="CMD", help="exec command to run and print (repeatable)")
    connect.add_argument("--reply", action="append", metavar="PATTERN=ANSWER",
                         help="answer a question an --execute command asks: when the device prints what the "
                              "regular expression PATTERN matches, send ANSWER (empty: just Return), e.g. "
                              "'\\[confirm\\]=' (repeatable)")
    connect.add_argument("--setup-command", action="append", metavar="CMD",
                         help="exec command to run while connecting instead of the plugin's (repeatable); a "
                              "rejected one fails the connect")
    connect.add_argument("--setup-config", action="append", metavar="LINE",
                         help="configuration line to apply while connecting instead of the plugin's (repeatable)")
    connect.add_argument("--no-setup-commands", action="store_true",
                         help="run no setup command and apply no setup configuration while connecting "
                              "(by default the plugin's own; those the device rejects are skipped with a warning)")
    connect.add_argument("--console-settle", action="store_true",
                         help="the links are console lines behind a terminal server: after disconnecting, "
                              "give them time to settle")
    connect.add_argument("--mit", action="store_true", help="connect only: no designation or initial commands")
    connect.add_argument("--prompt-recovery", action="store_true", help="keep nudging a silent console")
    connect.add_argument("--sim-login", action="store_true",
                         help="make the simulator ask for a login (with a generated password)")
    connect.add_argument("-v", "--verbose", action="count", default=0,
                         help="log every line sent (never passwords); twice: the plugin registry's records too")
    connect.add_argument("--no-ssh-config", action="store_true",
                         help="an ssh:// start does not read the user's ssh configuration (~/.ssh/config)")
    connect.add_argument("--session-log", metavar="DIR",
                         help="record every character sent and read on the link(s) in DIR/<hostname>.log "
                              "(DIR/<hostname>.a.log and .b.log for a dual-RP device), passwords masked")
    connect.add_argument("--parse", action="store_true",
                         help="print the output of each --execute command as JSON records, through the TextFSM "
                              "templates of ntc-templates (pip install ntc-templates textfsm)")
    connect.add_argument("--json", action="store_true",
                         help="print the summary as one JSON object: hostname, os, chassis, seconds, rps (roles, "
                              "modes), the output of each command, and the error if any")
    connect.add_argument("--log-file", metavar="FILE",
                         help="append the framework's log records, debug records included, to FILE")
    connect.set_defaults(handler=_connect)


def _discard_output(stream):
    """Points standard output at /dev/null: what is still buffered for it
    cannot be written, and nothing must fail while exiting either."""
    try:
        descriptor = stream.fileno()
    except (OSError, ValueError):  # not a file (a test's capture)
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, descriptor)
    os.close(devnull)


def main(argv=None):
    stdout = sys.stdout
    sys.stdout = _Output(stdout)
    try:
        parser = build_parser()
        try:
            args = parser.parse_args(argv)
        except SystemExit:
            sys.stdout.flush()  # --help, --version
            raise
        # The words of the command as given, for what tells it (masked there).
        args.command_line = ["tarvix"] + list(sys.argv[1:] if argv is None else argv)
        handler = getattr(args, "handler", None)
        if handler is None:
            parser.print_help()
            status = 0
        else:
            status = handler(args)
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # The reader of the output went away (e.g. "| head -1").
        _discard_output(stdout)
        try:
            print("tarvix: output closed before the end", file=sys.stderr)
        except OSError:
            pass
        return OUTPUT_CLOSED
    except OutputError as error:
        _discard_output(stdout)
        return fail("cannot write to standard output: %s" % error, FAILED)
    finally:
        sys.stdout = stdout


if __name__ == "__main__":
    sys.exit(main())
