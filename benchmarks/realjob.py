"""The real job, timed: connect, one command, a 1.4 MB output and disconnect,
in seconds (median of a few runs), for tarvix against the bundled simulator
and against a third-party router (a FakeNOS host over the system ssh
client), and for Netmiko and Scrapli against the same host in the same run
where they are installed.  Then tarvix's time per MB of output at 100 KB,
1 MB and 10 MB.

    python benchmarks/realjob.py            # --quick for a short run, --json FILE for the figures

The FakeNOS host runs under $TARVIX_DEVICES_PYTHON (default: .venv-devices,
as scripts/test makes it); Netmiko and Scrapli run under --peers-python
(default $TARVIX_PEERS_PYTHON, else .venv-peers: ``python3 -m venv
.venv-peers && .venv-peers/bin/pip install -r benchmarks/requirements-peers.txt``).  Each case
runs in a process of its own, ended after --timeout seconds: a case that
takes longer is shown as "> N s".
"""
import argparse
import json
import os
import platform
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
E2E = os.path.join(ROOT, "tests", "e2e")
PEERS = ("netmiko", "scrapli")
BIG = "show tech 1.4m"
# What the 1.4 MB output is once its line ends are plain newlines: 18,666
# lines of 73 characters.
BIG_BYTES = (1400000 // 75) * 74 - 1
# The bundled simulator's 1.4 MB output: "show tech-support" of this many lines.
SIM_BIG = "show tech-support"
SIM_TECH_LINES = 19000
# Outputs of about 100 KB, 1 MB and 10 MB, and of 100 bytes: the time per MB
# is the time beyond the 100-byte output's (the same length of command, so
# the same time to type it and to see its prompt).
SIZES = [("100 KB", 100000), ("1 MB", 1000000), ("10 MB", 10000000)]
BASE_SIZE = 100
STEPS = ("connect", "command", "big", "disconnect")
STEP_NAMES = {"connect": "connect", "command": "one command (show clock)", "big": "1.4 MB output",
              "disconnect": "disconnect", "total": "all together"}


# ---------------------------------------------------------------- the workers
# A worker runs one case in its own process (under the interpreter of the
# library it times) and prints one line of JSON per run.

def run_tarvix(args):
    from tarvix import simulator
    from tarvix.bases.connection import Connection

    options = {"connection_timeout": args.timeout}
    if args.target == "simulator":
        start, hostname = simulator.command("bench-sim", "--tech-lines", SIM_TECH_LINES), "bench-sim"
    else:
        start = ("ssh -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -p %d %s@127.0.0.1"
                 % (args.port, args.username))
        hostname = "r1"
        options["credentials"] = {"default": {"username": args.username, "password": args.password}}
    note = None
    for run in range(args.runs):
        times = {}
        began = time.monotonic()
        con = Connection(hostname=hostname, start=start, **options)
        try:
            con.connect()
        except Exception as error:  # the defaults do not connect: say so, and time the rest with
            if "init_exec_commands" in options:  # only the paging command as setup
                raise
            con._close_links()
            note = "defaults do not connect (%s); timed with init_exec_commands=['terminal length 0']" % (
                str(error).splitlines()[0][:120])
            options["init_exec_commands"] = ["terminal length 0"]
            con = Connection(hostname=hostname, start=start, **options)
            began = time.monotonic()
            con.connect()
        times["connect"] = time.monotonic() - began
        try:
            began = time.monotonic()
            con.execute("show clock")
            times["command"] = time.monotonic() - began
            if args.big:
                began = time.monotonic()
                output = con.execute(args.big, timeout=args.timeout)
                times["big"] = time.monotonic() - began
                times["bytes"] = len(output)
            began = time.monotonic()
            con.disconnect()
            times["disconnect"] = time.monotonic() - began
        finally:
            con._close_links()
        if args.target != "simulator":
            # What the plugin's setup configuration costs where it is applied:
            # the same link taken for a console line.
            con = Connection(hostname=hostname, start=start, console=True, **options)
            try:
                began = time.monotonic()
                con.connect()
                times["connect_console"] = time.monotonic() - began
            finally:
                con._close_links()
        if note:
            times["note"] = note
        emit(times)


def run_netmiko(args):
    from netmiko import ConnectHandler

    for run in range(args.runs):
        times = {}
        began = time.monotonic()
        con = ConnectHandler(device_type="cisco_ios", host="127.0.0.1", port=args.port, username=args.username,
                             password=args.password, conn_timeout=args.timeout, ssh_config_file=None)
        con.enable()
        times["connect"] = time.monotonic() - began
        try:
            began = time.monotonic()
            con.send_command("show clock")
            times["command"] = time.monotonic() - began
            if args.big:
                began = time.monotonic()
                output = con.send_command(args.big, read_timeout=args.timeout)
                times["big"] = time.monotonic() - began
                times["bytes"] = len(output)
        finally:
            began = time.monotonic()
            con.disconnect()
            times["disconnect"] = time.monotonic() - began
        emit(times)


def run_scrapli(args):
    from scrapli.driver.core import IOSXEDriver

    for run in range(args.runs):
        times = {}
        began = time.monotonic()
        con = IOSXEDriver(host="127.0.0.1", port=args.port, auth_username=args.username,
                          auth_password=args.password, auth_strict_key=False, transport="system",
                          ssh_config_file=False, timeout_socket=args.timeout, timeout_transport=args.timeout,
                          timeout_ops=args.timeout)
        con.open()
        times["connect"] = time.monotonic() - began
        try:
            began = time.monotonic()
            con.send_command("show clock")
            times["command"] = time.monotonic() - began
            if args.big:
                began = time.monotonic()
                output = con.send_command(args.big).result
                times["big"] = time.monotonic() - began
                times["bytes"] = len(output)
        finally:
            began = time.monotonic()
            con.close()
            times["disconnect"] = time.monotonic() - began
        emit(times)


def run_tarvix_sizes(args):
    """Outputs of growing size on one connection: one line per output."""
    from tarvix.bases.connection import Connection

    start = ("ssh -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -p %d %s@127.0.0.1"
             % (args.port, args.username))
    options = {"connection_timeout": args.timeout,
               "credentials": {"default": {"username": args.username, "password": args.password}}}
    con = Connection(hostname="r1", start=start, **options)
    try:
        con.connect()
    except Exception:
        con._close_links()
        con = Connection(hostname="r1", start=start, init_exec_commands=["terminal length 0"], **options)
        con.connect()
    try:
        for run in range(args.runs):
            for command in args.big.split(","):
                began = time.monotonic()
                output = con.execute(command, timeout=args.timeout)
                emit({"command": command, "seconds": time.monotonic() - began, "chars": len(output)})
    finally:
        con._close_links()


def sim_big_bytes():
    """The length of the simulator's 1.4 MB output as a connection returns it."""
    from tarvix.simulator.console import Console

    class Args(object):
        tech_lines = SIM_TECH_LINES

    class Stand(object):
        args = Args()

    return len("\n".join(Console.tech_support(Stand())))


def emit(times):
    sys.stdout.write(json.dumps(times) + "\n")
    sys.stdout.flush()


WORKERS = {"tarvix": run_tarvix, "netmiko": run_netmiko, "scrapli": run_scrapli, "tarvix-sizes": run_tarvix_sizes}


# ------------------------------------------------------------ the conductor

def case(python, library, target, port, runs, big, timeout, password, limit=None):
    """Runs one case in a worker process: the runs that finished within
    ``timeout`` seconds each, and what went wrong, if anything."""
    argv = [python, os.path.abspath(__file__), "--worker", library, "--target", target, "--port", str(port),
            "--runs", str(runs), "--timeout", str(timeout), "--big", big or ""]
    env = dict(os.environ, REALJOB_PASSWORD=password)
    worker = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              env=env, start_new_session=True)
    limit = limit or timeout * runs + 30
    try:
        out, err = worker.communicate(timeout=limit)
        problem = None if worker.returncode == 0 else (err.strip().splitlines() or ["exit %d" % worker.returncode])[-1]
    except subprocess.TimeoutExpired:
        os.killpg(worker.pid, 9)
        out, err = worker.communicate()
        problem = "ended after %d s" % limit
    results = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    return {"runs": results, "problem": problem, "big": big}


