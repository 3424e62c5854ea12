"""What a connect, a command and a disconnect over the in-process SSH link
leave behind in a long-lived process: memory, descriptors, threads.

    python benchmarks/sshcycles.py [--cycles 2000] [--warmup 200] [--limit 1024]

One router of the bundled SSH simulator is served by a child process (so
that its memory is not counted); this process connects to it, runs "show
clock" and disconnects, ``--cycles`` times, after ``--warmup`` cycles that
fill the allocator's and the interpreter's caches.  The resident set is
read from /proc after a garbage collection before and after the counted
cycles: the growth over the cycles, in bytes a cycle, must stay under
``--limit`` (exit 1 otherwise).  Needs ssh2-python and asyncssh.
"""
import argparse
import gc
import json
import os
import subprocess
import sys
import threading
import time

SERVER = r"""
import sys
from tarvix.simulator import server
with server.serving([{"hostname": "r1", "password": "cycle-pw"}]) as running:
    print(running.ports["r1"][0], flush=True)
    sys.stdin.read()
"""


def resident():
    """This process's resident set in bytes."""
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def descriptors():
    return len(os.listdir("/proc/self/fd"))


def cycle(port):
    from tarvix.bases.connection import Connection

    con = Connection(hostname="r1", start="ssh://admin@127.0.0.1:%d" % port, connection_timeout=10,
                     credentials={"default": {"username": "admin", "password": "cycle-pw"}},
                     ssh={"host_key_checking": "off"})
    con.connect()
    try:
        if not con.execute("show clock").strip():
            raise RuntimeError("show clock printed nothing")
    finally:
        con.disconnect()


def measure(port, cycles, warmup):
    for _ in range(warmup):
        cycle(port)
    gc.collect()
    before = resident(), descriptors(), threading.active_count()
    began = time.monotonic()
    for _ in range(cycles):
        cycle(port)
    took = time.monotonic() - began
    gc.collect()
    after = resident(), descriptors(), threading.active_count()
    return {"cycles": cycles, "warmup": warmup, "rss_before": before[0], "rss_after": after[0],
            "bytes_per_cycle": (after[0] - before[0]) / float(cycles),
            "descriptors": [before[1], after[1]], "threads": [before[2], after[2]],
            "seconds_per_cycle": took / cycles}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cycles", type=int, default=2000)
    parser.add_argument("--warmup", type=int, default=200)
    parser.add_argument("--limit", type=float, default=1024, help="bytes a cycle at most (default 1024)")
    parser.add_argument("--json", action="store_true", help="the figures as JSON")
    args = parser.parse_args(argv)
    from tarvix.eal.ssh import link as sshlink

    if not sshlink.AVAILABLE:
        sys.exit(sshlink.UNAVAILABLE)
    server = subprocess.Popen([sys.executable, "-c", SERVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              universal_newlines=True)
    try:
        port = int(server.stdout.readline())
        figures = measure(port, args.cycles, args.warmup)
    finally:
        server.stdin.close()
        try:
            server.wait(30)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
    if args.json:
        print(json.dumps(figures, sort_keys=True))
    else:
        print("%d cycles after %d: %+.0f bytes a cycle (resident %.1f -> %.1f MB), descriptors %d -> %d, "
              "threads %d -> %d, %.1f ms a cycle"
              % (figures["cycles"], figures["warmup"], figures["bytes_per_cycle"], figures["rss_before"] / 1e6,
                 figures["rss_after"] / 1e6, figures["descriptors"][0], figures["descriptors"][1],
                 figures["threads"][0], figures["threads"][1], figures["seconds_per_cycle"] * 1e3))
    return 0 if figures["bytes_per_cycle"] < args.limit else 1


if __name__ == "__main__":
    sys.exit(main())
