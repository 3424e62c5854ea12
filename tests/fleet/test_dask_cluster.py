"""Runs on a Dask cluster: a local one of 2 worker processes, and a real
scheduler with 2 workers started here as processes of their own."""
import contextlib
import json
import logging
import os
import pickle
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("nornir")
distributed = pytest.importorskip("distributed")

from tarvix import simulator  # noqa: E402
from tarvix.cli import main  # noqa: E402

PASSWORD = "pw-4f1c9e-not-for-logs"
DASK = os.path.join(os.path.dirname(sys.executable), "dask")


def inventory(directory, hosts):
    """A spawned-console inventory with a password in its defaults: {name:
    simulator options}."""
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "hosts.yaml"), "w") as out:
        for name, options in sorted(hosts.items()):
            out.write("%s:\n  data: {site: lab%d}\n  connection_options:\n    tarvix:\n      extras: %s\n"
                      % (name, 2 - int(name[-1]) % 2, json.dumps({"start": simulator.command(name, *options)})))
    with open(os.path.join(directory, "defaults.yaml"), "w") as out:
        out.write("username: admin\npassword: %s\n" % PASSWORD)
    return directory


def read(path, mode="r"):
    with open(str(path), mode) as handle:
        return handle.read()


def files(folder):
    return {name: read(os.path.join(folder, name), "rb") for name in sorted(os.listdir(folder))}


def tarvix_run(capsys, *options):
    try:
        status = main(["run"] + list(options))
    except SystemExit as error:  # an option unknown
        status = error.code
    out, err = capsys.readouterr()
    return status, out, err


def free_port():
    """A port nothing listens on (none is started on it)."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def scheduler_file(path):
    """The scheduler's file once written whole, else None."""
    try:
        with open(path) as handle:
            return json.load(handle)
    except (OSError, ValueError):
        return None


def explode(secret):
    raise ValueError("no")


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """A `dask scheduler` (its default configuration) and 2 `dask worker`
    processes on 127.0.0.1 (no nanny: a worker killed stays dead); yields
    (address, client, {worker address: its process}, log directory,
    the scheduler's process)."""
    if not os.path.exists(DASK):
        pytest.skip("no dask command beside the interpreter")
    logs = tmp_path_factory.mktemp("dask-logs")
    processes = []
    # The tasks of this module are run there as a script's would be: its
    # folder is on their path.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(__file__)] + env.get("PYTHONPATH", "").split(os.pathsep))

    def start(name, *argv):
        log = open(str(logs / (name + ".log")), "w")
        processes.append(subprocess.Popen([DASK] + list(argv), stdout=log, stderr=subprocess.STDOUT, env=env))
        log.close()

    client = None
    try:
        found = str(logs / "scheduler.json")
        start("scheduler", "scheduler", "--host", "127.0.0.1", "--port", "0", "--scheduler-file", found,
              "--no-dashboard", "--no-show")
        wait_for(lambda: scheduler_file(found), processes[0], 60)
        address = scheduler_file(found)["address"]
        for number in (1, 2):
            start("worker%d" % number, "worker", address, "--host", "127.0.0.1", "--nthreads", "2",
                  "--no-nanny", "--no-dashboard", "--name", "w%d" % number, "--resources", "site-lab%d=100" % number)
        client = distributed.Client(address, timeout=60, set_as_default=False)
        client.wait_for_workers(2, timeout=60)
        pids = client.run(os.getpid)
        workers = {worker: next(p for p in processes if p.pid == pid) for worker, pid in pids.items()}
        yield address, client, workers, logs, processes[0]
    finally:
        if client is not None:
            client.close(timeout=5)
        for process in reversed(processes):
            if process.poll() is None:
                process.terminate()
        for process in processes:
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=5)


