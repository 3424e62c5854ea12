"""What one arrival costs: the work a link does each time the device's
output arrives, on a console that echoes byte by byte.

    python benchmarks/arrivals.py                    # CPU per arrival, both beds
    python benchmarks/arrivals.py --callgrind        # instructions per arrival, and where they go

Two beds: ``console``, the bundled simulator's console program on a
pseudo-terminal, and ``sshsim``, one router of the SSH simulator (a server
process of its own) over the in-process SSH link; both echo each character
typed after ``--echo-delay`` seconds (``--chunked`` also writes each answer
in small pieces), as a console behind a terminal server does.  A worker
process connects (with a password and a session log, so that masking and
the log are part of the work), runs ``show version`` ``--commands`` times
and disconnects; it counts the arrivals (the reads that brought text) of
the commands and the CPU it spent on them.

``--callgrind`` runs the worker under valgrind's callgrind (Python 3.12 or
later, for the interpreter's perf maps that name each Python function's
code), twice: with ``--commands`` commands and with ``--base`` commands; the
difference, over the difference in arrivals, is the cost of one arrival of
a command with connecting left out.  Instructions are counted in user
space: the wait's and the read's system calls are counted apart (their
number per arrival, and their time with ``--collect-systime``).  Each
component is the inclusive count of the functions listed for it in
COMPONENTS, less those of the components below it; ``--path`` picks the
byte path measured (``python``: the interpreter's, ``native``: the native
module's where it is built; both by default).
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PASSWORD = "arrivals-Secret-1"
HOST = "r1"

# Component -> the functions whose inclusive cost it is (Python functions
# as "py::Class.method", C functions by name), from the outside in; a
# component's own share is its count less those of the components listed
# after it that run inside it.
COMPONENTS = {
    "python": [
        ("expect loop", ["py::Spawn.expect"]),
        ("read, wait and decode", ["py::Spawn._read"]),
        ("wait", ["py::SshChannel._wait", "py::spawn.read_nonblocking.<locals>.select"]),
        ("read", ["py::PythonArrivals.read", "py::SshChannel.read_nonblocking", "py::spawn.read_nonblocking",
                  "py::SpawnBase.read_nonblocking"]),
        ("decoding", ["py::BufferedIncrementalDecoder.decode", "py::IncrementalDecoder.decode"]),
        ("session log", ["py::SessionLog.received"]),
        ("masking", ["py::SessionLog._mask"]),
        ("window", ["py::PythonArrivals._add"]),
        ("echo tracking", ["py::Echo.feed"]),
        ("prompt search", ["py::Spawn._search", "py::Spawn._quiet_needed"]),
    ],
    "native": [
        ("expect loop", ["py::Spawn.expect"]),
        ("read, wait and decode", ["py::Spawn._read"]),
        ("native byte path", ["tvx::bytepath::gather"]),
        ("wait", ["tvx::bytepath::wait_for_input"]),
        ("read", ["tvx::bytepath::read_terminal", "tvx::bytepath::read_ssh"]),
        ("decoding", ["tvx::bytepath::decode"]),
        ("session log", ["py::SessionLog.received"]),
        ("masking", ["py::SessionLog._mask"]),
        ("window", ["tvx::bytepath::Unread::add"]),
        ("echo tracking", ["tvx::bytepath::follow_echo", "py::Echo.feed"]),
        ("prompt search", ["tvx::bytepath::could_match", "py::Spawn._search", "py::Spawn._quiet_needed"]),
    ],
}
SYSCALLS = ("select", "poll", "ppoll", "read", "recvfrom", "recv", "wait4", "pselect6")


# ------------------------------------------------------------------ the worker

def work(args):
    """Connects, runs the commands, disconnects; prints one line of JSON."""
    os.environ["TARVIX_BYTEPATH"] = args.path
    from tarvix.bases.connection import Connection
    from tarvix.eal import spawn as spawn_module

    counted = {"arrivals": 0, "chars": 0}
    read = spawn_module.Spawn._read

    def counting(self, *a, **k):
        got = read(self, *a, **k)
        if got[0] > 0:
            counted["arrivals"] += self._arrived
            counted["chars"] += got[0]
        return got

    spawn_module.Spawn._read = counting
    folder = tempfile.mkdtemp(prefix="tarvix-arrivals-")
    try:
        if args.bed == "console":
            from tarvix import simulator

            options = ["--echo-delay", str(args.echo_delay)] + (["--chunked"] if args.chunked else [])
            start = simulator.command(HOST, *options)
        else:
            start = "ssh://admin@127.0.0.1:%d" % args.port
        con = Connection(hostname=HOST, start=start, credentials={"default": {"username": "admin",
                                                                              "password": PASSWORD}},
                         session_log=os.path.join(folder, "session.log"), ssh={"host_key_checking": "off"})
        con.connect()
        counted.update(arrivals=0, chars=0)
        cpu = time.process_time()
        measured(con, args.commands)
        cpu = time.process_time() - cpu
        con.disconnect()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    from tarvix.eal import arrivals

    print(json.dumps(dict(counted, cpu=cpu, path=arrivals.PATH)))


def measured(con, commands):
    for _ in range(commands):
        con.execute("show version")


# ------------------------------------------------------------------ the beds

class SshBed(object):
    """One simulated router served over SSH by a process of its own."""

    def __init__(self, args, folder):
        path = os.path.join(folder, "routers.json")
        options = ["--echo-delay", str(args.echo_delay)] + (["--chunked"] if args.chunked else [])
        with open(path, "w") as handle:
            json.dump({"routers": [{"hostname": HOST, "username": "admin", "password": PASSWORD,
                                    "options": options}]}, handle)
        code = ("import json, sys\nfrom tarvix.simulator import server\n"
                "server.serve(server.load(sys.argv[1]), ready=lambda s: print(json.dumps(s.ports), flush=True))")
        self.process = subprocess.Popen([sys.executable, "-c", code, path], stdout=subprocess.PIPE,
                                        universal_newlines=True, start_new_session=True)
        line = self.process.stdout.readline()
        if not line:
            self.stop()
            raise SystemExit("the SSH simulator did not start")
        self.port = json.loads(line)[HOST][0]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


# ------------------------------------------------------------------ the runs

def worker_argv(args, bed, path, commands, port=0):
    return [sys.executable, os.path.abspath(__file__), "--worker", "--bed", bed, "--path", path,
            "--commands", str(commands), "--echo-delay", str(args.echo_delay), "--port", str(port)] + (
        ["--chunked"] if args.chunked else [])


def run_worker(argv, prefix=()):
    out = subprocess.run(list(prefix) + argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         universal_newlines=True, timeout=1800)
    lines = [line for line in out.stdout.splitlines() if line.startswith("{")]
    if out.returncode != 0 or not lines:
        words = out.stderr.strip().splitlines() or ["exit %s" % out.returncode]
        raise SystemExit("the worker failed: %s" % words[-1])
    return json.loads(lines[-1])


def perf_names(pid):
    """Address -> Python function, from the interpreter's perf map."""
    names = {}
    try:
        with open("/tmp/perf-%d.map" % pid) as handle:
            for line in handle:
                start, _, name = line.rstrip("\n").split(" ", 2)
                # "py::Class.method:/path/file.py": the function's name.
                names[int(start, 16)] = name.rsplit(":", 1)[0] if name.startswith("py::") else name
    except OSError:
        pass
    return names


