"""The simulated console as a program (``python -m tarvix.simulator``): its
options, and the console of each dialect."""
import argparse

from tarvix.simulator import DIALECTS, ENABLE_PASSWORD_ENV, PASSWORD_ENV
from tarvix.simulator.console import Console


def console_class(args):
    """The console class for parsed arguments: one console speaks every
    dialect (their ``dialect``), from the dialect's data."""
    return Console


def build_parser():
    parser = argparse.ArgumentParser(
        prog="python -m tarvix.simulator",
        description="A generic router's console on stdin/stdout. Passwords come from the environment: "
                    "%s (login) and %s (enable, optional)." % (PASSWORD_ENV, ENABLE_PASSWORD_ENV))
    parser.add_argument("--hostname", default="router")
    parser.add_argument("--dialect", choices=DIALECTS, default="generic",
                        help="the CLI dialect, the os name of the plugin that speaks it: generic (host>, "
                             "host#, host(config)#), commit (user@host>, user@host#, staged configuration "
                             "applied by commit), frr, eos, junos, vrp, vyos or fastiron")
    parser.add_argument("--login", action="store_true", help="ask for a username and password first")
    parser.add_argument("--username", default="admin", help="the username --login accepts (default: admin)")
    parser.add_argument("--banner", action="store_true", help='show "Press RETURN to get started" first')
    parser.add_argument("--start-state", choices=("disable", "enable", "shell"), default="disable",
                        help="the state a session starts in, where the dialect has it (shell: a root login's "
                             "shell, junos)")
    parser.add_argument("--pair-dir", help="directory shared by the two RPs of a dual-RP pair")
    parser.add_argument("--role", choices=("active", "standby"), help="this RP's role in the pair")
    parser.add_argument("--silent", action="store_true", help="never show a prompt (a dead console)")
    parser.add_argument("--unknown-role", action="store_true",
                        help="answer the redundancy query with a state that names neither role")
    parser.add_argument("--echo-delay", type=float, default=0, metavar="SECONDS",
                        help="a slow console: echo each typed character after this delay")
    parser.add_argument("--chunked", action="store_true",
                        help="write replies in small pieces with a pause between them (the echo delay, "
                             "or 2 ms), as a console behind a terminal server")
    parser.add_argument("--reply-delay", type=float, default=0, metavar="SECONDS",
                        help="a slow console: think this long before answering each line")
    parser.add_argument("--tech-lines", type=int, default=100, metavar="N",
                        help="lines of output of 'show tech-support' (default: 100)")
    parser.add_argument("--reject", action="append", metavar="LINE",
                        help="a command or configuration line to answer with an error (repeatable)")
    parser.add_argument("--no-config", action="store_true", help="refuse 'configure terminal'")
    parser.add_argument("--running-notice", metavar="LINE",
                        help="a line shown once inside the running configuration, as a CLI shows a notice of "
                             "its own there (vtysh's reconnecting to a restarted daemon)")
    parser.add_argument("--forget", action="store_true",
                        help="take every configuration line and keep none (the running configuration never "
                             "shows them)")
    parser.add_argument("--minute", type=float, default=60, metavar="SECONDS",
                        help="how long a minute of 'commit confirmed N' lasts (commit dialect; default: 60)")
    parser.add_argument("--hang", action="append", metavar="LINE",
                        help="a command or configuration line after which the console never answers again "
                             "(repeatable)")
    parser.add_argument("--reload-time", type=float, default=1.0, metavar="SECONDS",
                        help="how long a reload keeps the router down (default: 1)")
    parser.add_argument("--boot-message", action="append", metavar="LINE",
                        help="a line the console shows while booting (repeatable; default: a few of its own)")
    parser.add_argument("--switchover-time", type=float, default=1.0, metavar="SECONDS",
                        help="how long the former active RP boots after a switchover (default: 1)")
    parser.add_argument("--standby-not-ready", action="store_true",
                        help="refuse a switchover: the standby RP is not ready")
    parser.add_argument("--no-return", action="store_true", help="a reload after which the router never comes back")
    parser.add_argument("--config-file", metavar="FILE",
                        help="keep the router's running and startup configuration in FILE across runs (read "
                             "when the console starts and before each line, written after each change; the two "
                             "RPs of a pair may share one)")
    _file_options(parser.add_argument_group("files (see tarvix.simulator.flash)"))
    return parser


def _file_options(files):
    """The options of the routers' file systems and their faults."""
    files.add_argument("--flash-size", type=int, metavar="BYTES", help="the size of each RP's file system "
                       "(default: 256 MiB)")
    files.add_argument("--stall-after", type=int, metavar="N", help="stop taking a file once N bytes arrived")
    files.add_argument("--drop-after", type=int, metavar="N", help="end the session once N bytes of a file arrived")
    files.add_argument("--corrupt-byte", type=int, metavar="N", help="flip byte N of each file that arrives")
    files.add_argument("--no-sftp", action="store_true", help="serve no SFTP (SCP only)")
    files.add_argument("--no-scp", action="store_true", help="serve no SCP")


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if bool(args.role) != bool(args.pair_dir):
        parser.error("--role and --pair-dir go together")
    try:
        console = console_class(args)(args)
    except ValueError as error:
        # A configuration file that holds no router's configuration.
        parser.exit(2, "%s: error: %s\n" % (parser.prog, error))
    try:
        console.run()
    except (EOFError, KeyboardInterrupt):
        return 0
    return 0
