"""The getters' cost, timed, side by side in the same run:

- ``facts()`` against the commands it parses sent alone (``execute`` each,
  no parsing) and against one command round (``show clock``), on the
  simulator's console of each dialect: medians of --repeat calls;
- a state snapshot of --devices SSH simulator routers through ``tarvix run
  --snapshot DIR`` against a run of the same commands without parsing
  (``tarvix run --execute ...``, the commands ``state()`` sends), rounds
  alternating (snapshot, commands, snapshot, ...), the server let settle
  before each (one server process, as benchmarks/fleet.py starts it).

    python benchmarks/state.py --devices 1000 --rounds 3 --workers 50 [--repeat 30]

Wall time is each command's whole life (its interpreter's start included).
Needs ``tarvix[nornir,parse,serve]``.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fleet  # noqa: E402
from fleetrun import timed  # noqa: E402


def _median_seconds(call, repeat):
    times = []
    for _ in range(repeat):
        began = time.perf_counter()
        call()
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def facts_cost(repeat):
    """Per dialect: (facts s, its commands alone s, one round s, commands,
    the reading of their outputs alone s)."""
    from tarvix.bases.connection import Connection
    from tarvix.simulator import DIALECTS
    from tarvix.state import reading

    rows = []
    for dialect in DIALECTS:
        start = "%s -m tarvix.simulator --hostname r1 --dialect %s --start-state enable" % (sys.executable, dialect)
        with Connection(hostname="r1", start=start, os=dialect) as con:
            commands = con.getters.commands(["facts"])
            con.facts()
            facts = _median_seconds(con.facts, repeat)
            alone = _median_seconds(lambda: [con.execute(command) for command in commands], repeat)
            one = _median_seconds(lambda: con.execute("show clock" if dialect != "vrp" else "display clock"), repeat)
            outputs = [(read, con.execute(read.command)) for read in con.getters.reads("facts")]
            parse = _median_seconds(lambda: [reading.records(read, output, con.template_platform)
                                             for read, output in outputs], repeat)
        rows.append((dialect, facts, alone, one, len(commands), parse))
    return rows


def fleet_runs(devices, rounds, workers):
    from tarvix.plugins.generic.getters import GETTERS

    folder = tempfile.mkdtemp(prefix="tarvix-state-bench-")
    beds, ports, username, password = fleet.start_simulator(devices, sys.executable, folder)
    try:
        fleet.write_inventory(folder, ports, username, password, {"tarvix"})
        base = [sys.executable, "-m", "tarvix", "run", "--inventory", folder, "--workers", str(workers)]
        executes = [word for command in GETTERS.commands() for word in ("--execute", command)]
        runs = {"snapshot (state, parsed)": base + ["--snapshot", os.path.join(folder, "snapshots")],
                "the same commands, not parsed": base + executes}
        figures = dict((name, []) for name in runs)
        for number in range(1, rounds + 1):
            for name, command in runs.items():
                fleet.settle(beds)
                wall, cpu, status = timed(command)
                figures[name].append((wall, cpu, status))
                print("round %d %-30s %6.2f s wall, %6.2f CPU-s, exit %d, load %.2f"
                      % (number, name, wall, cpu, status, os.getloadavg()[0]), file=sys.stderr)
        return figures, len(GETTERS.commands())
    finally:
        fleet.stop_devices(beds)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--devices", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--workers", type=int, default=50)
    parser.add_argument("--repeat", type=int, default=30)
    args = parser.parse_args(argv)
    rows = facts_cost(args.repeat)
    print("facts() on the simulator's console, median of %d calls\n" % args.repeat)
    print("| dialect | commands | facts() ms | its commands alone ms | one round ms | reading their output ms "
          "| reading, in rounds |")
    print("|---|---|---|---|---|---|---|")
    for dialect, facts, alone, one, count, parse in rows:
        print("| %s | %d | %.2f | %.2f | %.2f | %.3f | %.2f |" % (dialect, count, facts * 1e3, alone * 1e3, one * 1e3,
                                                                parse * 1e3, parse / one))
    figures, count = fleet_runs(args.devices, args.rounds, args.workers)
    print("\n%d SSH simulator routers (generic), %d commands each, --workers %d, median of %d rounds\n"
          % (args.devices, count, args.workers, args.rounds))
    print("| run | wall s | CPU s | exit statuses |")
    print("|---|---|---|---|")
    for name, runs in figures.items():
        print("| %s | %.2f | %.2f | %s |" % (name, fleet.median([r[0] for r in runs]),
                                            fleet.median([r[1] for r in runs]), ", ".join(str(r[2]) for r in runs)))
    snapshot, plain = (fleet.median([r[0] for r in runs]) for runs in figures.values())
    print("\nsnapshot / the same commands: %.2fx wall" % (snapshot / plain))
    return 0


if __name__ == "__main__":
    sys.exit(main())