def inclusive(path, names):
    """Inclusive instructions by function (the interpreter's trampolines
    named from its perf map) from a callgrind file, and the program's total."""
    totals, ids = {}, {}
    fn = call = None
    program = 0
    with open(path) as handle:
        for line in handle:
            if line.startswith(("summary:", "totals:")):
                program = max(program, int(line.split()[1]))
                continue
            found = re.match(r"^(c?fn)=\((\d+)\)(?: (.*))?$", line.rstrip("\n"))
            if found:
                kind, number, name = found.groups()
                if name is not None:
                    ids[number] = name
                name = base_name(ids[number], names)
                if kind == "fn":
                    fn = name
                else:
                    call = name
            elif line.startswith("calls="):
                continue
            elif call is not None and re.match(r"^(?:[+-]?\d|\*)", line):
                # The cost line after a call: the call's inclusive cost (a
                # function calling itself is counted once).
                if fn != call:
                    totals[call] = totals.get(call, 0) + int(line.split()[1])
                call = None
    return totals, program


def base_name(name, names):
    """A callgrind name without its recursion mark, file and object; a code
    address of the interpreter's trampolines as the Python function."""
    name = name.split("'")[0]
    if name.startswith("0x"):
        return names.get(int(name, 16), name)
    if " [" in name:
        name = name.split(" [")[0]
    return name.rsplit(":", 1)[1] if ":" in name else name


def callgrind(args, bed, path, port):
    """Instructions per arrival and where they go, for one bed and path."""
    counts = {}
    for commands in (args.commands, args.base):
        out = os.path.join(args.scratch, "cg-%s-%s-%d.out" % (bed, path, commands))
        prefix = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, "--trace-children=no"]
        argv = worker_argv(args, bed, path, commands, port)
        argv.insert(1, "-X")
        argv.insert(2, "perf")
        report = run_worker(argv, prefix)
        pid = int(open(out).read().split("pid: ", 1)[1].split()[0])
        totals, program = inclusive(out, perf_names(pid))
        counts[commands] = (report, totals, program)
    (big, fbig, pbig), (small, fsmall, psmall) = counts[args.commands], counts[args.base]
    arrivals = big["arrivals"] - small["arrivals"]
    if arrivals <= 0:
        raise SystemExit("no more arrivals with more commands")
    row = {"bed": bed, "path": big["path"], "arrivals": arrivals,
           "chars per arrival": (big["chars"] - small["chars"]) / float(arrivals),
           "all": (pbig - psmall) / float(arrivals), "components": []}
    seen = []
    for label, functions in COMPONENTS[big["path"]]:
        value = sum(fbig.get(f, 0) - fsmall.get(f, 0) for f in functions) / float(arrivals)
        seen.append((label, value))
    row["components"] = seen
    return row


