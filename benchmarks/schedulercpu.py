"""The CPU a Dask scheduler spends per device, measured in a scheduler
process of its own (a local cluster's scheduler shares the driver's event
loop with the client, so benchmarks/fleet.py can only bound it).

    python benchmarks/schedulercpu.py [--sizes 300,1000] [--rounds 2] [--workers 2] [--threads 25]

It serves the largest size of the SSH simulator's routers, starts
``dask scheduler`` and ``--workers`` ``dask worker`` processes on
127.0.0.1 (kept for every round, set as tarvix sets its local cluster: no
stack profiles, no task rerun), and runs `show version` over each size
through tarvix's Nornir runner on that scheduler, rounds in turn.  Per size
it gives the median wall time and the CPU seconds of the scheduler, the
workers and the driver; per device, the slope between the sizes (what the
fixed costs of a run leave out).  Every process it started is ended.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fleet  # noqa: E402


def cpu(pid):
    """CPU seconds of a process (the scheduler and the workers start none)."""
    import psutil

    times = psutil.Process(pid).cpu_times()
    return times.user + times.system


def drive(folder, address, expect):
    """One run over the inventory of ``folder``: a JSON line of its wall and
    the driver's CPU."""
    import logging
    import resource

    from nornir import InitNornir

    import tarvix.nornir.dask_runner  # noqa: F401
    from tarvix.nornir.tasks import tarvix_execute

    logging.disable(logging.CRITICAL)
    nr = InitNornir(runner={"plugin": "tarvix_dask", "options": {"scheduler": address}},
                    inventory={"plugin": "SimpleInventory",
                               "options": {"host_file": os.path.join(folder, "hosts.yaml"),
                                           "group_file": os.path.join(folder, "groups.yaml"),
                                           "defaults_file": os.path.join(folder, "defaults.yaml")}},
                    logging={"enabled": False})
    usage = resource.getrusage(resource.RUSAGE_SELF)
    ready = usage.ru_utime + usage.ru_stime
    began = time.monotonic()
    results = nr.run(task=lambda task: tarvix_execute(task, command="show version"))
    wall = time.monotonic() - began
    usage = resource.getrusage(resource.RUSAGE_SELF)
    failed = sum(1 for r in results.values() if r.failed or expect not in str(r[0].result))
    print(json.dumps({"wall": wall, "driver": usage.ru_utime + usage.ru_stime - ready, "failed": failed}))
    sys.stdout.flush()
    os._exit(0)


# As tarvix's local cluster is set: no task rerun after a worker died
# under it, no stack profile sampled on the workers.
DASK_ENV = {"DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": "0",
            "DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED": "False"}


def start(argv):
    return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True, env=dict(os.environ, **DASK_ENV))


def wait_for_workers(address, count, until):
    from distributed import Client

    with Client(address, timeout=until) as client:
        client.wait_for_workers(count, timeout=until)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="300,1000")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--threads", type=int, default=25)
    parser.add_argument("--drive", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.drive:
        return drive(args.drive[0], args.drive[1], "uptime is")
    sizes = sorted(int(size) for size in args.sizes.split(","))
    folder = tempfile.mkdtemp(prefix="tarvix-schedcpu-")
    beds, processes = [], []
    try:
        beds, ports, username, password = fleet.start_simulator(sizes[-1], sys.executable, folder)
        scheduler_file = os.path.join(folder, "scheduler.json")
        dask = [sys.executable, "-m", "distributed.cli.dask_scheduler"]
        processes.append(start(dask + ["--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                                        "--scheduler-file", scheduler_file]))
        until = time.monotonic() + 30
        while not os.path.exists(scheduler_file) and time.monotonic() < until:
            time.sleep(0.1)
        with open(scheduler_file) as handle:
            address = json.load(handle)["address"]
        for _ in range(args.workers):
            processes.append(start([sys.executable, "-m", "distributed.cli.dask_worker", address, "--nthreads",
                                    str(args.threads), "--nworkers", "1", "--no-dashboard", "--no-nanny"]))
        wait_for_workers(address, args.workers, 60)
        names = sorted(ports)
        figures = dict((size, []) for size in sizes)
        for number in range(args.rounds):
            for size in sizes:
                inventory = os.path.join(folder, "inv%d" % size)
                os.makedirs(inventory, exist_ok=True)
                fleet.write_inventory(inventory, dict((n, ports[n]) for n in names[:size]), username, password,
                                      {"tarvix"})
                fleet.settle(beds)
                before = [cpu(p.pid) for p in processes]
                out = subprocess.run([sys.executable, os.path.abspath(__file__), "--drive", inventory, address],
                                     stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
                report = json.loads(out.strip().splitlines()[-1])
                after = [cpu(p.pid) for p in processes]
                report["scheduler"] = after[0] - before[0]
                report["workers"] = sum(after[1:]) - sum(before[1:])
                figures[size].append(report)
                print("round %d, %d routers: %.2f s, scheduler %.2f CPU-s, workers %.2f, driver %.2f, "
                      "%d failed, load %.2f" % (number + 1, size, report["wall"], report["scheduler"],
                                                report["workers"], report["driver"], report["failed"],
                                                os.getloadavg()[0]), file=sys.stderr)
        print("\n| routers | wall s | scheduler CPU s | workers' CPU s | driver CPU s |")
        print("|---|---|---|---|---|")
        medians = {}
        for size in sizes:
            medians[size] = dict((key, statistics.median(r[key] for r in figures[size]))
                                 for key in ("wall", "scheduler", "workers", "driver"))
            print("| %d | %.2f | %.2f | %.2f | %.2f |" % (size, medians[size]["wall"], medians[size]["scheduler"],
                                                      medians[size]["workers"], medians[size]["driver"]))
        if len(sizes) > 1:
            low, high = medians[sizes[0]], medians[sizes[-1]]
            span = sizes[-1] - sizes[0]
            print("\nper device, %d to %d routers: scheduler %.2f ms, workers %.2f ms, driver %.2f ms"
                  % (sizes[0], sizes[-1], *((high[k] - low[k]) * 1e3 / span
                                             for k in ("scheduler", "workers", "driver"))))
    finally:
        for process in processes:
            fleet.end_group(process)
        for bed in beds:
            bed.stop()


if __name__ == "__main__":
    sys.exit(main())
