"""The cost of a platform plugin and of detection against the generic
plugin on the same device: a connect, one command and a disconnect, best
and median of ``--rounds`` rounds, the plugins taking turns in each round.

    python benchmarks/platforms.py [--rounds 20] [--json FILE]

The devices: the bundled simulator (generic, and auto that detects it);
a local bash (``bash --norc -i``: linux, auto); FRRouting's ``vtysh`` when
``--vtysh "vtysh -N NAME"`` names a running one (generic, frr, auto).
"""
import argparse
import json
import statistics
import sys
import time

from tarvix import simulator
from tarvix.bases.connection import Connection

BASH = "env -i PS1='bench@host:~$ ' TERM=dumb bash --norc --noprofile -i"


def _cycle(start, os_name, command):
    began = time.monotonic()
    con = Connection(hostname="device", start=start, os=os_name, learn_hostname=True, connection_timeout=20)
    con.connect()
    con.execute(command)
    con.disconnect()
    return time.monotonic() - began


def _device(name, start, command, plugins, rounds):
    times = dict((os_name, []) for os_name in plugins)
    for _ in range(rounds):
        for os_name in plugins:
            times[os_name].append(_cycle(start, os_name, command))
    rows = []
    for os_name in plugins:
        rows.append({"device": name, "os": os_name, "best_ms": round(min(times[os_name]) * 1000, 1),
                     "median_ms": round(statistics.median(times[os_name]) * 1000, 1)})
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--vtysh", help="the command of a running FRRouting's vtysh")
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args(argv)
    rows = _device("simulator", simulator.command("sim-router"), "show clock", ["generic", "auto"], args.rounds)
    rows += _device("bash", BASH, "uname -s", ["linux", "auto"], args.rounds)
    if args.vtysh:
        rows += _device("vtysh", args.vtysh, "show version", ["generic", "frr", "auto"], args.rounds)
    for row in rows:
        print("%-10s %-8s best %7.1f ms  median %7.1f ms" % (row["device"], row["os"], row["best_ms"],
                                                             row["median_ms"]))
    if args.json:
        with open(args.json, "w") as out:
            json.dump(rows, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
