"""What a Dask run costs apart from the devices, measured without them, and
the model of a cluster run built from it.

    python benchmarks/clustercost.py [--sizes 1,300,1500] [--devices 500] [--predict 100,300,1000]

Each size runs, in a process of its own, tarvix's Nornir runner on a local
cluster of 2 worker processes of 25 threads over that many hosts whose task
does nothing (no device, no connection): the hosts' begun marks, tasks,
groups and reports are all the cluster's bookkeeping.  From the smallest
size (one host: the cluster's start and stop) and the slope between the
others it gives the cluster's fixed wall and CPU, and per host the CPU of
the scheduler (the driver's event-loop thread, where a local cluster's
scheduler runs, as benchmarks/fleet.py samples it), of the rest of the driver
and of the workers.  ``--reports``: instead, the scheduler's
CPU a host's report costs it on its way back, each of three ways a worker
can send one: an event of a topic the client subscribes to (the worker's
log_event), tarvix's own (the scheduler's plugin passes it on to the client
as such an event, keeping nothing), a distributed.Queue.  ``--devices N``: a threaded run of tarvix over N of the
SSH simulator's routers (benchmarks/fleet.py, its own run) gives the device's
own work (driver and server CPU per device) and its time.  Then it predicts
fleet.py's ``tarvix-cluster`` column at the ``--predict`` sizes, and prints
how many devices a second one scheduler hands out and the workers it takes.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fleet  # noqa: E402

HERE = os.path.abspath(__file__)
# A worker process's threads, as fleet.py's local:2 gives 50 threads.
THREADS = 25


def nothing(task):
    return "done"


def drive(hosts, folder):
    """One run over ``hosts`` hosts of no device: a JSON line of its wall
    and CPU (the driver's, its loop's, its workers')."""
    import logging

    from nornir import InitNornir

    fleet.write_inventory(folder, {"h%05d" % n: 1 for n in range(hosts)}, "u", "p", {"tarvix"})
    nr = InitNornir(runner={"plugin": "tarvix_dask", "options": {"workers": 2, "threads": THREADS}},
                    inventory={"plugin": "SimpleInventory",
                               "options": {"host_file": os.path.join(folder, "hosts.yaml"),
                                           "group_file": os.path.join(folder, "groups.yaml"),
                                           "defaults_file": os.path.join(folder, "defaults.yaml")}},
                    logging={"enabled": False})
    import tarvix.nornir.dask_runner  # noqa: F401  (imported before the clock, as fleet.py does)
    logging.disable(logging.CRITICAL)
    before = resource.getrusage(resource.RUSAGE_SELF)
    loop = fleet.LoopCpu()
    began = time.monotonic()
    results = nr.run(task=nothing)
    nr.close_connections()
    wall = time.monotonic() - began
    after = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    failed = sum(1 for result in results.values() if result.failed)
    sys.stdout.write(json.dumps({"hosts": hosts, "wall": wall, "failed": failed, "loop": loop.stop(),
                                 "driver": after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime,
                                 "workers": children.ru_utime + children.ru_stime}) + "\n")
    sys.stdout.flush()
    os._exit(0)


def send_reports(way, count, run, client_id, size):
    """On a worker: ``count`` reports of ``size`` bytes sent ``way``."""
    from distributed import Queue, get_worker

    from tarvix.nornir.dask_marks import REPORT, REPORTS

    worker, value = get_worker(), b"x" * size
    queue = Queue(REPORTS + run) if way == "queue" else None
    for number in range(count):
        if way == "event":
            worker.log_event(REPORTS + run, {"name": "h%d" % number, "value": value})
        elif way == "plugin":
            worker.loop.add_callback(worker.batched_send, {"op": REPORT, "run": run, "name": "h%d" % number,
                                                           "client": client_id, "value": value})
        else:
            queue.put({"name": "h%d" % number, "value": value})
    return count


def report_costs(counts=(1000, 10000), size=1000):
    """ms of the scheduler's loop a report, each way: the slope between
    ``counts`` reports sent by one worker and all heard by the client."""
    import threading

    from distributed import Client, LocalCluster, Queue

    from tarvix.nornir.dask_marks import REPORTS, open_run

    cluster = LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None, silence_logs=40)
    client = Client(cluster, set_as_default=False)
    costs = {}
    try:
        for way in ("event", "plugin", "queue"):
            spent = []
            for count in counts:
                run = "%s-%d" % (way, count)
                client.run_on_scheduler(open_run, run)
                heard = threading.Semaphore(0)
                if way != "queue":
                    client.subscribe_topic(REPORTS + run, lambda event: heard.release())
                loop = fleet.LoopCpu()
                time.sleep(0.2)
                before = sum(loop.seen.values())
                client.submit(send_reports, way, count, run, client.id, size, pure=False).result()
                if way == "queue":
                    queue, got = Queue(REPORTS + run, client=client), 0
                    while got < count:
                        got += len(queue.get(batch=True) or ()) or time.sleep(0.01) or 0
                else:
                    for _ in range(count):
                        heard.acquire()
                time.sleep(0.2)
                spent.append(loop.stop() - before)
            costs[way] = (spent[1] - spent[0]) / (counts[1] - counts[0])
    finally:
        client.close()
        cluster.close()
    return costs


