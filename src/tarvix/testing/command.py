"""``tarvix check``: the conformance check from the command line, against
a device (``--start``) or the bundled simulator in the platform's dialect."""
import json
import sys

from tarvix.core.errors import TarvixError
from tarvix.eal.secrets import PASSWORD_ENV, mask_report
from tarvix.exits import FAILED, USAGE, UsageError, fail


def add_parser(commands):
    """Adds the subcommand ``check`` to the CLI's parsers."""
    parser = commands.add_parser(
        "check", help="run the conformance check of a platform against a device (or the bundled simulator)",
        description="Connects, learns the hostname, proves paging is off, sends a rejected command and a "
                    "rejected configuration line and expects them refused, applies and removes a harmless "
                    "configuration line and reads the configuration back (--change), saves (--save), "
                    "disconnects and prints a table of the steps, then the steps skipped (not asked, or "
                    "the platform has no such thing) and those unproven (the platform has it, but its "
                    "dialect states nothing for the step to send). Exit status 0 when every step passed or "
                    "was skipped, 1 when one failed or is unproven, 2 for a mistake in the options. The "
                    "password comes from --password, $%s or, with --ask-password, a prompt." % PASSWORD_ENV)
    parser.add_argument("--os", required=True, help="the platform (os plugin) to check")
    parser.add_argument("--start", action="append", metavar="CMD",
                        help="command or ssh:// URL that opens the device's console (twice for a dual-RP "
                             "device); none: the bundled simulator in the platform's dialect")
    parser.add_argument("--hostname", help="the device's name (the prompt's hostname is learnt)")
    parser.add_argument("--username", help="login username")
    parser.add_argument("--password", help="login password (prefer $%s or --ask-password)" % PASSWORD_ENV)
    parser.add_argument("--ask-password", action="store_true", help="prompt for the login password")
    parser.add_argument("--change", action="store_true", help="apply and remove the platform's harmless line")
    parser.add_argument("--save", action="store_true", help="save the configuration")
    parser.add_argument("--timeout", type=float, default=30,
                        help="seconds each step may take, its commands together (default: 30)")
    parser.add_argument("--json", action="store_true", help="print the steps as one JSON object")
    parser.set_defaults(handler=check)


def simulator_start(os_name, hostname="sim-router"):
    """The simulator's start commands for the platform, or UsageError."""
    from tarvix import simulator
    from tarvix.bases.connection import plugin_class

    if os_name not in simulator.DIALECTS:
        raise UsageError("the bundled simulator does not speak %s (it speaks %s): give --start"
                         % (os_name, ", ".join(simulator.DIALECTS)))
    options = ["--dialect", os_name] if os_name != "generic" else []
    # Told to refuse the check's configuration line, as a device does.
    line = plugin_class(os_name).dialect.rejected_config
    if line:
        options += ["--reject", line]
    return [simulator.command(hostname, *options)]


def _connection(args):
    from tarvix.bases.connection import Connection
    from tarvix.credentials import login_password

    start = args.start or simulator_start(args.os)
    password = login_password(args.password, args.ask_password,
                              "password for %s: " % args.username if args.username else "password: ")
    credentials = {}
    if args.username or password is not None:
        credentials["default"] = {"username": args.username, "password": password}
    return Connection(hostname=args.hostname or "device", start=start, os=args.os, credentials=credentials,
                      learn_hostname=True, connection_timeout=args.timeout)


def check(args):
    from tarvix.bases.platforms import checked_os
    from tarvix.testing.conformance import passed, run_check, table

    try:
        if not args.timeout > 0:
            raise UsageError("--timeout must be more than 0 seconds")
        if args.start and len(args.start) > 2:
            raise UsageError("--start is given once for a single-RP device, twice for a dual-RP one")
        if args.ask_password and not args.start:
            raise UsageError("--ask-password goes with --start: the bundled simulator asks for no password")
        args.os = checked_os(args.os, "dual_rp" if args.start and len(args.start) == 2 else None)
        try:
            con = _connection(args)
        except TarvixError as error:
            # The registry knows no such os.
            raise UsageError(str(error).splitlines()[0])
    except (UsageError, ValueError) as error:
        return fail(error, USAGE)
    steps = run_check(con, change=args.change, save=args.save, timeout=args.timeout)
    if args.json:
        print(json.dumps(mask_report({"os": con.os, "passed": passed(steps),
                                      "steps": [step.as_dict() for step in steps]})))
    else:
        print(mask_report("%s: conformance check\n%s" % (con.os, table(steps))))
    sys.stdout.flush()
    return 0 if passed(steps) else FAILED