@pytest.mark.slow
def test_local_cluster_run_matches_threaded_run(tmp_path, capsys):
    lab = inventory(str(tmp_path / "lab"), {"r1": [], "r2": [], "r3": ["--reject", "hostname lab"], "r4": []})
    common = ["--inventory", lab, "--execute", "show version", "--configure", "hostname lab"]
    documents = {}
    for kind, extra in (("threaded", []), ("cluster", ["--cluster", "local:2", "--verbose"])):
        began = time.monotonic()
        status, out, err = tarvix_run(capsys, *(common + extra + ["--output", str(tmp_path / kind / "out"),
                                                                   "--session-log", str(tmp_path / kind / "logs"),
                                                                   "--json"]))
        took = time.monotonic() - began
        assert status == 1, err
        documents[kind] = json.loads(out)
        if kind == "cluster":
            # Timed from the start, while the cluster starts too (most of the wall time).
            assert documents[kind]["seconds"] > 0.6 * took
        document = documents[kind]
        assert document["started"] <= min(step["start"] for host in document["hosts"] for step in host["steps"])
        for host in document["hosts"]:
            # Each step on one clock, the workers' too; the files where this run put them.
            host["steps"] = [(step["step"], step["kind"], step["status"]) for step in host.pop("steps")
                             if step["start"] <= step["end"] <= document["ended"]]
            assert host.pop("output_file").startswith(str(tmp_path / kind / "out"))
            host.pop("seconds"), host.pop("session_logs")
        for key in ("seconds", "started", "ended", "command_line"):
            document.pop(key)
    assert err.startswith("starting a local Dask cluster of 2 worker process(es)\n")  # told at once
    # The workers' log records are told here.
    assert "the start command of the extras" in err and PASSWORD not in err
    assert documents["cluster"] == documents["threaded"]
    assert [host["status"] for host in documents["cluster"]["hosts"]] == ["ok", "ok", "failed", "ok"]
    assert documents["cluster"]["hosts"][2]["steps"] == [
        ("connect", "connect", "ok"), ("show version", "command", "ok"),
        ("configuration of 1 line(s)", "configuration", "failed"), ("disconnect", "disconnect", "ok")]
    outputs = files(str(tmp_path / "cluster" / "out"))
    assert outputs == files(str(tmp_path / "threaded" / "out")) and len(outputs) == 4
    assert b"r2 uptime is" in outputs["r2.txt"] and b"!!! failed: " in outputs["r3.txt"]
    # The session logs come back from the workers; their clock times differ.
    logs = files(str(tmp_path / "cluster" / "logs"))
    assert sorted(logs) == sorted(files(str(tmp_path / "threaded" / "logs")))
    assert all(b"show version" in log and PASSWORD.encode() not in log for log in logs.values())

    status, out, err = tarvix_run(capsys, *(common + ["--cluster", "remote"]))
    assert status == 2 and err.startswith("error: --cluster remote: give local or local:N")


def grouped(task):
    from nornir.core.task import Result

    from tarvix.nornir import tarvix_execute

    task.run(tarvix_execute, command="show version")
    task.run(tarvix_execute, command="show ip interface brief")
    return Result(host=task.host, result="done " + task.host.name, changed=True)


@pytest.mark.slow
def test_nornir_runner_gives_nornirs_results(cluster, tmp_path):
    from nornir import InitNornir

    address, client, workers, logs, scheduler = cluster
    lab = inventory(str(tmp_path / "lab"), {"r1": [], "r2": ["--reject", "show ip interface brief"]})
    outcomes = {}
    for runner in ({"plugin": "threaded"}, {"plugin": "tarvix_dask", "options": {"scheduler": address}}):
        nr = InitNornir(runner=runner, logging={"enabled": False},
                        inventory={"plugin": "SimpleInventory",
                                   "options": {"host_file": os.path.join(lab, "hosts.yaml"),
                                               "defaults_file": os.path.join(lab, "defaults.yaml")}})
        results = nr.run(task=grouped)
        outcomes[runner["plugin"]] = {
            name: [(r.name, r.failed, r.changed, str(r.result).splitlines()[0], type(r.exception).__name__,
                    r.host is nr.inventory.hosts[name], r.severity_level) for r in multi]
            for name, multi in results.items()}
        if runner["plugin"] == "tarvix_dask":  # those of the threaded runner stay open here
            assert all(not host.connections for host in nr.inventory.hosts.values())
    assert outcomes["tarvix_dask"] == outcomes["threaded"]
    assert [entry[:3] for entry in outcomes["tarvix_dask"]["r1"]] == [
        ("grouped", False, True), ("tarvix_execute", False, False), ("tarvix_execute", False, False)]
    assert outcomes["tarvix_dask"]["r2"][0][1] and outcomes["tarvix_dask"]["r2"][2][4] == "CommandError"


