"""``tarvix run`` over a fleet, timed: the threaded run against
``--cluster local:N`` in the same run, the SSH simulator's routers (one
server process, as benchmarks/fleet.py starts them), a command line each,
rounds alternating (threaded, cluster, threaded, cluster, ...), the server
let settle before each.

    python benchmarks/fleetrun.py --devices 1000 --rounds 2 [--cluster local:2] [--workers 50]

Wall time is the command's whole life (the interpreter's start, the local
cluster's start and stop included); CPU is the command's and its children's
(the cluster's workers), user and system, from wait4.  Needs
``tarvix[dask,serve]``.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fleet  # noqa: E402


def timed(command):
    """(wall s, CPU s of the process and its children, exit status)."""
    began = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - began
    process.returncode = os.waitstatus_to_exitcode(status)
    process.stderr.close()
    return wall, usage.ru_utime + usage.ru_stime, process.returncode


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--devices", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--workers", type=int, default=50)
    parser.add_argument("--cluster", default="local:2")
    args = parser.parse_args(argv)
    folder = tempfile.mkdtemp(prefix="tarvix-fleetrun-")
    beds, ports, username, password = fleet.start_simulator(args.devices, sys.executable, folder)
    try:
        fleet.write_inventory(folder, ports, username, password, {"tarvix"})
        base = [sys.executable, "-m", "tarvix", "run", "--inventory", folder, "--execute", "show version",
                "--workers", str(args.workers)]
        runs = {"threaded": base, "cluster " + args.cluster: base + ["--cluster", args.cluster]}
        figures = {name: [] for name in runs}
        for number in range(1, args.rounds + 1):
            for name, command in runs.items():
                fleet.settle(beds)
                wall, cpu, status = timed(command)
                figures[name].append((wall, cpu, status))
                print("round %d %-16s %6.2f s wall, %6.2f CPU-s, exit %d, load %.2f"
                      % (number, name, wall, cpu, status, os.getloadavg()[0]), file=sys.stderr)
    finally:
        fleet.stop_devices(beds)
    print("\n%d SSH simulator routers, --workers %d, median of %d rounds\n" % (args.devices, args.workers,
                                                                             args.rounds))
    print("| run | wall s | CPU s (with its workers) | exit statuses |")
    print("|---|---|---|---|")
    for name, rows in figures.items():
        print("| %s | %.2f | %.2f | %s |" % (name, fleet.median([r[0] for r in rows]),
                                            fleet.median([r[1] for r in rows]),
                                            ", ".join(str(r[2]) for r in rows)))
    threaded, cluster = (fleet.median([r[0] for r in rows]) for rows in figures.values())
    print("\ncluster / threaded wall: %.2fx" % (cluster / threaded))
    return 0


if __name__ == "__main__":
    sys.exit(main())
