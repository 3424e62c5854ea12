"""Connect and a command, per platform plugin and with detection (os
"auto"), against the generic plugin on the same bundled simulator in the
same run.

    python benchmarks/platforms.py [--rounds 20] [--link console|ssh] [--json FILE]

For every platform the simulator speaks, each round connects (hostname
learnt, the plugin's setup commands sent), runs "show version" ("display
version" where the CLI says display) and disconnects, once with the
platform's plugin and once with os "auto" on the same device; linux runs
the same on a local bash (``bash --norc -i``, console link only).  The
plugins take turns round after round, so that a slower stretch of the
machine weighs on all of them alike.  Printed per device and os: the
median and the best connect and command times in milliseconds, and the
median connect as a share of the generic plugin's on the simulator
(``ratio``).  ``--link ssh`` serves the routers from the SSH simulator in
this process (needs asyncssh) instead of starting a console program per
connect.
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
BASH = "env -i PS1='bench@host:~$ ' TERM=dumb bash --norc --noprofile -i"


def one_round(os_name, start, options, command):
    began = time.perf_counter()
    con = Connection(hostname="device", start=start, os=os_name, learn_hostname=True, connection_timeout=30,
                     **options)
    con.connect()
    connected = time.perf_counter()
    con.execute(command)
    ran = time.perf_counter()
    con.disconnect()
    return connected - began, ran - connected


def runs(link, stack):
    """(device, os, start, options, command) of every timed run."""
    if link == "console":
        where = dict((name, (simulator.command("r-" + name, "--dialect", name), {})) for name in PLATFORMS)
    else:
        from tarvix.simulator import server

        if not server.available():
            sys.exit(server.NEEDS_ASYNCSSH)
        running = stack.enter_context(server.serving([{"hostname": "r-" + name, "dialect": name}
                                                      for name in PLATFORMS]))
        options = {"credentials": {"default": {"username": "admin", "password": "admin"}},
                   "ssh": {"host_key_checking": "off"}}
        where = dict((name, ("ssh://admin@127.0.0.1:%d" % running.ports["r-" + name][0], options))
                     for name in PLATFORMS)
    found = []
    for name in PLATFORMS:
        start, options = where[name]
        command = SHOW.get(name, "show") + " version"
        found += [(name, os_name, start, options, command) for os_name in (name, "auto")]
    if link == "console":
        found += [("bash", os_name, BASH, {}, "uname -s") for os_name in ("linux", "auto")]
    return found


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--link", choices=("console", "ssh"), default="console")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args(argv)
    if args.rounds < 1:
        parser.error("--rounds: at least 1")
    with contextlib.ExitStack() as stack:
        timed = runs(args.link, stack)
        times = dict(((device, os_name), ([], [])) for device, os_name, _, _, _ in timed)
        for _ in range(args.rounds):
            for device, os_name, start, options, command in timed:
                connect, ran = one_round(os_name, start, options, command)
                times[device, os_name][0].append(connect)
                times[device, os_name][1].append(ran)
    generic = statistics.median(times["generic", "generic"][0])
    figures = []
    print("%-9s %-9s %13s %11s %13s %11s %6s" % ("device", "os", "connect (ms)", "best", "command (ms)", "best",
                                                "ratio"))
    for device, os_name, _, _, _ in timed:
        connects, commands = times[device, os_name]
        row = {"device": device, "os": os_name, "connect_ms": statistics.median(connects) * 1e3,
               "connect_best_ms": min(connects) * 1e3, "command_ms": statistics.median(commands) * 1e3,
               "command_best_ms": min(commands) * 1e3, "ratio": statistics.median(connects) / generic}
        figures.append(row)
        print("%-9s %-9s %13.1f %11.1f %13.2f %11.2f %6.2f" % (
            device, os_name, row["connect_ms"], row["connect_best_ms"], row["command_ms"], row["command_best_ms"],
            row["ratio"]))
    if args.json:
        with open(args.json, "w") as handle:
            json.dump({"link": args.link, "rounds": args.rounds, "runs": figures}, handle, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