@pytest.mark.slow
def test_a_secret_of_a_host_not_yet_connected_is_masked(cluster, tmp_path, capsys):
    address, client, workers, logs, scheduler = cluster
    for kind, extra in (("cluster", ["--scheduler", address]), ("threaded", [])):
        # Only the last host's enable password; the hosts before it are sent it.
        secret = "en-%s-%s" % (kind, tmp_path.name)
        lab = inventory(str(tmp_path / kind), {"h1": [], "h2": []})
        with open(os.path.join(lab, "hosts.yaml"), "a") as out:
            out.write("h3:\n  connection_options:\n    tarvix:\n      extras: %s\n" % json.dumps(
                {"start": simulator.command("h3"), "credentials": {"enable": {"password": secret}}}))
        status, out, err = tarvix_run(capsys, "--inventory", lab, "--execute", "show clock", "--configure",
                                      "enable secret " + secret, "--workers", "1", "--verbose",
                                      "--session-log", os.path.join(lab, "logs"), *extra)
        assert status == 0, err
        # ("secret" itself is masked too where an earlier test of the process used it as a password.)
        assert len(re.findall(r"sending 'enable (?:secret|\*{4}) \*{4}'", err)) == 3 and secret not in err, err
        sessions = files(os.path.join(lab, "logs"))
        assert all(re.search(rb"enable (?:secret|\*{4}) \*{4}", log) and secret.encode() not in log
                   for log in sessions.values())
    # Nor do the scheduler's events or metadata keep it after the run.
    assert "en-cluster-" not in str(client.get_events()) + str(client.get_metadata([], None))


def by_host(stdout):
    rows = {}
    for line in stdout.splitlines()[1:]:
        parts = line.split(None, 3)
        if len(parts) >= 3 and parts[1] in ("ok", "failed", "interrupted", "unsaved"):
            rows[parts[0]] = (parts[1], parts[3] if len(parts) > 3 else "")
    return rows


