"""``tarvix run`` and ``tarvix simulate`` as the CLI offers them: their
subcommands and options."""
import argparse

from tarvix.fleet import files as file_options, reload as reload_options
from tarvix.fleet import health, intended
from tarvix.fleet.command import run
from tarvix.fleet.simulate import simulate


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is no number of seconds" % text)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError("give more than 0 seconds, not %r" % text)
    return value


def simulator_dialects():
    from tarvix.simulator import DIALECTS

    return DIALECTS


def add_parsers(commands):
    """Adds the subcommands ``run`` and ``simulate`` to the CLI's parsers."""
    _cluster_options(_run_parser(commands))
    _simulate_parser(commands)


def _run_parser(commands):
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
                        help="devices worked at the same time, on a cluster too (default: 20)")
    parser.add_argument("--timeout", type=_seconds, metavar="S",
                        help="seconds each command and the configuration may take (default: the os plugin's, "
                             "60 for the generic one)")
    parser.add_argument("--output", metavar="DIR",
                        help="write each device's output to DIR/<host>.txt (characters other than letters, "
                             "digits and ._@+- written as %%XX)")
    parser.add_argument("--session-log", metavar="DIR",
                        help="record each device's session (secrets masked) to DIR/<host>.log")
    parser.add_argument("--parse", action="store_true",
                        help="parse the command output into records; a command without a template, or whose "
                             "template matches nothing, keeps its text and gets a warning")
    parser.add_argument("--json", action="store_true",
                        help="print the run as one JSON document instead of the table")
    parser.add_argument("--report", metavar="FILE.html",
                        help="write the run as one self-contained HTML file: a summary, the devices to sort "
                             "and filter, a timeline of their steps, each device's outputs and diffs")
    parser.add_argument("-v", "--verbose", action="count", default=0,
                        help="log every line sent (never passwords); twice: the plugin registry's records too")
    parser.add_argument("--no-ssh-config", action="store_true",
                        help="ssh:// links do not read the user's ssh configuration (~/.ssh/config)")
    parser.add_argument("--ask-password", action="store_true",
                        help="prompt for the login password of the hosts the inventory gives none (without it: "
                             "$TARVIX_PASSWORD; a host's connection extras may name a password_command instead)")
    reload_options.add_options(parser)
    file_options.add_options(parser)
    intended.add_options(parser, _seconds)
    health.add_options(parser, _seconds)
    parser.set_defaults(handler=run)
    return parser


def _cluster_options(parser):
    cluster = parser.add_argument_group("on a Dask cluster (needs tarvix[dask])")
    cluster.add_argument("--cluster", metavar="local[:N]",
                         help="work the devices on a local cluster of N worker processes (default 2), started "
                              "and stopped by the run; --workers devices at a time in all")
    cluster.add_argument("--scheduler", metavar="ADDRESS",
                         help="work the devices on the workers of a running Dask scheduler: tcp://HOST:PORT, "
                              "or tls://HOST:PORT with the certificate options")
    cluster.add_argument("--tls-ca-file", metavar="FILE", help="the CA certificate for a tls:// scheduler")
    cluster.add_argument("--tls-cert", metavar="FILE", help="this client's certificate for a tls:// scheduler")
    cluster.add_argument("--tls-key", metavar="FILE", help="this client's key for a tls:// scheduler")
    cluster.add_argument("--site-resource", metavar="FIELD",
                         help="with --scheduler: run each device on the workers that offer the resource "
                              "FIELD-VALUE, VALUE its inventory field or data FIELD (e.g. --site-resource site: "
                              "workers started with --resources \"site-lab1=1000\" take the devices of site lab1); "
                              "a device no worker takes fails at once")
    cluster.add_argument("--worker-wait", metavar="SECONDS", type=_seconds,
                         help="how long a device waits for a worker once none of the cluster can take it, "
                              "before it fails (default 30)")
    cluster.add_argument("--allow-plaintext-scheduler", action="store_true",
                         help="send the inventory's passwords to a --scheduler off this machine over plain "
                              "tcp:// all the same (by default refused: use tls://)")


def _simulate_parser(commands):
    parser = commands.add_parser(
        "simulate", help="write a Nornir inventory of bundled-simulator devices, or serve them over SSH",
        description="With --fleet N, writes hosts.yaml, groups.yaml and defaults.yaml into DIR: N devices "
                    "sim-r01, sim-r02, ... each reached by spawning the bundled router simulator (which keeps its "
                    "configuration in DIR/state across runs), so that 'tarvix run --inventory DIR' works without "
                    "any server; with --ssh-port too, the devices are "
                    "routers of the SSH simulator on 127.0.0.1 (listed in DIR/routers.json, where each may get "
                    "the console's knobs as \"options\"). With --serve, serves the routers of DIR/routers.json "
                    "(or of a file of that form) over SSH from this one process until Ctrl-C or SIGTERM.")
    parser.add_argument("--fleet", type=int, metavar="N", help="number of devices")
    parser.add_argument("--ssh-port", type=int, metavar="PORT",
                        help="with --fleet: the devices are SSH simulator routers on ports PORT, PORT+1, ...")
    parser.add_argument("--serve", action="store_true",
                        help="serve the routers of DIR/routers.json over SSH (needs tarvix[serve])")
    parser.add_argument("--dialect", choices=simulator_dialects(),
                        help="the CLI dialect of the simulated devices, also their os and inventory platform: "
                             "generic (the default), a built-in platform's or commit (the example plugin's); "
                             "with --serve alone, of the routers that name none")
    parser.add_argument("--chassis", choices=("single_rp", "dual_rp"), default="single_rp",
                        help="with --fleet: routers of one RP (the default) or of two (dual_rp: two consoles, "
                             "or with --ssh-port two ports, each)")
    parser.add_argument("--force", action="store_true",
                        help="write over the inventory files already in DIR (by default they are kept and "
                             "nothing is written)")
    parser.add_argument("directory", metavar="DIR", help="the inventory's directory (with --serve alone, "
                                                        "or a routers file)")
    parser.set_defaults(handler=simulate)
