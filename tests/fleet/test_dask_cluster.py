"""Runs on a Dask cluster: a local one of 2 worker processes, and a real
scheduler with 2 workers started here as processes of their own."""
import json
import os
import signal
import socket
import subprocess
import sys
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


def files(folder):
    return {name: open(os.path.join(folder, name), "rb").read() for name in sorted(os.listdir(folder))}


def tarvix_run(capsys, *options):
    try:
        status = main(["run"] + list(options))
    except SystemExit as error:  # an option unknown
        status = error.code
    out, err = capsys.readouterr()
    return status, out, err


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """A `dask scheduler` and 2 `dask worker` processes on 127.0.0.1 (no
    nanny: a worker killed stays dead); yields (address, client, worker
    processes by address, log directory)."""
    if not os.path.exists(DASK):
        pytest.skip("no dask command beside the interpreter")
    logs = tmp_path_factory.mktemp("dask-logs")
    address = "tcp://127.0.0.1:%d" % free_port()
    processes = []
    # The tasks of this module are run there as a script's would be: its
    # folder is on their path.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(__file__)] + env.get("PYTHONPATH", "").split(os.pathsep))
    # A task of a worker lost fails at once (KilledWorker), as on the local
    # cluster: a scheduler's default hands it to another worker instead.
    env["DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES"] = "0"

    def start(name, *argv):
        log = open(str(logs / (name + ".log")), "w")
        processes.append(subprocess.Popen([DASK] + list(argv), stdout=log, stderr=subprocess.STDOUT, env=env))
        log.close()

    client = None
    try:
        start("scheduler", "scheduler", "--host", "127.0.0.1", "--port", address.rsplit(":", 1)[1],
              "--no-dashboard", "--no-show")
        for number in (1, 2):
            start("worker%d" % number, "worker", address, "--host", "127.0.0.1", "--nthreads", "2",
                  "--no-nanny", "--no-dashboard", "--name", "w%d" % number, "--resources", "site-lab%d=100" % number)
        client = distributed.Client(address, timeout=60, set_as_default=False)
        client.wait_for_workers(2, timeout=60)
        pids = client.run(os.getpid)
        workers = {worker: next(p for p in processes if p.pid == pid) for worker, pid in pids.items()}
        yield address, client, workers, logs
    finally:
        if client is not None:
            client.close()
        for process in reversed(processes):
            if process.poll() is None:
                process.terminate()
        for process in processes:
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=5)


def keys_seen(client):
    """Every task key the scheduler has logged a transition of."""
    return client.run_on_scheduler(lambda dask_scheduler: [str(entry[0]) for entry in dask_scheduler.transition_log])


@pytest.mark.slow
def test_local_cluster_run_matches_threaded_run(tmp_path, capsys):
    lab = inventory(str(tmp_path / "lab"), {"r1": [], "r2": [], "r3": ["--reject", "hostname lab"], "r4": []})
    common = ["--inventory", lab, "--execute", "show version", "--configure", "hostname lab"]
    documents = {}
    for kind, extra in (("threaded", []), ("cluster", ["--cluster", "local:2", "--verbose"])):
        status, out, err = tarvix_run(capsys, *(common + extra + ["--output", str(tmp_path / kind / "out"),
                                                                   "--session-log", str(tmp_path / kind / "logs"),
                                                                   "--json"]))
        assert status == 1, err
        documents[kind] = json.loads(out)
        for host in documents[kind]["hosts"]:
            host.pop("seconds")
        documents[kind].pop("seconds")
    # The workers' log records are told here.
    assert "the start command of the extras" in err and PASSWORD not in err
    assert documents["cluster"] == documents["threaded"]
    assert [host["status"] for host in documents["cluster"]["hosts"]] == ["ok", "ok", "failed", "ok"]
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

    address, client, workers, logs = cluster
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
                    r.host is nr.inventory.hosts[name]) for r in multi]
            for name, multi in results.items()}
        if runner["plugin"] == "tarvix_dask":  # those of the threaded runner stay open here
            assert all(not host.connections for host in nr.inventory.hosts.values())
    assert outcomes["tarvix_dask"] == outcomes["threaded"]
    assert [entry[:3] for entry in outcomes["tarvix_dask"]["r1"]] == [
        ("grouped", False, True), ("tarvix_execute", False, False), ("tarvix_execute", False, False)]
    assert outcomes["tarvix_dask"]["r2"][0][1] and outcomes["tarvix_dask"]["r2"][2][4] == "CommandError"
    keys = keys_seen(client)
    assert any("grouped-r2-" in key for key in keys) and not any(PASSWORD in key for key in keys)