@pytest.mark.slow
def test_run_on_a_scheduler_and_its_faults(cluster, tmp_path, capsys, monkeypatch, simulators_running):
    from tarvix.nornir import dask_cluster, dask_collect, dask_marks

    address, client, workers, logs, scheduler = cluster
    token = tmp_path.name
    lab = inventory(str(tmp_path / "lab"), {"r1": [], "r2": [], "r3": []})
    common = ["--inventory", lab, "--execute", "show version", "--configure", "hostname lab"]
    for kind, extra in (("threaded", []), ("cluster", ["--scheduler", address])):
        status, out, err = tarvix_run(capsys, *(common + extra + ["--output", str(tmp_path / kind)]))
        assert status == 0, err
    assert files(str(tmp_path / "cluster")) == files(str(tmp_path / "threaded"))
    assert "at most 3 at once" in out
    # The workers' logger is left as the jobs found it.
    assert set(client.run(lambda: logging.getLogger("tarvix").level).values()) == {logging.NOTSET}

    # Placed by site: worker wN offers site-labN; no worker has lab3's.
    with open(os.path.join(lab, "hosts.yaml"), "a") as out:
        out.write("far:\n  data: {site: lab3}\n")
    client.get_task_stream()  # the scheduler records from now on
    began = time.time()
    status, out, err = tarvix_run(capsys, *(common + ["--scheduler", address, "--site-resource", "site"]))
    assert status == 1
    assert by_host(out) == {"r1": ("ok", ""), "r2": ("ok", ""), "r3": ("ok", ""), "far": (
        "failed", 'no worker of the cluster offers the resource site-lab3 (dask worker --resources "site-lab3=N")')}
    names = {address: worker["name"] for address, worker in client.scheduler_info()["workers"].items()}
    placed = {entry["key"].split("-")[2]: names[entry["worker"]] for entry in client.get_task_stream(start=began)}
    assert placed == {"r1": "w1", "r2": "w2", "r3": "w1"}

    # Passwords are not sent over plain tcp:// off this machine, those of a
    # start command included, unless allowed; TLS options go whole, with
    # tls://; each refusal is one line.
    pem = str(tmp_path / "c.pem")
    open(pem, "w").close()
    for extra, told in ((["--scheduler", "tls://192.0.2.7:8786"], "give --tls-ca-file, --tls-cert and --tls-key"),
                        (["--scheduler", address, "--tls-cert", pem], "go together"),
                        (["--scheduler", address] + [arg for option in ("--tls-ca-file", "--tls-cert", "--tls-key")
                                                     for arg in (option, pem)], "go with a tls:// scheduler")):
        status, out, err = tarvix_run(capsys, *(common + extra))
        assert status == 2 and told in err and err.count("\n") == 1, err
    far = ["--scheduler", address]
    monkeypatch.setattr(dask_cluster, "is_loopback", lambda address: False)  # as if off this machine
    status, out, err = tarvix_run(capsys, *(common + far))
    assert status == 2 and err.count("\n") == 1 and "tls://" in err and PASSWORD not in err
    for name, extras in (("s2", "{start: sshpass -p Hunter2pw ssh s2}"),
                         ("j2", "{ssh: {jump: [{host: b1, password: Hunter3pw}]}}")):
        spawned = inventory(str(tmp_path / name), {"s1": []})
        os.remove(os.path.join(spawned, "defaults.yaml"))
        with open(os.path.join(spawned, "hosts.yaml"), "a") as out:
            out.write("%s:\n  connection_options:\n    tarvix:\n      extras: %s\n" % (name, extras))
        status, out, err = tarvix_run(capsys, "--inventory", spawned, "--execute", "show version", *far)
        assert status == 2 and "tls://" in err and "Hunter" not in err, (name, err)
    plain = inventory(str(tmp_path / "plain"), {"p1": []})
    status, out, err = tarvix_run(capsys, "--inventory", plain, "--execute", "show version", "--output",
                                  str(tmp_path / "allowed"), "--allow-plaintext-scheduler", *far)
    assert status == 0 and os.listdir(str(tmp_path / "allowed")) == ["p1.txt"], err
    monkeypatch.undo()
    with monkeypatch.context() as patch:
        patch.setattr(dask_cluster, "CONNECT_TIMEOUT", 1.0)
        status, out, err = tarvix_run(capsys, *(common + ["--scheduler", "tcp://127.0.0.1:%d" % free_port()]))
    assert status == 1 and err.startswith("error: cannot reach the Dask scheduler at tcp://127.0.0.1:")
    assert err.count("\n") == 1 and not out
    # Workers reached over plain tcp:// off this machine are refused too.
    fake = type("Client", (), {"scheduler_info": lambda self: {"workers": {"tcp://10.1.2.3:4000": {},
                                                                            "tcp://127.0.0.1:4001": {}}}})()
    with pytest.raises(dask_cluster.ClusterError, match="tcp://10.1.2.3:4000"):
        dask_cluster.check_workers(fake, True)
    dask_cluster.check_workers(fake, True, allow_plaintext=True)

    # Ctrl-C: the hosts in flight (the 4 worker threads hang on h1..h4)
    # are ended, those not begun cancelled.
    hang = ["--hang", "hostname lab", "--hostname", "hang-" + token]
    lab = inventory(str(tmp_path / "hang"), dict({"h%d" % n: hang for n in range(1, 5)},
                                                 **{"q%d" % n: [] for n in range(1, 5)}))
    command = [sys.executable, "-m", "tarvix", "run", "--inventory", lab, "--execute", "show version",
               "--configure", "hostname lab", "--scheduler", address]
    with started(command + ["--output", str(tmp_path / "stopped")]) as run:
        wait_for(lambda: len(simulators_running(token)) == 4, run)
        run.send_signal(signal.SIGINT)
        stdout, stderr = run.communicate(timeout=30)
    assert run.returncode == 130, stderr
    assert "interrupted (SIGINT)" in stderr and "Traceback" not in stderr
    rows = by_host(stdout)
    not_begun = ("interrupted", "not begun: the run was interrupted before it began")
    assert [rows["h%d" % n][0] for n in range(1, 5)] == ["interrupted"] * 4
    assert all(rows["q%d" % n] in (not_begun, ("ok", "")) for n in range(1, 5)) and not_begun in rows.values()
    wait_for(lambda: not simulators_running(token))

    # A worker killed under a host in its configuration, the scheduler
    # left to its default (it hands the lost tasks to the other worker):
    # the hosts it had begun fail with what they had done and were doing,
    # at once, and are not run again; the others complete.
    def configuring(host="h"):
        for marks in (client.get_metadata([dask_cluster.PREFIX], None) or {}).values():
            for name, mark in marks.items():
                if name.startswith(host) and (mark.get("doing") or "").startswith("configuration"):
                    return mark["worker"]
        return None

    with started(command + ["--output", str(tmp_path / "killed"), "--timeout", "4", "--json"]) as run:
        wait_for(configuring, run)
        victim = configuring()
        workers.pop(victim).kill()
        stdout, stderr = run.communicate(timeout=60)
    assert run.returncode == 1, stderr
    hosts = {host["name"]: host for host in json.loads(stdout)["hosts"]}
    lost = [host for host in hosts.values() if "Dask worker working it was lost (worker %s)" % victim in
            (host["error"] or "")]
    # The other host it worked may not have reached its configuration.
    assert all(host["status"] == "failed" and "; done on the device: %s;" % (", ".join(host["done"]) or "nothing known")
               in host["error"] for host in lost), stdout
    assert any(host["done"] == ["show version"] and "; in progress: configuration of 1 line(s)" in host["error"]
               for host in lost), stdout
    assert [hosts["q%d" % n]["status"] for n in range(1, 5)] == ["ok"] * 4, stdout
    assert b"q4 uptime is" in read(tmp_path / "killed" / "q4.txt", "rb")
    wait_for(lambda: not simulators_running(token))

    # Dask logs a task that raises with its arguments: they are sealed.
    future = client.submit(dask_cluster.call_sealed, dask_cluster.Sealed(explode, PASSWORD), pure=False)
    with pytest.raises(ValueError):
        future.result(timeout=30)

    # The last worker lost: the hosts it had begun fail as lost, those
    # waiting for a worker fail once none came in their time.
    monkeypatch.setattr(dask_collect, "NO_WORKER_GRACE", 0.5)
    (survivor,) = workers.values()
    killer = threading.Thread(target=lambda: wait_for(configuring) or survivor.kill())
    killer.start()
    status, out, err = tarvix_run(capsys, *(command[4:] + ["--json"]))
    killer.join(timeout=30)
    hosts = {host["name"]: host for host in json.loads(out)["hosts"]}
    lost = [name for name, host in hosts.items() if "Dask worker working it was lost" in (host["error"] or "")]
    left = [name for name, host in hosts.items() if host["error"] == dask_collect.NO_WORKER]
    # The worker's 2 threads work hosts that hang: those are lost (one may
    # have been between two hosts).
    assert status == 1 and 1 <= len(lost) <= 2 and sorted(lost + left) == sorted(hosts), out
    wait_for(lambda: not simulators_running(token))

    # A host's task begins only while its run is open: an attempt that
    # comes to a worker after its run ended does nothing.
    def begin():
        return client.run_on_scheduler(dask_marks._begin_mark, "ended-" + token, "x", {"worker": None})

    assert begin() == dask_marks.ENDED
    client.run_on_scheduler(dask_marks.open_run, "ended-" + token)
    assert begin() is None and begin() == {"worker": None}
    dask_collect.forget(client, "ended-" + token)
    assert begin() == dask_marks.ENDED

    # The scheduler lost: the hosts waiting are told so, not "not begun",
    # in one table, and nothing more on stderr.
    with started(command + ["--json"]) as run:
        wait_for(lambda: client.run_on_scheduler(
            lambda dask_scheduler: len(dask_scheduler.unrunnable) + len(dask_scheduler.queued)), run)
        scheduler.kill()
        stdout, stderr = run.communicate(timeout=60)
    assert run.returncode == 1 and "Traceback" not in stderr and "ERROR" not in stderr, stderr
    assert {host["error"] for host in json.loads(stdout)["hosts"]} == {dask_collect.LOST_SCHEDULER}
    for log in os.listdir(str(logs)):
        assert PASSWORD not in read(logs / log)
    assert "Compute Failed" in "".join(read(logs / log) for log in os.listdir(str(logs)))


