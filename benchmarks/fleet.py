"""A fleet job, timed: one command on every device of a fleet of routers
through Nornir's threaded runner, with tarvix, nornir_netmiko and
nornir_scrapli in the same run: wall time, driver CPU, peak memory of the
driver and of its children, memory per open session, failures.

    python benchmarks/fleet.py            # --devices 100 --workers 50 --rounds 3, --json FILE
    python benchmarks/fleet.py --bed sshsim --devices 1000 --rounds 1
    python benchmarks/fleet.py --bed sshsim --devices 1000 --rounds 1 --tools tarvix,tarvix-cluster

Run it under an interpreter where Nornir, its two peer plugins, psutil and
tarvix with its Nornir extra are installed (``pip install ".[nornir]"`` and
``pip install -r benchmarks/requirements-peers.txt``; ``.[nornir,serve]`` for
the SSH simulator's bed).  Two beds, both over SSH on 127.0.0.1, up for the
whole run:

- ``--bed fakenos`` (the default): the hosts of tests/e2e/devicebed.py
  (FakeNOS), run under $TARVIX_DEVICES_PYTHON (default: .venv-devices, as
  scripts/test makes it), spread over --bed-processes processes;
- ``--bed sshsim``: tarvix's own simulator serving SSH
  (tarvix.simulator.server), every router in one server process run under
  this interpreter, on free ports.

Each round runs the tools one after another (A B C, A B C, ...), each in a
process of its own (the "driver"), which builds a Nornir from a
SimpleInventory and times ``run`` + ``close_connections``: connect, the
command and disconnect of every device.  The driver's memory is its resident
set plus its children's (the ssh clients of the tools that use the system
ssh), sampled every 20 ms from here; the table shows medians over the rounds.
``--timeline`` adds, per tool, the median seconds a device spends in each
step (connect, command, close), and how many devices were being handled at
once.  ``--cluster local:N`` runs the job on tarvix's Dask runner instead
(tarvix[dask]): a local cluster of N worker processes, started and stopped
within the timed run, --workers threads in all; the driver's CPU then counts
its workers', and the column "driver process CPU s" the driver's own; each
round of it tells when the cluster was up, the first and the last device's
result came, and the cluster was closed.  The tool ``tarvix-cluster`` does
so for its column only, beside the threaded runner's columns in the same
run.  Before each round the devices' servers are let settle (the sessions
the last driver dropped torn down).
Nothing is left running: every process started here runs in a
process group of its own, ended at the end.
"""
import argparse
import json
import os
import platform
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
E2E = os.path.join(ROOT, "tests", "e2e")
TOOLS = ("tarvix", "netmiko", "scrapli")
BEDS = ("fakenos", "sshsim")
# More columns on request (--tools): a tool with other options in its extras.
# tarvix-setupconfig: with the generic plugin's setup configuration ("no
# logging console"), which the Nornir plugin leaves out over its ssh default.
# scrapli-ssh2: Scrapli over libssh2 (ssh2-python), the transport its
# documentation names for speed (its "ssh2" extra installs it only below
# Python 3.12; the wheels of ssh2-python 1.2 install on 3.13 too).
# tarvix-fork: its links started by pexpect's own fork of the interpreter
# instead of posix_spawn (as tarvix did before), to see what that costs.
# tarvix-systemssh: each host's start an explicit command line of the system
# ssh client (the plugin's own ssh_command), instead of the plugin's default,
# the in-process SSH link where ssh2-python is installed.
# tarvix-cluster: tarvix on its Dask runner (tarvix[dask]), a local cluster of
# --cluster's size (default local:2) started and stopped within the timed
# run, beside the threaded runner's tarvix in the same run.
# tarvix-jump: every device through one jump host, an OpenSSH sshd on
# 127.0.0.1 started for the run (key authentication, TCP forwarding), one
# session to it in the driver however many devices are behind it.
# tarvix-nosshconfig: the in-process link without the user's ssh
# configuration (no ssh -G per host), to see what reading it costs.
# tarvix-aio: tarvix.aio instead of Nornir's runner: every host's
# AsyncConnection made from the same inventory (as the Nornir plugin makes its
# connection), gather_devices running the command on them from one event
# loop, --aio-limit at once, every connection left open until all are done
# and then closed; its report adds the event loop's largest lag (a probe
# sleeping 10 ms over and over) and the most threads seen in the driver.
VARIANTS = {"tarvix-jump": ("tarvix", {}),
            "tarvix-aio": ("tarvix", {}),
            "tarvix-nosshconfig": ("tarvix", {"ssh": {"config": False}}),
            "tarvix-cluster": ("tarvix", {}),
            "tarvix-setupconfig": ("tarvix", {"init_config_commands": None}),
            "tarvix-fork": ("tarvix", {}),
            "tarvix-systemssh": ("tarvix", {}),
            "scrapli-ssh2": ("scrapli", {"transport": "ssh2"})}
SAMPLE_EVERY = 0.05
PSS_EVERY = 0.5


# ------------------------------------------------------------- the driver
# One tool, one round: runs in a process of its own and prints one line of
# JSON.

def tarvix_task(task, command):
    from tarvix.nornir.tasks import tarvix_execute

    return tarvix_execute(task, command=command)


def netmiko_task(task, command):
    from nornir_netmiko.tasks import netmiko_send_command

    # The device starts in the user mode: Netmiko's way to a privileged
    # command is its enable=True.
    return netmiko_send_command(task, command_string=command, enable=True)


def scrapli_task(task, command):
    from nornir_scrapli.tasks import send_command

    return send_command(task, command=command)


TASKS = {"tarvix": tarvix_task, "netmiko": netmiko_task, "scrapli": scrapli_task}


def default_tools(bed="fakenos"):
    """The tools a run compares unless told: on the SSH simulator's bed
    tarvix over the system ssh too (its default there is the in-process
    link)."""
    import importlib.util

    ssh2 = importlib.util.find_spec("ssh2") is not None
    tools = ("tarvix",) + (("tarvix-systemssh",) if bed == "sshsim" and ssh2 else ()) + TOOLS[1:]
    return tools + (("scrapli-ssh2",) if ssh2 else ())


def plugin_of(tool):
    tool = tool.partition("@")[0]
    return VARIANTS[tool][0] if tool in VARIANTS else tool


CURRENT = threading.local()