def strace_counts(args, bed, path, port):
    """System calls per arrival, by name, from strace -c -f over two runs."""
    if shutil.which("strace") is None:
        return None
    counts = {}
    for commands in (args.commands, args.base):
        out = os.path.join(args.scratch, "strace-%s-%s-%d.txt" % (bed, path, commands))
        report = run_worker(worker_argv(args, bed, path, commands, port),
                            ["strace", "-f", "-c", "-U", "name,calls", "-o", out])
        calls = {}
        for line in open(out):
            parts = line.split()
            if len(parts) == 2 and parts[1].isdigit():
                calls[parts[0]] = int(parts[1])
        counts[commands] = (report, calls)
    (big, cbig), (small, csmall) = counts[args.commands], counts[args.base]
    arrivals = big["arrivals"] - small["arrivals"]
    return dict((name, (cbig.get(name, 0) - csmall.get(name, 0)) / float(arrivals))
                for name in SYSCALLS if cbig.get(name, 0) - csmall.get(name, 0) > 0) if arrivals > 0 else None


def print_callgrind(rows):
    for row in rows:
        print("\n%s, %s path: %d arrivals, %.1f characters each; instructions per arrival\n"
              % (row["bed"], row["path"], row["arrivals"], row["chars per arrival"]))
        print("| component | instructions per arrival (inclusive) |")
        print("|---|---|")
        print("| the process, all of it | %.0f |" % row["all"])
        for label, value in row["components"]:
            print("| %s | %.0f |" % (label, value))
        if row.get("strace"):
            print("\nsystem calls per arrival: %s" % ", ".join(
                "%s %.2f" % item for item in sorted(row["strace"].items())))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bed", choices=("console", "sshsim", "both"), default="both")
    parser.add_argument("--path", choices=("python", "native", "both"), default="both")
    parser.add_argument("--commands", type=int, default=20, help="commands of the measured run (default 20)")
    parser.add_argument("--base", type=int, default=5, help="commands of the run subtracted (default 5)")
    parser.add_argument("--echo-delay", type=float, default=0.002, help="seconds before each echoed character")
    parser.add_argument("--chunked", action="store_true", help="answers in small pieces too")
    parser.add_argument("--rounds", type=int, default=3, help="runs of each case without --callgrind (median)")
    parser.add_argument("--callgrind", action="store_true", help="count instructions with callgrind")
    parser.add_argument("--json", metavar="FILE")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        return work(args)
    beds = ("console", "sshsim") if args.bed == "both" else (args.bed,)
    paths = ("python", "native") if args.path == "both" else (args.path,)
    args.scratch = tempfile.mkdtemp(prefix="tarvix-arrivals-")
    rows, bed_process = [], None
    try:
        for bed in beds:
            port = 0
            if bed == "sshsim":
                bed_process = SshBed(args, args.scratch)
                port = bed_process.port
            for path in paths:
                if args.callgrind:
                    row = callgrind(args, bed, path, port)
                    row["strace"] = strace_counts(args, bed, path, port)
                else:
                    runs = [run_worker(worker_argv(args, bed, path, args.commands, port)) for _ in range(args.rounds)]
                    per = sorted(r["cpu"] / max(r["arrivals"], 1) for r in runs)
                    row = {"bed": bed, "path": runs[0]["path"], "arrivals": runs[0]["arrivals"],
                           "cpu_us_per_arrival": per[len(per) // 2] * 1e6,
                           "cpu_ms_per_command": sorted(r["cpu"] for r in runs)[len(runs) // 2] * 1e3 / args.commands}
                    print("%s, %s path: %d arrivals, %.1f us of CPU per arrival, %.2f ms per command"
                          % (bed, row["path"], row["arrivals"], row["cpu_us_per_arrival"], row["cpu_ms_per_command"]))
                rows.append(row)
            if bed_process is not None:
                bed_process.stop()
                bed_process = None
    finally:
        if bed_process is not None:
            bed_process.stop()
        shutil.rmtree(args.scratch, ignore_errors=True)
    if args.callgrind:
        print_callgrind(rows)
    if args.json:
        with open(args.json, "w") as handle:
            json.dump(rows, handle, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