@contextlib.contextmanager
def started(command):
    """A command started, killed if still running on leaving."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    try:
        yield process
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate(timeout=30)


def wait_for(condition, process=None, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition():
        assert process is None or process.poll() is None, process.communicate()
        assert time.monotonic() < deadline, "not in %d s" % seconds
        time.sleep(0.2)


def test_a_result_lost_after_its_task_ended_is_waited_for_not_blocked_on():
    # A future handed back as ended can lose its result with its worker
    # before it is read: it goes back to the futures waited for (the check
    # then tells the host's end), and nothing blocks on it.
    from tarvix.nornir import dask_collect

    class Future(object):
        def __init__(self, status):
            self.status = status

        def exception(self):
            assert self.status == "error", "waits for a result that went with its worker"
            return ValueError("refused")

    for status in ("lost", "pending"):
        assert dask_collect._outcome(None, "run", ["h1"], Future(status))[0] is dask_collect._NOT_YET
    outcomes, again = dask_collect._outcome(None, "run", ["h1", "h2"], Future("error"))
    assert {name: (value, str(error)) for name, (value, error) in outcomes.items()} == {
        "h1": (None, "refused"), "h2": (None, "refused")} and not again


@pytest.mark.slow
def test_a_local_cluster_starts_no_dashboard():
    import warnings

    from tarvix.nornir import dask_cluster

    with socket.socket() as taken:
        try:
            taken.bind(("127.0.0.1", 8787))
            taken.listen(1)
        except OSError:
            pass  # taken already
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with dask_cluster.Cluster(workers=1) as client:
                # (Its HTTP routes are named "dashboard" whether or not it is one.)
                assert client.nthreads() and client.scheduler_info()["services"].get("dashboard") != 8787
    assert not [str(warning.message) for warning in caught if "8787" in str(warning.message)]


NORNIR_ON = """import sys
from nornir import InitNornir
nr = InitNornir(runner={"plugin": "tarvix_dask", "options": {"scheduler": sys.argv[2]}}, logging={"enabled": False},
                inventory={"plugin": "SimpleInventory", "options": {"host_file": sys.argv[1] + "/hosts.yaml",
                                                                    "defaults_file": sys.argv[1] + "/defaults.yaml"}})