def step_of(message):
    """The step of a device's connection that a tarvix log line marks."""
    text = message.partition(": ")[2]
    if text.startswith("started "):
        return "ssh started"
    if text == "sending a hidden line":
        return "password sent"
    if text.startswith("sending "):
        return "sent %s" % text[len("sending "):]
    if text == "link closed":
        return "link closed"
    return None


def record_steps(steps):
    """Records, per Nornir host, the time of each step tarvix logs (the log
    lines come from the host's worker thread)."""
    import logging

    class Steps(logging.Handler):
        def emit(self, record):
            host = getattr(CURRENT, "host", None)
            step = step_of(record.getMessage()) if host else None
            if step:
                steps.setdefault(host, []).append((step, time.monotonic()))

    logger = logging.getLogger("tarvix")
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    logger.addHandler(Steps())


def timeline_task(tool, command, marks):
    """The tool's task with the time of each step of the device recorded:
    connect (``get_connection``), the command, and the close."""
    def task(task):
        host = task.host
        CURRENT.host = host.name
        began = time.monotonic()
        host.get_connection(tool, task.nornir.config)
        connected = time.monotonic()
        try:
            return TASKS[tool](task, command)
        finally:
            done = time.monotonic()
            host.close_connection(tool)
            marks[host.name] = (began, connected, done, time.monotonic())
    return task


class LoopCpu(object):
    """The CPU seconds of the driver's event-loop threads ("IO loop") while
    a cluster run lasts: the local cluster's scheduler runs there (with the
    client's messages, on the same loop); sampled every 50 ms, as the
    threads end with the cluster."""

    def __init__(self):
        self.seen = {}
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.sample, daemon=True)
        self.thread.start()

    def sample(self):
        ticks = os.sysconf("SC_CLK_TCK")
        while not self.done.wait(SAMPLE_EVERY):
            for thread in threading.enumerate():
                if thread.name != "IO loop" or not thread.native_id:
                    continue
                try:
                    with open("/proc/self/task/%d/stat" % thread.native_id) as handle:
                        fields = handle.read().rsplit(")", 1)[1].split()
                except OSError:
                    continue
                self.seen[thread.native_id] = (int(fields[11]) + int(fields[12])) / ticks

    def stop(self):
        self.done.set()
        self.thread.join()
        return sum(self.seen.values())


class Phases(object):
    """When a cluster run's phases end, from the clock's start: the cluster
    up (its client returned), the first and the last device's result here
    (each comes back as its device ends), and the cluster closed."""

    def __init__(self, began, name):
        from tarvix.nornir import dask_cluster

        self.began, self.name, self.marks, self.results = began, name, {}, []
        enter, close = dask_cluster.Cluster.__enter__, dask_cluster.Cluster._close
        phases = self

        def entered(cluster):
            client = enter(cluster)
            phases.marks.setdefault("up", time.monotonic() - phases.began)
            return client

        def closed(cluster):
            close(cluster)
            phases.marks["closed"] = time.monotonic() - phases.began

        dask_cluster.Cluster.__enter__, dask_cluster.Cluster._close = entered, closed

    # Nornir's processor calls: the results as they come.
    def task_instance_completed(self, task, host, result):
        if task.name == self.name:  # (not close_connections')
            self.results.append(time.monotonic() - self.began)

    def __getattr__(self, name):
        return lambda *args: None

    def summary(self):
        if self.results:
            self.marks.update(first_result=min(self.results), last_result=max(self.results))
        return self.marks


def output_of(result):
    """The text a tool's task returned for one host."""
    value = result[0].result if len(result) else None
    if len(result) > 1 and not isinstance(value, str):
        value = result[1].result
    if hasattr(value, "result"):
        value = value.result
    return value if isinstance(value, str) else ""


