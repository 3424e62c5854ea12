"""The Nornir connection plugin and tasks, and ``tarvix run`` over an
inventory of bundled-simulator devices (``tarvix simulate --fleet``)."""
import os
import socket

import pytest

pytest.importorskip("nornir")
pytest.importorskip("rich")

from nornir import InitNornir  # noqa: E402

from tarvix import simulator  # noqa: E402
from tarvix.cli import main  # noqa: E402
from tarvix.core.errors import CommandError, TemplateNotFoundError  # noqa: E402
from tarvix.fleet.simulate import write_fleet  # noqa: E402
from tarvix.nornir import TarvixConnection, tarvix_configure, tarvix_execute  # noqa: E402


def add_host(directory, name, *options):
    """Adds a simulated host whose console takes ``options``."""
    with open(os.path.join(directory, "hosts.yaml"), "a") as out:
        out.write("%s:\n  hostname: %s\n  groups: [simulated]\n  data:\n    site: lab9\n"
                  "  connection_options:\n    tarvix:\n      extras:\n        start: \"%s\"\n"
                  % (name, name, simulator.command(name, *options)))


def nornir(directory):
    return InitNornir(runner={"plugin": "threaded", "options": {"num_workers": 3}},
                      inventory={"plugin": "SimpleInventory",
                                 "options": {"host_file": os.path.join(directory, "hosts.yaml"),
                                             "group_file": os.path.join(directory, "groups.yaml"),
                                             "defaults_file": os.path.join(directory, "defaults.yaml")}},
                      logging={"enabled": False})


def test_plugin_and_tasks_on_simulated_devices(tmp_path):
    write_fleet(str(tmp_path), 2)
    add_host(str(tmp_path), "sim-bad", "--reject", "show clock")
    nr = nornir(str(tmp_path))
    try:
        clock = nr.run(task=tarvix_execute, command="show clock")
        assert sorted(clock.failed_hosts) == ["sim-bad"]
        assert all(" UTC " in clock[name][0].result for name in ("sim-r01", "sim-r02"))
        bad = clock["sim-bad"][0]
        assert isinstance(bad.exception, CommandError)
        assert "sim-bad: % Invalid input detected at '^' marker." in bad.result

        host = nr.inventory.hosts["sim-r01"]
        plugin = host.connections["tarvix"]
        assert isinstance(plugin, TarvixConnection)
        con = host.get_connection("tarvix", nr.config)
        assert con is plugin.connection and con.connected and con.learned_hostname == "sim-r01"

        configured = nr.filter(name="sim-r01").run(task=tarvix_configure,
                                                   lines=["interface lo1", " description from nornir"])
        assert configured["sim-r01"][0].changed and not configured.failed
        running = nr.filter(name="sim-r01").run(task=tarvix_execute, command="show running-config")
        assert " description from nornir" in running["sim-r01"][0].result.splitlines()
        pids = [h.connections["tarvix"].connection.spawn.pid for h in nr.inventory.hosts.values()
                if "tarvix" in h.connections]
        assert len(pids) == 3
    finally:
        nr.close_connections(on_failed=True)
    assert not con.connected
    for pid in pids:
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)


def test_execute_parsed(tmp_path):
    pytest.importorskip("ntc_templates")
    write_fleet(str(tmp_path), 1)
    nr = nornir(str(tmp_path))
    try:
        parsed = nr.run(task=tarvix_execute, command="show ip interface brief", parse=True)["sim-r01"][0]
        assert parsed.result[0]["interface"] == "GigabitEthernet0/0"
        unparsed = nr.run(task=tarvix_execute, command="show running-config", parse=True)["sim-r01"][0]
        assert isinstance(unparsed.exception, TemplateNotFoundError) and "show running-config" in unparsed.result
    finally:
        nr.close_connections(on_failed=True)