nr.run(task=lambda task: None)
"""


def test_the_cluster_is_told_of_every_password_that_is_masked():
    """One walk gathers the passwords to mask and tells whether the tasks'
    data holds any: a group's group's, a jump host's written as
    "user:pw@host", a start command's."""
    from nornir.core.inventory import ConnectionOptions, Defaults, Group, Host, ParentGroups

    from tarvix.fleet.passwords import hosts_secrets
    from tarvix.nornir import dask_cluster

    defaults = Defaults()
    outer = Group("outer", connection_options={"tarvix": ConnectionOptions(password="Nested-pw-1")},
                  defaults=defaults)
    inner = Group("inner", groups=ParentGroups([outer]), defaults=defaults)
    for extras, groups, found in ((None, [], set()), (None, [inner], {"Nested-pw-1"}),
                                  ({"ssh": {"jump": "adm:Hop-pw-2@b1"}}, [], {"Hop-pw-2"}),
                                  ({"start": "sshpass -p Start-pw-3 ssh r1"}, [], {"Start-pw-3"})):
        options = {"tarvix": ConnectionOptions(extras=extras)} if extras else {}
        host = Host("r1", groups=ParentGroups(groups), defaults=defaults, connection_options=options)
        assert (hosts_secrets([host]), dask_cluster.has_secrets([host])) == (found, bool(found))