def drive(args):
    import logging

    from nornir import InitNornir

    runner = {"plugin": "threaded", "options": {"num_workers": args.workers}}
    if args.cluster or args.worker == "tarvix-cluster":
        processes = int((args.cluster or "local:2").partition(":")[2] or 2)
        runner = {"plugin": "tarvix_dask", "options": {"workers": processes,
                                                       "threads": -(-args.workers // processes)}}
    nr = InitNornir(runner=runner,
                    inventory={"plugin": "SimpleInventory",
                               "options": {"host_file": os.path.join(args.inventory, "hosts.yaml"),
                                           "group_file": os.path.join(args.inventory, "groups.yaml"),
                                           "defaults_file": os.path.join(args.inventory, "defaults.yaml")}},
                    logging={"enabled": False})
    tool = plugin_of(args.worker)
    if args.worker in VARIANTS:
        nr.inventory.defaults.connection_options[tool].extras.update(VARIANTS[args.worker][1])
    if args.worker == "tarvix-fork":
        from tarvix.eal import linkprocess

        linkprocess._setsid[:] = [None]
    if args.worker == "tarvix-systemssh":
        system_ssh_starts(nr)
    jump_sessions = []
    if args.worker == "tarvix-jump":
        jump_sessions = through_jump_host(nr)
    # The plugin and the task module imported before the clock starts.
    __import__({"tarvix": "tarvix.nornir.tasks", "netmiko": "nornir_netmiko.tasks",
                "scrapli": "nornir_scrapli.tasks"}[tool])
    if tool != "tarvix":
        # The peers take what the machine gives (tarvix raises its own soft
        # limit of open descriptors as its links need).
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if args.worker == "tarvix-aio":
        return drive_aio(nr, args)
    marks, steps = {}, {}
    if args.timeline and tool == "tarvix":
        record_steps(steps)
    else:
        logging.disable(logging.CRITICAL)
    if args.timeline:
        task = timeline_task(tool, args.command, marks)
    else:
        task = lambda task: TASKS[tool](task, args.command)  # noqa: E731
    # The CPU spent so far (the interpreter's start, the imports, the
    # inventory) is left out of the job's.
    usage = resource.getrusage(resource.RUSAGE_SELF)
    ready_cpu = usage.ru_utime + usage.ru_stime
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    sys.stdin.readline()
    loop_cpu = LoopCpu() if tool == "tarvix" and runner["plugin"] == "tarvix_dask" else None
    began = time.monotonic()
    phases = Phases(began, tool) if loop_cpu is not None else None
    if phases is not None:
        nr = nr.with_processors([phases])
    results = nr.run(task=task, name=tool)
    nr.close_connections()
    wall = time.monotonic() - began
    failures = {}
    for name, result in results.items():
        text = output_of(result)
        if result.failed:
            error = result.exception or result[0].result
            failures[name] = (str(error).strip().splitlines() or [type(error).__name__])[0][:200]
        elif args.expect not in text:
            failures[name] = "unexpected output: %r" % text[:120]
    usage = resource.getrusage(resource.RUSAGE_SELF)
    report = {"wall": wall, "failures": failures, "devices": len(results), "ready_cpu": ready_cpu,
              "self_cpu": usage.ru_utime + usage.ru_stime - ready_cpu}
    if args.worker == "tarvix-jump":
        report["jump_sessions"] = len(jump_sessions)
        report["jump_thread_cpu"] = sum(getattr(jump, "cpu", 0) for jump in jump_sessions)
    if loop_cpu is not None:
        report["scheduler_cpu"] = loop_cpu.stop()
        report["phases"] = phases.summary()
    if args.timeline:
        report["marks"] = dict((name, [m - began for m in mark]) for name, mark in marks.items())
        report["steps"] = dict((name, [(step, t - began) for step, t in events]) for name, events in steps.items())
    sys.stdout.write(json.dumps(report) + "\n")
    sys.stdout.flush()
    # The interpreter's teardown (a few collections over every module the
    # environment loaded, ~0.25 s here whatever the tool) is left out, as
    # its start is: the links are closed and their programs reaped by now.
    os._exit(0)


def drive_aio(nr, args):
    """The tarvix-aio column's driver (see VARIANTS); prints its report as
    drive does."""
    import asyncio
    import logging

    import tarvix
    from tarvix.aio import AsyncConnection, gather_devices
    from tarvix.nornir.connection import connection_from_parameters

    logging.disable(logging.CRITICAL)
    hosts = list(nr.inventory.hosts.values())

    async def job():
        seen = {"lag": 0.0, "cpu_lag": 0.0, "threads": threading.active_count()}
        done = []

        async def probe():
            # The lag on the wall clock counts the time the loop's thread
            # waited for a core (the devices' servers share the machine);
            # its own CPU time between two looks is the loop held up by
            # the work run on it.
            while not done:
                began, cpu = time.monotonic(), time.thread_time()
                await asyncio.sleep(0.01)
                seen["lag"] = max(seen["lag"], time.monotonic() - began - 0.01)
                seen["cpu_lag"] = max(seen["cpu_lag"], time.thread_time() - cpu)
                seen["threads"] = max(seen["threads"], threading.active_count())

        if args.lag_trace:
            sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
            import looplag

            trace = looplag.LagTrace()
            probing = asyncio.ensure_future(trace.probe(done, seen))
        else:
            trace = None
            probing = asyncio.ensure_future(probe())
        cons = []
        for number, host in enumerate(hosts):
            if number % 50 == 0:
                await asyncio.sleep(0)
            given = host.get_connection_parameters("tarvix")
            extras = dict(given.extras or {}, name=host.name)
            cons.append(AsyncConnection(connection=connection_from_parameters(
                given.hostname, given.username, given.password, given.port, given.platform, extras)))
        results = await gather_devices(cons, lambda con: con.execute(args.command), limit=args.aio_limit)
        # Closed as many at once as were worked at once (all at once, a
        # thousand closes would run in one turn of the loop).
        await gather_devices(cons, lambda con: con.aclose(), limit=args.aio_limit)
        done.append(True)
        await probing
        if trace is not None:
            looplag.write(trace, args.lag_trace)
        return results, seen

    usage = resource.getrusage(resource.RUSAGE_SELF)
    ready_cpu = usage.ru_utime + usage.ru_stime
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    sys.stdin.readline()
    began = time.monotonic()
    results, seen = asyncio.run(job())
    wall = time.monotonic() - began
    failures = {}
    for name, result in results.items():
        if not isinstance(result, str):
            failures[name] = (str(result).strip().splitlines() or [type(result).__name__])[0][:200]
        elif args.expect not in result:
            failures[name] = "unexpected output: %r" % result[:120]
    usage = resource.getrusage(resource.RUSAGE_SELF)
    report = {"wall": wall, "failures": failures, "devices": len(results), "ready_cpu": ready_cpu,
              "self_cpu": usage.ru_utime + usage.ru_stime - ready_cpu, "loop_lag_ms": seen["lag"] * 1e3, "loop_cpu_lag_ms": seen["cpu_lag"] * 1e3,
              "threads": seen["threads"], "tarvix_from": os.path.dirname(os.path.dirname(tarvix.__file__))}
    sys.stdout.write(json.dumps(report) + "\n")
    sys.stdout.flush()
    os._exit(0)


def through_jump_host(nr):
    """Every host's link through the jump host of $TARVIX_BENCH_JUMP (the
    conductor's bastion); the list that collects the jump sessions opened."""
    from tarvix.eal.ssh import jump as sshjump

    jump = json.loads(os.environ["TARVIX_BENCH_JUMP"])
    extras = nr.inventory.defaults.connection_options["tarvix"].extras
    extras["ssh"] = dict(extras.get("ssh") or {}, jump=[jump])
    opened = []
    original, run = sshjump.JumpSession.__init__, sshjump.JumpSession._run

    def counted(self, *args):
        opened.append(self)
        original(self, *args)

    def timed(self):
        try:
            run(self)
        finally:
            self.cpu = time.thread_time()

    sshjump.JumpSession.__init__ = counted
    sshjump.JumpSession._run = timed
    return opened


def start_bastion(folder):
    """An OpenSSH sshd on a free port of 127.0.0.1 taking this user's new
    key; (process, the jump host for $TARVIX_BENCH_JUMP)."""
    import getpass
    import socket

    sshd = shutil.which("sshd") or "/usr/sbin/sshd"
    for name in ("bastion_host", "bastion_user"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(folder, name)],
                       check=True)
    shutil.copy(os.path.join(folder, "bastion_user.pub"), os.path.join(folder, "bastion_keys"))
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    config = os.path.join(folder, "bastion_sshd")
    with open(config, "w") as handle:
        handle.write("\n".join(["Port %d" % port, "ListenAddress 127.0.0.1", "PidFile none", "UsePAM no",
                                "HostKey %s" % os.path.join(folder, "bastion_host"), "StrictModes no",
                                "AuthorizedKeysFile %s" % os.path.join(folder, "bastion_keys"),
                                "PasswordAuthentication no", "AllowTcpForwarding yes", "LogLevel ERROR"]) + "\n")
    if os.geteuid() == 0:
        os.makedirs("/run/sshd", exist_ok=True)
    process = subprocess.Popen([sshd, "-D", "-e", "-f", config], stdin=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, start_new_session=True)
    until = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            break
        except OSError:
            if process.poll() is not None or time.monotonic() > until:
                raise SystemExit("the jump host's sshd does not start")
            time.sleep(0.05)
    return process, {"host": "127.0.0.1", "port": port, "user": getpass.getuser(),
                     "key_file": os.path.join(folder, "bastion_user")}


def system_ssh_starts(nr):
    """Gives every host of ``nr`` an explicit start: the system ssh client's
    command line, as the plugin makes it where ssh2-python is missing (a
    host's extras replace the defaults' in Nornir, hence the copy)."""
    from nornir.core.inventory import ConnectionOptions

    from tarvix.nornir.connection import ssh_command

    defaults = nr.inventory.defaults.connection_options["tarvix"]
    for host in nr.inventory.hosts.values():
        extras = dict(defaults.extras or {})
        checking = extras.pop("host_key_checking", True)
        extras["start"] = ssh_command(host.hostname, host.port, host.username, checking)
        host.connection_options["tarvix"] = ConnectionOptions(extras=extras)


# ------------------------------------------------------------- the devices

def start_devices(count, processes, python):
    """``count`` FakeNOS routers r001... in ``processes`` processes, started
    side by side; the beds and the ports by host name."""
    sys.path.insert(0, E2E)
    import devices

    names = ["r%03d" % n for n in range(1, count + 1)]
    beds, ports = side_by_side(names, processes, lambda i, share: devices.DeviceBed(
        python, ["router:%s" % name for name in share]), "the device servers did not start: %s")
    return beds, ports, devices.USERNAME, devices.PASSWORD


def side_by_side(names, processes, start_bed, failure="%s"):
    """The beds ``start_bed(i, names)`` starts, the routers spread over
    ``processes`` of them started side by side, and the ports by host
    name; RuntimeError (``failure`` % the first error) if one fails, the
    others stopped."""
    shares = [names[i::processes] for i in range(processes)]
    beds, errors = [None] * processes, []

    def start(i):
        try:
            beds[i] = start_bed(i, shares[i])
        except Exception as error:  # reported below, once every start has ended
            errors.append(error)

    threads = [threading.Thread(target=start, args=(i,)) for i in range(processes)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    beds = [bed for bed in beds if bed is not None]
    if errors:
        stop_devices(beds)
        raise RuntimeError(failure % errors[0])
    ports = {}
    for bed in beds:
        ports.update(bed.ports)
    return beds, ports


def stop_devices(beds):
    for bed in beds:
        bed.stop()


SIM_USERNAME = "admin"
SIM_PASSWORD = "fleet-bench"
# The server: serves the routers of the JSON file it is given until SIGTERM,
# and prints the port of each, one line of JSON, once every port listens.
SIM_SERVER = """
import json, sys
from tarvix.simulator import server

def ready(running):
    sys.stdout.write(json.dumps(dict((name, ports[0]) for name, ports in running.ports.items())) + "\\n")
    sys.stdout.flush()

server.serve(server.load(sys.argv[1]), ready=ready)
"""


class SimulatorBed(object):
    """The SSH simulator's routers, every one in one server process (a
    process group of its own); ``process`` and ``ports`` once started."""

    def __init__(self, python, names, folder, timeout=300, options=None):
        path = os.path.join(folder, "routers.json")
        with open(path, "w") as handle:
            json.dump({"routers": [{"hostname": name, "username": SIM_USERNAME, "password": SIM_PASSWORD,
                                    "options": (options or {}).get(name, [])} for name in names]}, handle)
        # Its complaints (e.g. of clients that hang up while a router
        # writes) go to a file, shown if it does not start.
        self.errors = os.path.join(folder, "server.err")
        with open(self.errors, "w") as errors:
            self.process = subprocess.Popen([python, "-c", SIM_SERVER, path], stdout=subprocess.PIPE,
                                            stderr=errors, universal_newlines=True, start_new_session=True)
        self.ports = {}
        line = []
        reader = threading.Thread(target=lambda: line.append(self.process.stdout.readline()), daemon=True)
        reader.start()
        reader.join(timeout)
        if not line or not line[0].strip():
            self.stop()
            with open(self.errors) as errors:
                said = errors.read().strip().splitlines()
            raise RuntimeError("the SSH simulator did not start%s%s" % (
                " (exit %s)" % self.process.returncode if self.process.returncode is not None else
                " in %d s" % timeout, ": %s" % said[-1] if said else ""))
        self.ports = json.loads(line[0])

    def stop(self):
        """SIGTERM (the server ends every session), then its group killed."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(60)
            except subprocess.TimeoutExpired:
                pass
        end_group(self.process)


def start_simulator(count, python, folder, options=None, processes=1):
    """``count`` simulated routers r0001... served over SSH by
    ``processes`` processes, started side by side (``options``: the
    console's knobs of some, by name); the beds, the ports by host name
    and the login."""
    names = ["r%04d" % n if count < 10000 else "r%05d" % n for n in range(1, count + 1)]

    def start(i, share):
        part = os.path.join(folder, "sim%d" % i)
        os.makedirs(part)
        return SimulatorBed(python, share, part, options=options)

    beds, ports = side_by_side(names, processes, start)
    return beds, ports, SIM_USERNAME, SIM_PASSWORD


def write_inventory(folder, ports, username, password, tools):
    """A Nornir SimpleInventory: one host per router, each tool's platform
    and options under its connection options (the platform name each tool's
    documentation uses for the industry-standard router CLI, and what a user
    sets for a lab whose host keys are not known beforehand).  YAML is a
    superset of JSON."""
    hosts = dict((name, {"hostname": "127.0.0.1", "port": port}) for name, port in sorted(ports.items()))
    options = {
        "netmiko": {"platform": "cisco_ios"},
        "scrapli": {"platform": "cisco_iosxe", "extras": {"auth_strict_key": False}},
        # tarvix takes the peers' name for this CLI ("generic" is its own).
        "tarvix": {"platform": "cisco_ios", "extras": {"host_key_checking": False}},
    }
    defaults = {"username": username, "password": password,
                "connection_options": dict((tool, options[tool]) for tool in tools)}
    for name, data in (("hosts", hosts), ("groups", {}), ("defaults", defaults)):
        with open(os.path.join(folder, name + ".yaml"), "w") as handle:
            json.dump(data, handle, indent=1)


# ------------------------------------------------------------ the conductor

def open_sessions(ports, tables=("/proc/net/tcp", "/proc/net/tcp6")):
    """How many TCP connections to the given ports are established: the
    sessions open to the bed (its servers' ports; nothing else connects to
    them).  Read from the kernel's tables in one go, whoever holds them."""
    count = 0
    for table in tables:
        try:
            with open(table) as handle:
                next(handle)
                for line in handle:
                    fields = line.split()
                    if fields[3] == "01" and int(fields[2].rpartition(":")[2], 16) in ports:
                        count += 1
        except (IOError, OSError, StopIteration):
            continue
    return count


class TreeSampler(threading.Thread):
    """Samples the memory of a process and its descendants: the sum of their
    resident sets every SAMPLE_EVERY seconds, and the sum of their
    proportional sets (shared pages split among the processes sharing them)
    every PSS_EVERY seconds, which costs more to read, with the number of
    sessions open to ``ports`` at that moment: the most seen open at once,
    and the proportional set at that moment (the peak of the proportional
    set may come later, as sessions close: freed memory is seldom given
    back).  Remembers every process
    seen, to end those left behind."""

    def __init__(self, pid, ports=()):
        super(TreeSampler, self).__init__(daemon=True)
        import psutil

        self.root = psutil.Process(pid)
        self.ports = frozenset(ports)
        self.peak = 0
        self.peak_pss = 0
        self.most_sessions = 0
        self.pss_at_most = 0
        self.peak_children = 0
        self.seen = {}
        self.stopping = threading.Event()

    def pss_now(self):
        """The summed proportional sets of the tree, once."""
        import psutil

        total = 0
        for proc in [self.root] + self.root.children(recursive=True):
            try:
                total += proc.memory_full_info().pss
            except (psutil.NoSuchProcess, psutil.AccessDenied):
                continue
        return total

    def run(self):
        import psutil

        next_pss = 0
        while not self.stopping.is_set():
            try:
                procs = [self.root] + self.root.children(recursive=True)
            except psutil.NoSuchProcess:
                break
            now = time.monotonic()
            pss = now >= next_pss
            if pss:
                next_pss = now + PSS_EVERY
            total = total_pss = 0
            for proc in procs:
                try:
                    if proc.pid not in self.seen:
                        self.seen[proc.pid] = proc
                    if pss:
                        info = proc.memory_full_info()
                        total_pss += info.pss
                    else:
                        info = proc.memory_info()
                    total += info.rss
                except (psutil.NoSuchProcess, psutil.AccessDenied):
                    continue
            self.peak = max(self.peak, total)
            if pss:
                sessions = open_sessions(self.ports)
                self.peak_pss = max(self.peak_pss, total_pss)
                if (sessions, total_pss) > (self.most_sessions, self.pss_at_most):
                    self.most_sessions, self.pss_at_most = sessions, total_pss
            self.peak_children = max(self.peak_children, len(procs) - 1)
            self.stopping.wait(SAMPLE_EVERY)

    def end_left(self):
        """Kills the descendants seen that still run (the same processes:
        psutil checks their start times); how many there were."""
        import psutil

        left = 0
        for proc in self.seen.values():
            if proc.pid == self.root.pid:
                continue
            try:
                if proc.is_running():
                    left += 1
                    proc.kill()
            except psutil.NoSuchProcess:
                continue
        return left


def cpu_seconds(beds):
    import psutil

    total = 0.0
    for bed in beds:
        times = psutil.Process(bed.process.pid).cpu_times()
        total += times.user + times.system
    return total


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def settle(beds, most=10.0):
    """Waits (``most`` seconds at most) until the devices' servers have
    ended what the last round left them (the sessions a driver dropped as
    it exited are torn down after it): that CPU is no round's, and would
    slow the next one."""
    ends = time.monotonic() + most
    last = cpu_seconds(beds)
    while time.monotonic() < ends:
        time.sleep(0.25)
        now = cpu_seconds(beds)
        if now - last < 0.01:
            return
        last = now


def run_round(tool, args, inventory, beds, ports=()):
    """One tool once: the driver's report, with its peak memory and the CPU
    seconds it and the devices spent."""
    settle(beds)
    env = None
    if tool.endswith("@before"):
        # The same column over the sources of --before (the code before a
        # change), in the same run.
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([args.before] + [
            path for path in os.environ.get("PYTHONPATH", "").split(os.pathsep) if path]))
    argv = [sys.executable, os.path.abspath(__file__), "--worker", tool.partition("@")[0], "--inventory", inventory,
            "--workers", str(args.workers), "--command", args.command, "--expect", args.expect,
            "--aio-limit", str(args.aio_limit)]
    if args.timeline:
        argv.append("--timeline")
    if args.lag_trace and tool.startswith("tarvix-aio"):
        argv += ["--lag-trace", args.lag_trace + (".before" if tool.endswith("@before") else "")]
    # --cluster: the cluster of the tarvix-cluster column where there is
    # one, else of every tool.
    if args.cluster and (tool == "tarvix-cluster" or "tarvix-cluster" not in args.tools.split(",")):
        argv += ["--cluster", args.cluster]
    sampler = None
    driver = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, start_new_session=True, env=env)
    try:
        ready = driver.stdout.readline()
        if ready.strip() != "ready":
            out, err = driver.communicate(timeout=30)
            return {"problem": (err.strip().splitlines() or ["exit %s" % driver.returncode])[-1]}
        sampler = TreeSampler(driver.pid, ports)
        idle_pss = sampler.pss_now()
        devices_cpu, driver_cpu = cpu_seconds(beds), children_cpu()
        sampler.start()
        try:
            out, err = driver.communicate("go\n", timeout=args.timeout)
        finally:
            sampler.stopping.set()
            sampler.join()
        lines = [line for line in out.splitlines() if line.startswith("{")]
        if driver.returncode != 0 or not lines:
            return {"problem": (err.strip().splitlines() or ["exit %s" % driver.returncode])[-1]}
        report = json.loads(lines[-1])
        report["peak_mb"] = sampler.peak / 1e6
        report["peak_pss_mb"] = sampler.peak_pss / 1e6
        report["idle_pss_mb"] = idle_pss / 1e6
        report["most_sessions"] = sampler.most_sessions
        report["pss_at_most_mb"] = sampler.pss_at_most / 1e6
        report["children_peak"] = sampler.peak_children
        report["devices_cpu"] = cpu_seconds(beds) - devices_cpu
        # The driver's CPU and its reaped children's (the ssh clients), less
        # what it spent before the clock started.
        report["driver_cpu"] = children_cpu() - driver_cpu - report.get("ready_cpu", 0)
        return report
    except subprocess.TimeoutExpired:
        report = {"problem": "ended after %d s" % args.timeout}
        if sampler is not None:
            # What memory it held by then, for the sessions it had open.
            report.update(peak_mb=sampler.peak / 1e6, most_sessions=sampler.most_sessions,
                          pss_at_most_mb=sampler.pss_at_most / 1e6, idle_pss_mb=idle_pss / 1e6)
        return report
    finally:
        end_group(driver)
        if sampler is not None:
            # The links' programs run in sessions of their own, out of the
            # driver's group: normally gone with the driver, else ended here.
            left = sampler.end_left()
            if left:
                print("ended %d process(es) the driver left behind" % left, file=sys.stderr)


def end_group(process):
    """Ends the process's group (the driver and its ssh clients)."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    process.wait()
    for stream in (process.stdin, process.stdout, process.stderr):
        if stream is not None:
            stream.close()


def median(values):
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2


def versions(tools):
    found = {}
    from importlib import metadata

    for tool, dist in (("tarvix", "tarvix"), ("netmiko", "nornir_netmiko"), ("netmiko", "netmiko"),
                       ("scrapli", "nornir_scrapli"), ("scrapli", "scrapli"), ("scrapli-ssh2", "ssh2-python"),
                       ("cluster", "dask"), ("cluster", "distributed"), (None, "nornir"), (None, "psutil")):
        if tool is None or tool in tools:
            try:
                found[dist] = metadata.version(dist)
            except metadata.PackageNotFoundError:
                found[dist] = None
    return found


def timeline_summary(reports):
    """Median seconds per device of connect, command and close, and the
    median number of devices handled at once, over every round."""
    steps = {"connect": [], "command": [], "close": []}
    busy = []
    for report in reports:
        marks = list(report.get("marks", {}).values())
        for began, connected, done, closed in marks:
            steps["connect"].append(connected - began)
            steps["command"].append(done - connected)
            steps["close"].append(closed - done)
        if marks:
            # Devices in hand at each start of a device.
            busy.extend(sum(1 for b, _, _, c in marks if b <= start < c) for start, _, _, _ in marks)
    if not busy:
        return None
    summary = dict((step, median(values)) for step, values in steps.items())
    summary["at_once"] = median(busy)
    # tarvix's steps: the median time from each logged step to the next one,
    # from the start of the device's task to the end of its close.
    spans, order = {}, []
    for report in reports:
        for name, events in report.get("steps", {}).items():
            began, connected, done, closed = report["marks"][name]
            sequence = [("task began", began)] + [(step, t) for step, t in events] + [
                ("task done", done), ("closed", closed)]
            sequence.sort(key=lambda item: item[1])
            for (first, t1), (then, t2) in zip(sequence, sequence[1:]):
                span = "%s -> %s" % (first, then)
                if span not in spans:
                    spans[span] = []
                    order.append(span)
                spans[span].append(t2 - t1)
    if spans:
        summary["steps"] = [(span, median(spans[span]), len(spans[span])) for span in order]
    return summary


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bed", choices=BEDS, default="fakenos",
                        help="the routers: FakeNOS's (default) or tarvix's SSH simulator's")
    parser.add_argument("--devices", type=int, default=100, help="routers (default 100)")
    parser.add_argument("--bed-processes", type=int, default=None,
                        help="processes the routers are spread over (default: FakeNOS's 4, the SSH simulator's 1)")
    parser.add_argument("--aio-limit", type=int, default=None,
                        help="hosts tarvix-aio works at once (default: --workers)")
    parser.add_argument("--workers", type=int, default=50, help="Nornir's threads (default 50)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of every tool (default 3)")
    parser.add_argument("--command", default="show version", help='the command (default "show version")')
    parser.add_argument("--expect", default=None,
                        help="text every output must hold (default: for show version, \"uptime is\")")
    parser.add_argument("--tools", default=None,
                        help="comma-separated, of %s (default: the first three, and scrapli-ssh2 where "
                             "ssh2-python is installed, and tarvix-systemssh too on the sshsim bed)"
                             % ", ".join(TOOLS + tuple(sorted(VARIANTS))))
    parser.add_argument("--timeout", type=int, default=600, help="seconds a round of one tool may last")
    parser.add_argument("--timeline", action="store_true",
                        help="record each device's connect, command and close (opens and closes per device)")
    parser.add_argument("--json", metavar="FILE", help="write the figures to FILE")
    parser.add_argument("--before", metavar="SRC",
                        help="a tool named TOOL@before runs TOOL over the tarvix package in SRC (a checkout's "
                             "src folder of an earlier commit, its native modules built), in the same run")
    parser.add_argument("--lag-trace", metavar="FILE",
                        help="tarvix-aio: write to FILE what ran on the loop's thread in each slow tick "
                             "(benchmarks/looplag.py; its figures are then not the benchmark's)")
    parser.add_argument("--cluster", metavar="local[:N]",
                        help="run the job on tarvix's Dask runner: a local cluster of N worker processes "
                             "(default 2), started and stopped within the timed run")
    parser.add_argument("--worker", choices=TOOLS + tuple(VARIANTS), help=argparse.SUPPRESS)
    parser.add_argument("--inventory", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.expect is None:
        args.expect = "uptime is" if args.command == "show version" else ""
    if args.bed_processes is None:
        args.bed_processes = 4 if args.bed == "fakenos" else 1
    if args.aio_limit is None:
        args.aio_limit = args.workers
    if args.tools is None:
        args.tools = ",".join(default_tools(args.bed))
    tools = [tool.strip() for tool in args.tools.split(",") if tool.strip()]
    args.tools = ",".join(tools)
    for tool in tools:
        base, at, suffix = tool.partition("@")
        if base not in TOOLS and base not in VARIANTS or at and suffix != "before":
            parser.error("unknown tool %r" % tool)
        if at and not args.before:
            parser.error("%s: --before SRC names the sources it runs" % tool)
    if args.devices < 1 or args.workers < 1 or args.rounds < 1 or args.bed_processes < 1 or args.aio_limit < 1:
        parser.error("--devices, --workers, --rounds, --bed-processes and --aio-limit are at least 1")
    if args.cluster is not None:
        kind, colon, count = args.cluster.partition(":")
        if kind != "local" or colon and not (count.isdigit() and int(count) > 0):
            parser.error("--cluster: local or local:N")
    if args.timeline and (args.cluster is not None or "tarvix-cluster" in tools):
        parser.error("--timeline records in the driver's process: not with a cluster")
    if args.worker:
        return drive(args)

    python = os.environ.get("TARVIX_DEVICES_PYTHON") or os.path.join(ROOT, ".venv-devices", "bin", "python")
    figures = {"machine": "%s, %d cores, %.0f GB, %s, Python %s"
                          % (platform.machine(), os.cpu_count(), memory_gb(), platform.platform(),
                             platform.python_version()),
               "bed": args.bed, "devices": args.devices,
               "bed_processes": args.bed_processes, "workers": args.workers, "aio_limit": args.aio_limit,
               "runner": ("threaded (tarvix-cluster: Dask, %s)" % (args.cluster or "local:2")
                          if "tarvix-cluster" in tools else
                          "Dask, --cluster %s" % args.cluster if args.cluster else "threaded"),
               "rounds": args.rounds, "command": args.command, "versions": versions(set(tools) | set(plugin_of(tool) for tool in tools)
                                                                   | ({"cluster"} if args.cluster or "tarvix-cluster" in tools
                                                                      else set())),
               "scrapli_transport": "system (nornir_scrapli's default); scrapli-ssh2: ssh2", "tools": {}}
    folder = tempfile.mkdtemp(prefix="tarvix-fleet-")
    beds, bastion = [], None
    try:
        began = time.monotonic()
        print("starting %d %s routers in %d process(es) ..." % (args.devices, BED_NAMES[args.bed],
                                                                 figures["bed_processes"]), file=sys.stderr)
        if args.bed == "sshsim":
            beds, ports, username, password = start_simulator(args.devices, sys.executable, folder,
                                                              processes=args.bed_processes)
        else:
            beds, ports, username, password = start_devices(args.devices, args.bed_processes, python)
        figures["devices_start_s"] = time.monotonic() - began
        figures["devices_idle_mb"] = devices_memory(beds)
        write_inventory(folder, ports, username, password, set(plugin_of(tool) for tool in tools))
        if "tarvix-jump" in tools:
            bastion, jump = start_bastion(folder)
            os.environ["TARVIX_BENCH_JUMP"] = json.dumps(jump)
        reports = dict((tool, []) for tool in tools)
        for number in range(1, args.rounds + 1):
            for tool in tools:
                jump_cpu = reaped_cpu(bastion) if tool == "tarvix-jump" else None
                report = run_round(tool, args, folder, beds, set(ports.values()))
                if jump_cpu is not None and "wall" in report:
                    report["jump_host_cpu"] = reaped_cpu(bastion) - jump_cpu
                reports[tool].append(report)
                print("round %d %-8s %s" % (number, tool, brief(report)), file=sys.stderr)
        figures["devices_mb_after"] = devices_memory(beds)
        for tool in tools:
            done = [r for r in reports[tool] if "wall" in r]
            figures["tools"][tool] = {
                "rounds": reports[tool],
                "wall_s": median([r["wall"] for r in done]),
                "peak_mb": median([r["peak_mb"] for r in done]),
                "peak_pss_mb": median([r["peak_pss_mb"] for r in done]),
                "idle_pss_mb": median([r["idle_pss_mb"] for r in done]),
                "most_sessions": median([r["most_sessions"] for r in done]),
                "pss_per_session_kb": median([per_session(r) for r in done]),
                "added_per_session_kb": median([per_session(r, above_idle=True) for r in done]),
                "failures": median([len(r["failures"]) for r in done]),
                "devices_cpu_s": median([r["devices_cpu"] for r in done]),
                "driver_cpu_s": median([r["driver_cpu"] for r in done]),
                "driver_self_cpu_s": median([r["self_cpu"] for r in done if "self_cpu" in r]),
                "scheduler_cpu_s": median([r["scheduler_cpu"] for r in done if "scheduler_cpu" in r]),
                "children": median([r["children_peak"] for r in done]),
                "loop_lag_ms": median([r["loop_lag_ms"] for r in done if "loop_lag_ms" in r]),
                "loop_cpu_lag_ms": median([r["loop_cpu_lag_ms"] for r in done if "loop_cpu_lag_ms" in r]),
                "threads": median([r["threads"] for r in done if "threads" in r]),
                "problems": [r["problem"] for r in reports[tool] if "problem" in r],
                "timeline": timeline_summary(done),
            }
    finally:
        pids = [bed.process.pid for bed in beds]
        if bastion is not None:
            end_group(bastion)
            pids.append(bastion.pid)
        stop_devices(beds)
        shutil.rmtree(folder, ignore_errors=True)
        figures["left_running"] = still_running(pids)
    print_table(figures)
    if args.json:
        with open(args.json, "w") as handle:
            json.dump(figures, handle, indent=2, sort_keys=True)
    return 0


BED_NAMES = {"fakenos": "FakeNOS", "sshsim": "SSH simulator"}


def per_session(report, above_idle=False):
    """KB of the driver's proportional set (its children's included) per
    open session, at the moment the most sessions were open at once;
    ``above_idle``: less the set it had before the clock started (Nornir and
    the tool loaded, nothing open).  None if no session was seen open."""
    sessions = report.get("most_sessions")
    if not sessions:
        return None
    pss = report["pss_at_most_mb"] - (report["idle_pss_mb"] if above_idle else 0)
    return pss * 1e3 / sessions


def still_running(pids):
    """Those of the device servers' processes that are still alive."""
    import psutil

    left = [pid for pid in pids if psutil.pid_exists(pid) and psutil.Process(pid).status() != psutil.STATUS_ZOMBIE]
    return left


def memory_gb():
    try:
        import psutil

        return psutil.virtual_memory().total / 1e9
    except ImportError:
        return 0


def devices_memory(beds):
    import psutil

    return sum(psutil.Process(bed.process.pid).memory_info().rss for bed in beds) / 1e6


def brief(report):
    if "problem" in report:
        return "problem: %s%s" % (report["problem"], "; by then %d sessions open at most, %.0f KB PSS a session, "
                                  "%.0f KB above idle" % (report["most_sessions"], per_session(report) or 0,
                                                          per_session(report, above_idle=True) or 0)
                                  if report.get("most_sessions") else "")
    phases = report.get("phases") or {}
    aio = ", loop lag at most %.1f ms (%.1f ms of its CPU), %d threads at most, %d sessions at most, " \
          "%.0f KB PSS a session" % (report["loop_lag_ms"], report["loop_cpu_lag_ms"], report["threads"],
                                      report["most_sessions"], per_session(report) or 0) \
        if "loop_lag_ms" in report else ", %d sessions at most, %.0f KB PSS a session" % (
            report["most_sessions"], per_session(report) or 0)
    return "%.2f s, %.0f MB, %d failed, devices' CPU %.1f s, driver's CPU %.1f s%s%s, load %.2f" % (
        report["wall"], report["peak_mb"], len(report["failures"]), report["devices_cpu"], report["driver_cpu"],
        ", %d jump session(s), its thread's CPU %.2f s, the jump host's CPU %.2f s"
        % (report["jump_sessions"], report["jump_thread_cpu"], report.get("jump_host_cpu", 0))
        if "jump_sessions" in report else "",
        "; cluster up %.2f s, results %.2f-%.2f s, closed %.2f s" % tuple(
            phases.get(key, float("nan")) for key in ("up", "first_result", "last_result", "closed"))
        if phases else "", os.getloadavg()[0]) + aio + (
        ", tarvix from %s" % report["tarvix_from"] if "tarvix_from" in report else "")


def reaped_cpu(process):
    """CPU seconds of the children ``process`` reaped (a sshd's sessions),
    once it has reaped those it had (two seconds at most)."""
    until = time.monotonic() + 2
    while time.monotonic() < until:
        with open("/proc/%d/task/%d/children" % (process.pid, process.pid)) as handle:
            if not handle.read().split():
                break
        time.sleep(0.02)
    with open("/proc/%d/stat" % process.pid) as handle:
        fields = handle.read().rpartition(")")[2].split()
    return (int(fields[13]) + int(fields[14])) / os.sysconf("SC_CLK_TCK")


def cell(value, form):
    return "n/a" if value is None else form % value


def print_table(figures):
    print("\n%d %s routers (%d process(es)), %d Nornir workers, %s runner, %r, median of %d rounds (%s)\n"
          % (figures["devices"], BED_NAMES[figures.get("bed", "fakenos")], figures["bed_processes"],
             figures["workers"], figures.get("runner", "threaded"), figures["command"], figures["rounds"],
             figures["machine"]))
    print("| tool | wall s | driver CPU ms/device | peak MB (RSS) | peak MB (PSS) | most sessions open "
          "| PSS KB/session | KB/session above idle | failures | driver CPU s | devices' CPU s "
          "| driver process CPU s | of which scheduler's loop CPU s |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for tool, row in figures["tools"].items():
        per_device = None if row["driver_cpu_s"] is None else row["driver_cpu_s"] * 1e3 / figures["devices"]
        print("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            tool, cell(row["wall_s"], "%.2f"), cell(per_device, "%.1f"), cell(row["peak_mb"], "%.0f"),
            cell(row["peak_pss_mb"], "%.0f"), cell(row.get("most_sessions"), "%g"),
            cell(row.get("pss_per_session_kb"), "%.0f"), cell(row.get("added_per_session_kb"), "%.0f"),
            cell(row["failures"], "%g"), cell(row["driver_cpu_s"], "%.1f"), cell(row["devices_cpu_s"], "%.1f"),
            cell(row.get("driver_self_cpu_s"), "%.1f"), cell(row.get("scheduler_cpu_s"), "%.2f")))
    for tool, row in figures["tools"].items():
        if row.get("loop_lag_ms") is not None:
            print("\n%s: the event loop's largest lag %.1f ms (its thread's CPU in it %.1f ms), at most %g threads "
                  "in the driver, %d hosts at once" % (tool, row["loop_lag_ms"], row["loop_cpu_lag_ms"], row["threads"],
                                                       figures["aio_limit"]))
    timelines = [(tool, row["timeline"]) for tool, row in figures["tools"].items() if row["timeline"]]
    if timelines:
        print("\nseconds per device, median (devices in hand at once)\n")
        print("| tool | connect | command | close | at once |")
        print("|---|---|---|---|---|")
        for tool, line in timelines:
            print("| %s | %.3f | %.3f | %.3f | %g |" % (tool, line["connect"], line["command"], line["close"],
                                                      line["at_once"]))
    for tool, line in timelines:
        if line.get("steps"):
            print("\n%s, a device's steps (median seconds from one to the next, over %d devices)\n"
                  % (tool, max(count for _, _, count in line["steps"])))
            for span, seconds, count in line["steps"]:
                print("    %-60s %.3f  (%d)" % (span, seconds, count))
    print("\nversions: %s; scrapli transport: %s" % (
        ", ".join("%s %s" % item for item in sorted(figures["versions"].items())), figures["scrapli_transport"]))
    print("devices: started in %.1f s, %.0f MB idle, %.0f MB at the end; left running at the end: %s"
          % (figures["devices_start_s"], figures["devices_idle_mb"], figures["devices_mb_after"],
             figures["left_running"] or "nothing"))
    for tool, row in figures["tools"].items():
        for report in row["rounds"]:
            if "problem" in report:
                print("%s: %s" % (tool, brief(report)))
        errors = {}
        for report in row["rounds"]:
            for error in report.get("failures", {}).values():
                errors[error] = errors.get(error, 0) + 1
        for error, count in sorted(errors.items(), key=lambda item: -item[1])[:3]:
            print("%s: %d x %s" % (tool, count, error))


if __name__ == "__main__":
    sys.exit(main())