def measure(hosts):
    folder = tempfile.mkdtemp(prefix="tarvix-clustercost-")
    out = subprocess.run([sys.executable, HERE, "--worker", str(hosts), "--folder", folder],
                         stdout=subprocess.PIPE, universal_newlines=True, timeout=600).stdout
    return json.loads([line for line in out.splitlines() if line.startswith("{")][-1])


def threaded(devices):
    """fleet.py's threaded tarvix over ``devices`` routers: its figures."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([sys.executable, os.path.join(os.path.dirname(HERE), "fleet.py"), "--bed", "sshsim",
                        "--devices", str(devices), "--rounds", "3", "--tools", "tarvix", "--json", out.name],
                       stdout=subprocess.DEVNULL, check=True, timeout=900)
        row = json.load(open(out.name))["tools"]["tarvix"]
    return {"wall": row["wall_s"], "driver": row["driver_cpu_s"], "server": row["devices_cpu_s"]}


def model(runs, device, devices):
    """The costs: fixed (the smallest run) and per host (the slope between
    the two largest), with the device's own from the threaded run."""
    first, low, high = runs[0], runs[-2], runs[-1]
    span = float(high["hosts"] - low["hosts"])
    per = {part: (high[part] - low[part]) / span for part in ("loop", "driver", "workers")}
    per["driver"] -= per["loop"]
    fixed = {"wall": first["wall"], "cpu": first["driver"] + first["workers"]}
    own = {"driver": device["driver"] / devices, "server": device["server"] / devices,
           "time": device["wall"] * 50.0 / devices}
    return fixed, per, own


def predict(fixed, per, own, routers, cores=2):
    """A local:2 run over ``routers`` of the SSH simulator: (wall s, CPU s
    of its driver and workers).  The machine's cores share the cluster's
    CPU and the server's; 50 threads work a device each, ``own["time"]``
    seconds (the threaded run's) at least."""
    cluster = per["loop"] + per["driver"] + per["workers"] + own["driver"]
    busy = routers * (cluster + own["server"]) / cores
    wall = fixed["wall"] + max(busy, routers * own["time"] / 50.0)
    return wall, fixed["cpu"] + routers * cluster


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1,300,1500", help="hosts of each run without devices")
    parser.add_argument("--devices", type=int, default=500, help="routers of the threaded run (0: none)")
    parser.add_argument("--predict", default="100,300,1000", help="the sizes predicted")
    parser.add_argument("--reports", action="store_true", help="the scheduler's CPU a report, three ways")
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--folder", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker is not None:
        return drive(args.worker, args.folder)
    if args.reports:
        for way, cost in report_costs().items():
            print("%-7s %.3f ms of the scheduler's loop a report of 1,000 bytes" % (way, cost * 1e3))
        return 0
    runs = []
    for hosts in sorted(int(size) for size in args.sizes.split(",")):
        runs.append(measure(hosts))
        print("%5d hosts: %.2f s, loop %.2f, driver %.2f, workers %.2f CPU-s, %d failed, load %.2f"
              % (hosts, runs[-1]["wall"], runs[-1]["loop"], runs[-1]["driver"], runs[-1]["workers"],
                 runs[-1]["failed"], os.getloadavg()[0]), file=sys.stderr)
    device = threaded(args.devices) if args.devices else {"wall": 0.0, "driver": 0.0, "server": 0.0}
    fixed, per, own = model(runs, device, max(1, args.devices))
    print("\nfixed: %.2f s, %.2f CPU-s; per host, ms of CPU: scheduler's loop %.3f, driver %.3f, workers %.3f; "
          "device's own (threaded, %d routers): driver %.3f, server %.3f, %.3f s each"
          % (fixed["wall"], fixed["cpu"], per["loop"] * 1e3, per["driver"] * 1e3, per["workers"] * 1e3,
             args.devices, own["driver"] * 1e3, own["server"] * 1e3, own["time"]))
    print("\n| routers | wall s, predicted | cluster CPU s, predicted |")
    print("|---|---|---|")
    for routers in (int(size) for size in args.predict.split(",")):
        wall, cpu = predict(fixed, per, own, routers)
        print("| %d | %.2f | %.2f |" % (routers, wall, cpu))
    rate = 1.0 / per["loop"] if per["loop"] > 0 else float("inf")
    worker = per["workers"] + own["driver"]
    print("\none scheduler: at most %.0f devices/s (one core, its loop's CPU alone); a worker process: at most "
          "%.0f devices/s (one core)\n" % (rate, 1.0 / worker if worker > 0 else float("inf")))
    print("| devices/s | device time | devices in flight | schedulers | worker processes of 25 threads "
          "| of 200 threads |")
    print("|---|---|---|---|---|---|")
    for wanted in (100, 1000, 10000):
        for seconds in (1, 10):
            flight = wanted * seconds
            cores = wanted * worker
            print("| %d | %d s | %d | %d | %d | %d |" % (
                wanted, seconds, flight, -(-wanted // int(rate)) if rate != float("inf") else 1,
                max(-(-flight // 25), -(-int(cores * 1000) // 1000)),
                max(-(-flight // 200), -(-int(cores * 1000) // 1000))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