@pytest.mark.parametrize("command, address, told", [
    ("run", "udp://127.0.0.1:9", "error: udp://127.0.0.1:9 is not a scheduler address: udp:// is none of"),
    ("run", "garbage", "error: garbage is not a scheduler address: give tcp://HOST:PORT"),
    ("nornir", "udp://127.0.0.1:9", "ClusterError: udp://127.0.0.1:9 is not a scheduler address"),
])
def test_what_is_no_scheduler_address_is_one_line(tmp_path, command, address, told):
    lab = inventory(str(tmp_path / "lab"), {"r1": []})
    argv = ["-m", "tarvix", "run", "--inventory", lab, "--execute", "show clock", "--scheduler", address] \
        if command == "run" else ["-c", NORNIR_ON, lab, address]
    # (A client that fails halfway hangs the process's exit for 40 s.)
    done = subprocess.run([sys.executable] + argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=30)
    lines = done.stderr.splitlines()
    assert done.returncode == (2 if command == "run" else 1) and told in lines[-1], done.stderr
    assert "Exception ignored" not in done.stderr and (command == "nornir" or len(lines) == 1), done.stderr


@pytest.mark.slow
def test_workers_is_the_most_devices_at_once_on_a_cluster_too(tmp_path, capsys):
    from tarvix.fleet.simulate import write_fleet
    from tarvix.simulator import server

    if not server.available():
        pytest.skip(server.NEEDS_ASYNCSSH)
    names = ["sim-r%02d" % number for number in range(1, 5)]
    routers = [{"hostname": name, "password": PASSWORD, "options": ["--reply-delay", "0.3"]} for name in names]
    with server.serving(routers) as running:
        lab = str(tmp_path / "lab")
        write_fleet(lab, 4, ssh_ports=[running.ports[name][0] for name in names], password=PASSWORD)
        status, out, err = tarvix_run(capsys, "--inventory", lab, "--execute", "show version", "--workers", "1",
                                      "--cluster", "local:2", "--json")
        assert status == 0, err
        assert running.most_sessions == 1
        assert json.loads(out)["workers"] == 1 and json.loads(out)["ok"] == 4


class _FakeScheduler(object):
    def __init__(self):
        self.task_metadata = {}
        self.plugins = {}
        self.workers = {}
        self.tasks = {}
        self.handlers = {}
        self.stream_handlers = {}
        self.client_comms = {}

    def add_plugin(self, plugin, name=None, idempotent=False):
        self.plugins[name] = plugin


class _FakeClient(object):
    """What the collecting of a run asks of its client, the scheduler's
    functions run on a fake scheduler."""
    status = "running"

    def __init__(self):
        self.scheduler = _FakeScheduler()
        self.cancelled = []

    def run_on_scheduler(self, function, *arguments):
        return function(*arguments, dask_scheduler=self.scheduler)

    def get_metadata(self, keys, default=None):
        value = self.scheduler.task_metadata
        for key in keys:
            if key not in value:
                return default
            value = value[key]
        return value

    def cancel(self, futures):
        self.cancelled.extend(futures)

    def run(self, *arguments):
        pass


class _FakeFuture(object):
    def __init__(self, status, value=None, error=None):
        self.status, self.value, self.error, self.key = status, value, error, id(self)

    def exception(self):
        return self.error

    def result(self, timeout=None):
        return self.value

    def release(self):
        pass

    def done(self):
        return self.status != "pending"