def median(values):
    values = sorted(values)
    if not values:
        return None
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2


def summary(result, timeout):
    """Median seconds per step ("> N s" for a step that never finished)."""
    cells = {}
    for step in STEPS + ("total", "connect_console"):
        if step == "total":
            wanted = [s for s in STEPS if s != "big" or result["big"]]
            values = [sum(run[s] for s in wanted) for run in result["runs"] if all(s in run for s in wanted)]
        else:
            values = [run[step] for run in result["runs"] if step in run]
        cells[step] = median(values)
    return cells


def cell(value, problem=None, timeout=None):
    if value is not None:
        return "%.2f" % value if value >= 0.1 else "%.4f" % value
    if problem and (problem.startswith("ended after") or "Timeout" in problem):
        return "> %d s" % timeout
    return "fails" if problem else "n/a"


def peers_python(option):
    python = option or os.environ.get("TARVIX_PEERS_PYTHON") or os.path.join(ROOT, ".venv-peers", "bin", "python")
    found = {}
    if os.access(python, os.X_OK):
        for library in PEERS:
            probe = subprocess.run([python, "-c", "import %s; print(%s.__version__)" % (library, library)],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, universal_newlines=True)
            if probe.returncode == 0:
                found[library] = probe.stdout.strip()
    return python, found


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="2 runs, 30 s per run, no 10 MB output")
    parser.add_argument("--runs", type=int, help="runs per case (default 5; 2 with --quick)")
    parser.add_argument("--timeout", type=int, help="seconds per run of a case (default 120; 30 with --quick)")
    parser.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    parser.add_argument("--peers-python", help="interpreter with Netmiko and Scrapli")
    parser.add_argument("--worker", choices=sorted(WORKERS), help=argparse.SUPPRESS)
    parser.add_argument("--target", help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--big", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    runs = args.runs or (2 if args.quick else 5)
    timeout = args.timeout or (30 if args.quick else 120)
    if args.worker:
        args.username, args.password, args.runs, args.timeout = "user", os.environ["REALJOB_PASSWORD"], runs, timeout
        WORKERS[args.worker](args)
        return 0

    sys.path.insert(0, E2E)
    import devices

    if not os.environ.get(devices.PYTHON_ENV):
        os.environ[devices.PYTHON_ENV] = os.path.join(ROOT, ".venv-devices", "bin", "python")
    bed, reason = devices.start_bed(["router:r1"])
    if bed is None:
        sys.exit("no FakeNOS host: %s" % reason)
    peer_python, peers = peers_python(args.peers_python)
    figures = {"machine": "%s, %s, Python %s" % (platform.machine(), platform.platform(), platform.python_version()),
               "runs": runs, "timeout": timeout, "peers": peers, "cases": {}, "per_mb": {}}
    port = bed.ports["r1"]
    try:
        columns = [("tarvix, simulator", sys.executable, "tarvix", "simulator", SIM_BIG),
                   ("tarvix, FakeNOS", sys.executable, "tarvix", "fakenos", BIG)]
        for library in PEERS:
            if library in peers:
                columns.append(("%s %s, FakeNOS" % (library.capitalize(), peers[library]), peer_python, library,
                                "fakenos", BIG))
        for label, python, library, target, big in columns:
            print("timing %s ..." % label, file=sys.stderr)
            result = case(python, library, target, port, runs, big, timeout, devices.PASSWORD)
            result["median"] = summary(result, timeout)
            result["expected_bytes"] = sim_big_bytes() if target == "simulator" else BIG_BYTES
            figures["cases"][label] = result
        sizes = [(None, BASE_SIZE)] + (SIZES[:2] if args.quick else SIZES)
        print("timing tarvix, outputs of 100 bytes to %s ..." % sizes[-1][0], file=sys.stderr)
        commands = ["show tech bytes %08d" % size for _, size in sizes]
        result = case(sys.executable, "tarvix-sizes", "fakenos", port, runs, ",".join(commands), timeout,
                      devices.PASSWORD, limit=timeout * (len(sizes) + 1) + 30)
        base = median([r["seconds"] for r in result["runs"] if r["command"] == commands[0]])
        for (name, size), command in zip(sizes[1:], commands[1:]):
            seconds = median([r["seconds"] for r in result["runs"] if r["command"] == command])
            figures["per_mb"][name] = {
                "seconds": seconds, "problem": result["problem"],
                "s_per_mb": (seconds - base) / ((size - BASE_SIZE) / 1e6) if None not in (seconds, base) else None}
        figures["per_mb_runs"] = result
    finally:
        bed.stop()
    report(figures, timeout)
    if not peers:
        print("\nNetmiko and Scrapli: not installed under %s" % peer_python)
    if args.json:
        with open(args.json, "w") as handle:
            json.dump(figures, handle, indent=2, sort_keys=True)
    return 0


def report(figures, timeout):
    cases = figures["cases"]
    labels = list(cases)
    print("\nseconds, median of %d runs (%s)\n" % (figures["runs"], figures["machine"]))
    print("| step | " + " | ".join(labels) + " |")
    print("|---|" + "---|" * len(labels))
    for step in STEPS + ("total",):
        row = []
        for label in labels:
            value = cases[label]["median"][step]
            if step == "big" and not cases[label]["big"]:
                row.append("n/a")
            else:
                row.append(cell(value, cases[label]["problem"], timeout))
        print("| %s | %s |" % (STEP_NAMES[step], " | ".join(row)))
    for label in labels:
        got = [run.get("bytes") for run in cases[label]["runs"] if "bytes" in run]
        expected = cases[label]["expected_bytes"]
        if got and min(got) < expected - 2:
            print("%s: the 1.4 MB output came back short (%d of %d characters)" % (label, min(got), expected))
        console = cases[label]["median"].get("connect_console")
        if console is not None:
            print("%s: connect as a console line, with the generic plugin's setup configuration (console=True): %s s"
                  % (label, cell(console)))
        notes = set(run["note"] for run in cases[label]["runs"] if "note" in run)
        for text in sorted(notes) + ([cases[label]["problem"]] if cases[label]["problem"] else []):
            print("%s: %s" % (label, text))
    print("\ntarvix, outputs on one FakeNOS connection (median of %d runs)\n" % figures["runs"])
    print("| output | seconds | seconds per MB beyond a 100-byte output |")
    print("|---|---|---|")
    for name, size in SIZES:
        result = figures["per_mb"].get(name)
        if result is None:
            continue
        per_mb = cell(result["s_per_mb"], result["problem"], timeout)
        if per_mb.startswith(">"):
            per_mb = "> %.1f" % (timeout / (size / 1e6))
        print("| %s | %s | %s |" % (name, cell(result["seconds"], result["problem"], timeout), per_mb))


if __name__ == "__main__":
    sys.exit(main())
