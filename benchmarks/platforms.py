"""Connect and a command, per platform plugin, against the generic plugin
on the same bundled simulator in the same run.

    python benchmarks/platforms.py [--rounds 20] [--link console|ssh] [--json FILE]

For every platform the simulator speaks, each round connects (hostname
learnt, the plugin's setup commands sent), runs "show version" ("display
version" where the CLI says display) and disconnects; the platforms take
turns round after round, so that a slower stretch of the machine weighs on
all of them alike.  Printed per platform: the median and the best connect
and command times in milliseconds, and the median connect as a share of
the generic plugin's (``ratio``).  ``--link ssh`` serves the routers from
the SSH simulator in this process (needs asyncssh) instead of starting a
console program per connect.
"""
import argparse
import contextlib
import json
import statistics
import sys
import time

from tarvix import simulator
from tarvix.bases.connection import Connection

PLATFORMS = ("generic", "frr", "eos", "junos", "vrp", "vyos", "fastiron")
SHOW = {"vrp": "display"}


def one_round(os_name, start, options):
    began = time.perf_counter()
    con = Connection(hostname="device", start=start, os=os_name, learn_hostname=True, connection_timeout=30,
                     **options)
    con.connect()
    connected = time.perf_counter()
    con.execute(SHOW.get(os_name, "show") + " version")
    ran = time.perf_counter()
    con.disconnect()
    return connected - began, ran - connected


def starts(link, stack):
    """Each platform's start and connection options."""
    if link == "console":
        return dict((name, (simulator.command("r-" + name, "--dialect", name), {})) for name in PLATFORMS)
    from tarvix.simulator import server

    if not server.available():
        sys.exit(server.NEEDS_ASYNCSSH)
    running = stack.enter_context(server.serving([{"hostname": "r-" + name, "dialect": name}
                                                  for name in PLATFORMS]))
    options = {"credentials": {"default": {"username": "admin", "password": "admin"}},
               "ssh": {"host_key_checking": "off"}}
    return dict((name, ("ssh://admin@127.0.0.1:%d" % running.ports["r-" + name][0], options))
                for name in PLATFORMS)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--link", choices=("console", "ssh"), default="console")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args(argv)
    if args.rounds < 1:
        parser.error("--rounds: at least 1")
    times = dict((name, ([], [])) for name in PLATFORMS)
    with contextlib.ExitStack() as stack:
        where = starts(args.link, stack)
        for _ in range(args.rounds):
            for name in PLATFORMS:
                connect, command = one_round(name, *where[name])
                times[name][0].append(connect)
                times[name][1].append(command)
    generic = statistics.median(times["generic"][0])
    figures = {}
    print("%-9s %13s %11s %13s %11s %6s" % ("platform", "connect (ms)", "best", "command (ms)", "best", "ratio"))
    for name in PLATFORMS:
        connects, commands = times[name]
        figures[name] = {"connect_ms": statistics.median(connects) * 1e3, "connect_best_ms": min(connects) * 1e3,
                         "command_ms": statistics.median(commands) * 1e3, "command_best_ms": min(commands) * 1e3,
                         "ratio": statistics.median(connects) / generic}
        print("%-9s %13.1f %11.1f %13.2f %11.2f %6.2f" % (
            name, figures[name]["connect_ms"], figures[name]["connect_best_ms"], figures[name]["command_ms"],
            figures[name]["command_best_ms"], figures[name]["ratio"]))
    if args.json:
        with open(args.json, "w") as handle:
            json.dump({"link": args.link, "rounds": args.rounds, "platforms": figures}, handle, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