def test_run_on_a_simulated_fleet(tmp_path, capsys):
    fleet, out = str(tmp_path / "fleet"), str(tmp_path / "out")
    assert main(["simulate", "--fleet", "5", fleet]) == 0
    capsys.readouterr()
    assert main(["run", "--inventory", fleet, "--execute", "show clock", "--execute", "show version",
                 "--workers", "3", "--output", out, "--session-log", str(tmp_path / "logs")]) == 0
    captured = capsys.readouterr()
    table = captured.out.splitlines()
    assert len(table) == 8, captured
    assert table[0].split() == ["device", "status", "seconds", "result"]
    assert [line.split()[:2] for line in table[1:6]] == [["sim-r%02d" % n, "ok"] for n in range(1, 6)]
    assert "5 device(s): 5 ok, 0 failed" in captured.out
    # Not a terminal: a plain line per device.
    assert len([line for line in captured.err.splitlines() if ": ok in " in line]) == 5
    assert sorted(os.listdir(out)) == ["sim-r%02d.txt" % n for n in range(1, 6)]
    with open(os.path.join(out, "sim-r04.txt")) as text:
        lines = text.read().splitlines()
    assert lines[0] == "--- show clock" and " UTC " in lines[1]
    assert "--- show version" in lines and "sim-r04 uptime is 0 minutes" in lines

    with open(str(tmp_path / "logs" / "sim-r04.log")) as log:
        assert "sim-r04#show version" in log.read()

    add_host(fleet, "sim-bad", "--reject", "show clock")
    # The filters: site lab1 is sim-r01, r03, r05; plus the failing host by name.
    assert main(["run", "--inventory", fleet, "--where", "site=lab1", "--execute", "show clock",
                 "--workers", "3", "--output", out]) == 0
    assert [line.split()[0] for line in capsys.readouterr().out.splitlines()[1:4]] == ["sim-r01", "sim-r03", "sim-r05"]
    assert main(["run", "--inventory", fleet, "--group", "simulated", "--name", "sim-bad", "--name", "sim-r02",
                 "--execute", "show clock", "--workers", "3", "--output", out]) == 1
    captured = capsys.readouterr()
    rows = [line.split(None, 3) for line in captured.out.splitlines()[1:]]
    assert [row[:2] for row in rows[:2]] == [["sim-bad", "failed"], ["sim-r02", "ok"]], captured
    assert rows[0][3] == "sim-bad: % Invalid input detected at '^' marker.; 'show clock' rejected"
    assert "2 device(s): 1 ok, 1 failed" in captured.out
    with open(os.path.join(out, "sim-bad.txt")) as text:
        assert "!!! failed: sim-bad: % Invalid input detected at '^' marker." in text.read()

    # A host reached by its address is named as the inventory names it.
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with open(os.path.join(fleet, "hosts.yaml"), "a") as hosts:
        hosts.write("edge-1:\n  hostname: 127.0.0.1\n  port: %d\n  groups: [simulated]\n" % port)
    assert main(["run", "--inventory", fleet, "--name", "edge-1", "--execute", "show clock"]) == 1
    row = capsys.readouterr().out.splitlines()[1].split(None, 3)
    assert row[:2] == ["edge-1", "failed"] and row[3].startswith("edge-1: ") and "refused" in row[3], row


@pytest.mark.parametrize("options, words", [
    ([], "nothing to run"),
    (["--execute", "show clock", "--workers", "0"], "--workers"),
    (["--execute", "show clock", "--where", "site"], "KEY=VALUE"),
    (["--execute", "show clock", "--name", "nowhere"], "no device"),
    (["--execute", "show clock\nshow version"], "--execute 'show clock\\nshow version': a line break"),
    (["--configure", "hostname x\r"], "--configure 'hostname x\\r': a line break"),
    (["--execute", "show clock", "--output", "{tmp}/hosts.yaml"], "hosts.yaml: a file is there, not a directory"),
])
def test_run_usage_errors(tmp_path, capsys, options, words):
    write_fleet(str(tmp_path), 1)
    options = [option.format(tmp=tmp_path) for option in options]
    assert main(["run", "--inventory", str(tmp_path)] + options) == 2
    err = capsys.readouterr().err
    assert words in err and len(err.splitlines()) == 1, err