def test_a_group_whose_worker_is_lost_keeps_its_sent_reports_fails_its_begun_hosts_and_sends_on_the_others():
    # A task works its hosts one after another, each host's report sent on
    # as it ends: lost with its worker, the hosts whose reports came keep
    # them, those it had begun fail with their marks (as far as the events
    # said), those it had not are one task sent again.
    from distributed.scheduler import KilledWorker

    from tarvix.nornir import dask_collect, dask_marks

    client, told, sent = _FakeClient(), {}, []
    client.run_on_scheduler(dask_marks.open_run, "run")
    notes = client.scheduler.plugins[dask_marks._Notes.name]
    client.scheduler.tasks["t"] = type("Task", (), {"state": "processing"})()
    for name in ("h0", "h1", "h4"):
        assert client.run_on_scheduler(dask_marks._begin_mark, "run", name,
                                       {"worker": "w1", "done": [], "key": "t"}) is None
    notes.log_event(dask_marks.NOTES, {"run": "run", "name": "h1", "done": ["show version"], "doing": "configuration"})
    # h0's report came; h4's was sent on by the scheduler and never came.
    heard = []
    client.scheduler.client_comms["c1"] = type("Comm", (), {"send": lambda self, message: heard.append(message)})()
    for name in ("h0", "h4"):
        client.scheduler.stream_handlers[dask_marks.REPORT](run="run", name=name, client="c1",
                                                           value=pickle.dumps({"report": name}))
    assert sorted(dask_collect._stuck("run", dask_scheduler=client.scheduler)[0]) == ["h1"]
    killed = _FakeFuture("error", error=KilledWorker("t", "w1", 0))
    state = dask_collect._Collecting(client, "run", {killed: ("h0", "h1", "h2", "h3", "h4")},
                                     lambda names: sent.append(names) or _FakeFuture("pending"),
                                     lambda name, value, error: told.setdefault(name, (value, error)), None)
    state.ended = type("Ended", (), {"add": lambda self, future: None})()
    state.inbox.append(heard[0]["event"][1])
    state.take(killed, True)
    assert sent == [("h2", "h3")] and sorted(told) == ["h0", "h1", "h4"], (sent, told)
    assert told["h0"] == ({"report": "h0"}, None)
    assert "its report did not come back" in str(told["h4"][1])
    assert told["h1"][1].done == ["show version"] and "in progress: configuration" in str(told["h1"][1])


def test_an_interrupt_closes_the_run_so_no_host_begins_after_the_look():
    # The hosts begun are read in the same step that closes the run: one
    # whose task comes to begin later is refused, so "not begun" is true.
    from tarvix.nornir import dask_collect, dask_marks

    client, told = _FakeClient(), {}
    client.run_on_scheduler(dask_marks.open_run, "run")
    client.run_on_scheduler(dask_marks._begin_mark, "run", "h1", {"worker": None})
    both, idle = _FakeFuture("pending"), _FakeFuture("pending")
    state = dask_collect._Collecting(client, "run", {both: ("h1", "h2"), idle: ("h3",)}, None,
                                     lambda name, value, error: told.setdefault(name, (value, error)), None)
    state.interrupt()
    assert told == {"h2": (None, None), "h3": (None, None)} and client.cancelled == [idle]
    assert client.run_on_scheduler(dask_marks._begin_mark, "run", "h2", {"worker": None}) == dask_marks.INTERRUPTED
    # The group's result tells its begun host; the other is not told twice.
    both.status, both.value = "finished", [("h1", "ok"), ("h2", "not begun")]
    state.take(both, False)
    assert told["h1"] == ("ok", None) and told["h2"] == (None, None)


def test_closing_connections_closes_the_drivers_own_and_starts_no_cluster(monkeypatch):
    # The workers close their hosts' connections as each task ends; those
    # left are the driver's, closed here without a cluster started for it.
    from nornir.core import Nornir
    from nornir.core.inventory import Host, Hosts, Inventory

    from tarvix.nornir import dask_runner

    monkeypatch.setattr(dask_runner, "Cluster", lambda *args: pytest.fail("a cluster started to close connections"))
    closed = []
    host = Host("r1")
    host.connections["tarvix"] = type("Link", (), {"close": lambda self: closed.append("r1")})()
    Nornir(inventory=Inventory(hosts=Hosts({"r1": host})), runner=dask_runner.DaskRunner()).close_connections()
    assert closed == ["r1"] and not host.connections