def by_host(stdout):
    rows = {}
    for line in stdout.splitlines()[1:]:
        parts = line.split(None, 3)
        if len(parts) >= 3 and parts[1] in ("ok", "failed", "interrupted", "unsaved"):
            rows[parts[0]] = (parts[1], parts[3] if len(parts) > 3 else "")
    return rows


@pytest.mark.slow
def test_run_on_a_scheduler_and_its_faults(cluster, tmp_path, capsys, monkeypatch, simulators_running):
    from tarvix.nornir import dask_runner

    address, client, workers, logs = cluster
    token = tmp_path.name
    lab = inventory(str(tmp_path / "lab"), {"r1": [], "r2": [], "r3": []})
    common = ["--inventory", lab, "--execute", "show version", "--configure", "hostname lab"]
    for kind, extra in (("threaded", []), ("cluster", ["--scheduler", address])):
        status, out, err = tarvix_run(capsys, *(common + extra + ["--output", str(tmp_path / kind)]))
        assert status == 0, err
    assert files(str(tmp_path / "cluster")) == files(str(tmp_path / "threaded"))
    assert not any(PASSWORD in key for key in keys_seen(client))

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

    # Passwords are not sent over plain tcp:// off this machine; nothing
    # listening is one line.
    status, out, err = tarvix_run(capsys, *(common + ["--scheduler", "tcp://192.0.2.7:8786"]))
    assert status == 2 and err.count("\n") == 1 and "tls://" in err and PASSWORD not in err
    status, out, err = tarvix_run(capsys, *(common + ["--scheduler", "tls://192.0.2.7:8786"]))
    assert status == 2 and "give --tls-ca-file, --tls-cert and --tls-key" in err
    monkeypatch.setattr(dask_runner, "CONNECT_TIMEOUT", 1.0)
    status, out, err = tarvix_run(capsys, *(common + ["--scheduler", "tcp://127.0.0.1:%d" % free_port()]))
    assert status == 1 and err.startswith("error: cannot reach the Dask scheduler at tcp://127.0.0.1:")
    assert err.count("\n") == 1 and not out

    # Ctrl-C: the hosts in flight (the 4 worker threads hang on h1..h4)
    # are ended, those not begun cancelled.
    hang = ["--hang", "hostname lab", "--hostname", "hang-" + token]
    lab = inventory(str(tmp_path / "hang"), dict({"h%d" % n: hang for n in range(1, 5)},
                                                 **{"q%d" % n: [] for n in range(1, 5)}))
    command = [sys.executable, "-m", "tarvix", "run", "--inventory", lab, "--execute", "show version",
               "--configure", "hostname lab", "--scheduler", address, "--workers", "4"]
    run = subprocess.Popen(command + ["--output", str(tmp_path / "stopped")], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, universal_newlines=True)
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

    # A worker killed under a host in its configuration: that host fails
    # with what it had done and was doing, and is not run again elsewhere;
    # the others complete.
    run = subprocess.Popen(command + ["--output", str(tmp_path / "killed"), "--timeout", "4"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)

    def configuring():
        for marks in (client.get_metadata([dask_runner.PREFIX], None) or {}).values():
            if ((marks.get("h1") or {}).get("doing") or "").startswith("configuration"):
                return True
        return False

    wait_for(configuring, run)
    victim = next(worker for worker, keys in client.processing().items() if any("-h1-" in key for key in keys))
    workers[victim].kill()
    stdout, stderr = run.communicate(timeout=60)
    assert run.returncode == 1, stderr
    rows = by_host(stdout)
    assert rows["h1"][0] == "failed" and "Dask worker working it was lost" in rows["h1"][1]
    assert "done on the device: show version; in progress: configuration of 1 line(s)" in rows["h1"][1]
    assert [rows["q%d" % n][0] for n in range(1, 5)] == ["ok"] * 4, stdout
    assert b"q4 uptime is" in open(str(tmp_path / "killed" / "q4.txt"), "rb").read()
    wait_for(lambda: not simulators_running(token))
    # A scheduler that hands a lost worker's task to another one: the task
    # finds its mark there and fails instead of running again.
    mark = ["test", token]
    assert client.submit(dask_runner.begin, *mark, pure=False).result(timeout=30) is None
    again = client.submit(dask_runner.begin, *mark, pure=False).result(timeout=30)
    assert again.startswith("the Dask worker working it was lost") and again.endswith("; not run again")
    for log in os.listdir(str(logs)):
        assert PASSWORD not in open(str(logs / log)).read()


def wait_for(condition, process=None, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition():
        assert process is None or process.poll() is None, process.communicate()
        assert time.monotonic() < deadline, "not in %d s" % seconds
        time.sleep(0.2)