HOST = "r1:\n  hostname: 127.0.0.1\n"


@pytest.mark.parametrize("files, words", [
    ({"hosts.yaml": "- r1\n- r2\n"}, "hosts.yaml: a mapping (KEY: VALUE lines) belongs there, not a list"),
    ({"groups.yaml": "- core\n"}, "groups.yaml: a mapping (KEY: VALUE lines) belongs there, not a list"),
    ({"defaults.yaml": "data: [1]\n"}, "defaults.yaml: data: a mapping"),
    ({"hosts.yaml": HOST + "  connection_options: [tarvix]\n"}, "host r1: connection_options: a mapping"),
    ({"hosts.yaml": HOST + "  connection_options: {tarvix: {extras: [a]}}\n"},
     "host r1: connection_options.tarvix.extras: a mapping"),
    ({"hosts.yaml": "r1:\nr2: {}\n"}, "host r1: nothing is given under it"),
    ({"hosts.yaml": HOST + "  port: abc\n"}, "host r1: port 'abc' is no port number"),
    ({"hosts.yaml": HOST + "  connection_options: {tarvix: {extras: {start: 42}}}\n"},
     "host r1: connection_options.tarvix.extras.start: a command line belongs there"),
    ({"hosts.yaml": HOST + "  connection_options: {tarvix: {extras: {ssh: {connect_timeout: abc}}}}\n"},
     "host r1: connection_options.tarvix.extras: ssh option connect_timeout: a number of seconds above 0"),
    ({"groups.yaml": "core:\n  connection_options: {tarvix: {extras: {ssh: {passphrase: 1234}}}}\n"},
     "group core: connection_options.tarvix.extras: ssh option passphrase: text belongs there"),
    # A password written into a URL or a jump host is refused, and not shown.
    ({"hosts.yaml": HOST + "  connection_options: {tarvix: {extras: {start: 'ssh://adm:Secret-1@r1'}}}\n"},
     "host r1: connection_options.tarvix.extras.start: an ssh start's password does not belong in its URL "
     "(ssh://adm:****@r1)"),
    ({"hosts.yaml": HOST + "  connection_options: {tarvix: {extras: {ssh: {jump: ['adm:Secret-2@b1']}}}}\n"},
     "host r1: connection_options.tarvix.extras: ssh option jump: a jump host's password does not belong in "
     "'adm:****@b1'"),
    ({"hosts.yaml": "'': {hostname: x}\n"}, "hosts.yaml: a host has an empty name"),
    ({"hosts.yaml": HOST + "  groups: [core]\n"}, "host r1: group 'core' is named but not defined in groups.yaml"),
    ({"hosts.yaml": HOST + " port: 22\n"}, "hosts.yaml, line 3: not valid YAML: "),
    # The value of a repeated key is not shown: it may be a password.
    ({"hosts.yaml": HOST + "  password: first-Secret\n  password: second-Secret\n"},
     'hosts.yaml, line 4: not valid YAML: found duplicate key "password"'),
])
def test_malformed_inventories_end_in_one_line(tmp_path, capsys, files, words):
    (tmp_path / "hosts.yaml").write_text(HOST)
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    assert main(["run", "--inventory", str(tmp_path), "--execute", "show clock"]) == 2
    err = capsys.readouterr().err
    assert err.startswith("error: ") and words in err and len(err.splitlines()) == 1, err
    assert "Secret" not in err


def test_simulate_keeps_an_inventory_unless_forced(tmp_path, capsys):
    hosts = tmp_path / "hosts.yaml"
    assert main(["simulate", "--fleet", "1", str(tmp_path)]) == 0
    hosts.write_text(hosts.read_text() + "# edited\n")
    assert main(["simulate", "--fleet", "2", str(tmp_path)]) == 2
    assert "--force" in capsys.readouterr().err.splitlines()[-1]
    assert hosts.read_text().endswith("# edited\n")
    assert main(["simulate", "--fleet", "2", "--force", str(tmp_path)]) == 0
    assert "sim-r02" in hosts.read_text() and "# edited" not in hosts.read_text()
    assert main(["simulate", "--fleet", "1", str(hosts)]) == 2
    assert capsys.readouterr().err.splitlines()[-1].endswith("hosts.yaml: a file is there, not a directory")


@pytest.mark.parametrize("chassis", ["single_rp", "dual_rp"])
def test_a_simulated_lab_keeps_its_configuration_across_runs(tmp_path, capsys, chassis):
    lab, out = str(tmp_path / "lab"), str(tmp_path / "out")
    assert main(["simulate", "--fleet", "2", "--chassis", chassis, lab]) == 0
    assert main(["run", "--inventory", lab, "--configure", "interface Loopback9"]) == 0
    assert main(["run", "--inventory", lab, "--execute", "show running-config", "--execute", "show redundancy",
                 "--output", out]) == 0
    for name in ("sim-r01", "sim-r02"):
        with open(os.path.join(out, name + ".txt")) as text:
            shown = text.read()
        assert "\ninterface Loopback9\n" in shown, shown
        assert ("peer state = 8  -STANDBY HOT" if chassis == "dual_rp" else "Redundancy Mode = simplex") in shown
    if chassis == "dual_rp":
        assert main(["simulate", "--fleet", "1", "--chassis", chassis, "--dialect", "eos", lab + "-eos"]) == 2
        assert capsys.readouterr().err.splitlines()[-1] == (
            "error: --chassis dual_rp: the eos platform has no dual-rp connection")


@pytest.mark.parametrize("in_process", [False, True])
@pytest.mark.parametrize("extras, checked", [({}, True), ({"host_key_checking": False}, False)])
def test_default_ssh_checks_host_keys_unless_told_not_to(monkeypatch, extras, checked, in_process):
    import tarvix.nornir.connection as plugin
    made = {}

    class Recorded(object):
        def __init__(self, **options):
            made.update(options)

        def connect(self):
            pass

    monkeypatch.setattr(plugin, "Connection", Recorded)
    monkeypatch.setattr(plugin.sshlink, "AVAILABLE", in_process)
    TarvixConnection().open("10.0.0.1", "admin", "pw", 2222, "ios", extras=dict(extras))
    start = made["start"]
    if in_process:
        assert start == "ssh://admin@10.0.0.1:2222"
        assert made["ssh"] == {"host_key_checking": checked}
        return
    assert ("StrictHostKeyChecking=accept-new" in start) == checked
    assert ("UserKnownHostsFile=/dev/null" in start) != checked
    assert start.startswith("ssh -p 2222 ") and start.endswith(" admin@10.0.0.1")


@pytest.mark.parametrize("in_process", [False, True])
def test_the_plugin_refuses_a_bad_ssh_option_before_connecting(monkeypatch, in_process):
    import tarvix.nornir.connection as plugin

    monkeypatch.setattr(plugin.sshlink, "AVAILABLE", in_process)
    with pytest.raises(ValueError, match="^127.0.0.1: ssh option keepalive: a number of seconds from 0"):
        TarvixConnection().open("127.0.0.1", "admin", "pw", 1, "ios", extras={"ssh": {"keepalive": "x"}})


@pytest.mark.slow
def test_interrupted_run_ends_without_the_hosts_not_begun(tmp_path):
    import signal
    import subprocess
    import sys
    import time
    (tmp_path / "lab").mkdir()
    (tmp_path / "lab" / "groups.yaml").write_text("simulated: {}\n")
    for number in range(8):
        add_host(str(tmp_path / "lab"), "slow%d" % number, "--reply-delay", "0.4")
    run = subprocess.Popen([sys.executable, "-m", "tarvix", "run", "--inventory", str(tmp_path / "lab"),
                            "--execute", "show clock", "--workers", "2"],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    time.sleep(1.5)
    run.send_signal(signal.SIGINT)
    began = time.monotonic()
    output = run.communicate(timeout=30)[0]
    assert run.returncode == 130, output
    assert "interrupted before it began" in output
    # Only the hosts begun before the interrupt are waited for.
    assert time.monotonic() - began < 8, output
