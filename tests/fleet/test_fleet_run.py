"""``tarvix run``: the files it writes, what it tells, and interrupts."""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("nornir")
pytest.importorskip("rich")

from tarvix import simulator  # noqa: E402
from tarvix.cli import main  # noqa: E402
from tarvix.fleet.simulate import write_fleet  # noqa: E402


def inventory(directory, hosts):
    """A hosts.yaml of simulated hosts: {name: (simulator options, extras)}."""
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "hosts.yaml"), "w") as out:
        for number, (name, (options, extras)) in enumerate(sorted(hosts.items())):
            extras = dict({"start": simulator.command("sim%d" % number, *options)}, **extras)
            out.write("%s:\n  connection_options:\n    tarvix:\n      extras: %s\n"
                      % (json.dumps(name), json.dumps(extras)))
    return directory


def test_hosts_never_share_a_file(tmp_path, capsys, monkeypatch):
    stems = {"a/b": "a%2Fb", "a_b": "a_b", "a b": "a%20b", "..": "%2E.", ".hidden": "%2Ehidden", "50%": "50%25"}
    lab = inventory(str(tmp_path / "lab"), {name: ([], {}) for name in stems})
    out, logs = str(tmp_path / "out"), str(tmp_path / "logs")
    assert main(["run", "--inventory", lab, "--execute", "show version", "--output", out, "--session-log", logs]) == 0
    capsys.readouterr()
    assert sorted(os.listdir(out)) == sorted(stem + ".txt" for stem in stems.values())
    assert sorted(os.listdir(logs)) == sorted(stem + ".log" for stem in stems.values())
    # Each file holds its own host's session (the simulators are numbered
    # in the order of the sorted names).
    for number, name in enumerate(sorted(stems)):
        with open(os.path.join(out, stems[name] + ".txt")) as text:
            assert "sim%d uptime is" % number in text.read()
        with open(os.path.join(logs, stems[name] + ".log")) as log:
            assert "sim%d#show version" % number in log.read()
    from tarvix.fleet.naming import STEM_LIMIT, file_stem
    long_names = ["x" * 300 + "1", "x" * 300 + "2"]
    assert len({file_stem(name) for name in long_names}) == 2
    assert all(len(file_stem(name)) == STEM_LIMIT for name in long_names)

    # Files that would be one are refused before anything connects: names
    # apart only in letter case where the file system folds case (this one
    # does not), and a dual-RP host's log against a host named like it.
    from tarvix.fleet import naming
    assert not naming._folds_case(str(tmp_path))
    monkeypatch.setattr(naming, "_folds_case", lambda folder: True)
    for hosts, option in [({"R1": ([], {}), "r1": ([], {})}, "--output"),
                          ({"r1": ([], {"chassis_type": "dual_rp"}), "r1.a": ([], {})}, "--session-log")]:
        lab = inventory(str(tmp_path / "clash"), hosts)
        target = str(tmp_path / ("clash-" + option.strip("-")))
        assert main(["run", "--inventory", lab, "--execute", "show clock", option, target]) == 2
        err = capsys.readouterr().err
        assert err.startswith("error: hosts 'R1' and 'r1' would write the same file" if option == "--output"
                              else "error: hosts 'r1' and 'r1.a' would write the same file"), err
        assert len(err.splitlines()) == 1 and not os.listdir(target)


def test_paths_are_checked_first_and_an_unwritten_output_is_told(tmp_path, capsys):
    fleet, out, logs = str(tmp_path / "fleet"), tmp_path / "out", tmp_path / "logs"
    write_fleet(fleet, 2)
    out.mkdir()
    (out / "sim-r02.txt").mkdir()
    command = ["run", "--inventory", fleet, "--execute", "show clock", "--configure", "hostname CHANGED",
               "--output", str(out), "--session-log", str(logs)]
    assert main(command) == 2
    err = capsys.readouterr().err
    assert err.startswith("error: --output: cannot write ") and "sim-r02.txt" in err, err
    # Nothing was connected, and nothing is left.
    assert os.listdir(str(logs)) == [] and os.listdir(str(out)) == ["sim-r02.txt"]

    # A write that fails once the device was worked: told with what was done.
    (out / "sim-r02.txt").rmdir()
    os.symlink("/dev/full", str(out / "sim-r01.txt"))
    assert main(command + ["--json"]) == 1
    captured = capsys.readouterr()
    hosts = {host["name"]: host for host in json.loads(captured.out)["hosts"]}
    assert hosts["sim-r02"]["status"] == "ok"
    unsaved = hosts["sim-r01"]
    assert unsaved["status"] == "unsaved" and unsaved["done"] == ["show clock", "1 configuration line(s)"]
    assert "No space left on device" in unsaved["error"]
    assert "done on the device: show clock, 1 configuration line(s)" in unsaved["error"]
    assert "sim-r01: unsaved in " in captured.err


def test_table_tells_the_cause_and_parsing_is_per_command(tmp_path, capsys):
    pytest.importorskip("ntc_templates")
    lab = inventory(str(tmp_path / "lab"), {"hung": (["--hang", "show clock"], {}), "r1": ([], {})})
    out = str(tmp_path / "out")
    assert main(["run", "--inventory", lab, "--execute", "show running-config", "--execute",
                 "show ip interface brief", "--execute", "show clock", "--timeout", "0.3", "--parse",
                 "--output", out]) == 1
    rows = {line.split()[0]: line for line in capsys.readouterr().out.splitlines()[1:3]}
    assert rows["hung"].endswith(": show clock; no prompt after 'show clock' within 0.3 s"), rows
    assert "warning: no template for the command 'show running-config'" in rows["r1"]
    with open(os.path.join(out, "r1.txt")) as text:
        written = text.read()
    assert "--- show running-config\nhostname sim1\n" in written
    assert "!!! warning: no template for the command 'show running-config'" in written
    assert '"interface": "GigabitEthernet0/0"' in written

    assert main(["run", "--inventory", lab, "--name", "r1", "--execute", "show running-config", "--execute",
                 "show ip interface brief", "--parse", "--json"]) == 0
    document = json.loads(capsys.readouterr().out)
    outputs = document["hosts"][0]["outputs"]
    assert [entry["command"] for entry in outputs] == ["show running-config", "show ip interface brief"]
    assert outputs[0]["output"].startswith("hostname sim1") and "no template" in outputs[0]["warning"]
    assert outputs[1]["output"][0]["interface"] == "GigabitEthernet0/0" and outputs[1]["warning"] is None
    assert document["ok"] == 1 and document["hosts"][0]["status"] == "ok"


@pytest.mark.slow
def test_interrupts_keep_what_was_done(tmp_path, simulators_running):
    token = tmp_path.name
    # Two workers: "a" finishes, "b" and "c" hang in flight, "d" and "e"
    # never begin.  The default command timeout (60 s) is not waited for.
    hang = ["--hang", "show clock", "--hostname", "hang-" + token]
    lab = inventory(str(tmp_path / "lab"), {"a": ([], {}), "b": (hang, {}), "c": (hang, {}),
                                            "d": ([], {}), "e": ([], {})})
    out = tmp_path / "out"
    command = [sys.executable, "-m", "tarvix", "run", "--inventory", lab, "--execute", "show version",
               "--execute", "show clock", "--workers", "2", "--output", str(out)]
    run = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    time.sleep(2.5)
    run.send_signal(signal.SIGTERM)
    stdout, stderr = run.communicate(timeout=30)
    assert run.returncode == 143, stderr
    assert "interrupted (SIGTERM): ending 2 device(s) in flight: b, c" in stderr
    status = {line.split()[0]: line.split()[1] for line in stdout.splitlines()[1:6]}
    assert status == {"a": "ok", "b": "interrupted", "c": "interrupted", "d": "interrupted", "e": "interrupted"}
    assert "5 device(s): 1 ok, 0 failed, 4 interrupted" in stdout
    assert "sim0 uptime is" in (out / "a.txt").read_text()
    # What a device in flight had done is kept, with the interruption.
    kept = (out / "b.txt").read_text()
    assert kept.startswith("--- show version\n") and "\n!!! interrupted: " in kept
    assert (out / "e.txt").read_text() == "!!! interrupted: not begun: the run was interrupted before it began\n"
    assert not simulators_running(token)

    # A device still connecting is ended at once too; a second interrupt
    # on its heels ends the run as it stands, without a traceback either.
    lab = inventory(str(tmp_path / "silent"), {"s": (["--silent", "--hostname", "silent-" + token], {})})
    for signals in (1, 2):
        run = subprocess.Popen(command[:5] + [lab] + command[6:], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               universal_newlines=True)
        time.sleep(1.5)
        for _ in range(signals):
            run.send_signal(signal.SIGINT)
        stdout, stderr = run.communicate(timeout=10)
        assert run.returncode == 130, stderr
        assert "Traceback" not in stderr and "Exception ignored" not in stderr
        if signals == 1:
            assert "interrupted (SIGINT): ending 1 device(s) in flight: s" in stderr
            assert stdout.splitlines()[1].split()[:2] == ["s", "interrupted"]
        assert not simulators_running(token)


def test_every_password_of_the_inventory_is_masked_from_the_first_host(tmp_path, capsys):
    # None of them is one the host run connects with: a group of no host
    # (its jump host's too), the defaults' extras (which the host's own
    # replace) and a host not run.
    token = tmp_path.name
    lab = inventory(str(tmp_path / "lab"), {"h1": ([], {}), "off": ([], {"start": "sshpass -p P3-%s ssh off" % token})})
    with open(os.path.join(lab, "groups.yaml"), "w") as out:
        out.write("spare:\n  password: P1-%s\n  connection_options:\n    tarvix:\n      extras:\n"
                  "        credentials: {enable: {password: P2-%s}}\n"
                  "        ssh: {jump: [{host: b1, password: P5-%s}]}\n" % (token, token, token))
    with open(os.path.join(lab, "defaults.yaml"), "w") as out:
        out.write("connection_options:\n  tarvix:\n    extras:\n      credentials: {enable: {password: P4-%s}}\n"
                  % token)
    line = "snmp-server contact " + " ".join("P%d-%s" % (number, token) for number in range(1, 6))
    assert main(["run", "--inventory", lab, "--name", "h1", "--execute", "show clock", "--configure", line,
                 "--verbose"]) == 0
    err = capsys.readouterr().err
    assert "sending 'snmp-server contact **** **** **** **** ****'" in err and token not in err, err


def test_an_inventory_platform_auto_is_detected_and_told(tmp_path, capsys):
    lab = tmp_path / "lab"
    lab.mkdir()
    extras = {"start": simulator.command("sim0")}
    (lab / "hosts.yaml").write_text("r1:\n  platform: auto\n  connection_options:\n    tarvix:\n      extras: %s\n"
                                    % json.dumps(extras))
    assert main(["run", "--inventory", str(lab), "--execute", "show clock"]) == 0
    row = capsys.readouterr().out.splitlines()[1]
    assert row.startswith("r1 ") and row.endswith("detected os generic")
    assert main(["run", "--inventory", str(lab), "--execute", "show clock", "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["hosts"][0]["detected_os"] == "generic"


def test_passwords_given_outside_the_inventory_and_what_is_refused_before_any_host(tmp_path, capsys, monkeypatch):
    from tarvix import credentials

    secret = "pw-" + tmp_path.name[-10:]
    monkeypatch.setenv(simulator.PASSWORD_ENV, secret)  # what the simulators take
    monkeypatch.delenv("TARVIX_PASSWORD", raising=False)
    lab, out = tmp_path / "lab", str(tmp_path / "out")
    lab.mkdir()

    def hosts(**extras):
        extras = dict({"start": simulator.command("sim0", "--login")}, **extras)
        (lab / "hosts.yaml").write_text("r1:\n  username: admin\n  connection_options:\n    tarvix:\n"
                                        "      extras: %s\n" % json.dumps(extras))
        return ["run", "--inventory", str(lab), "--execute", "show clock", "--output", out]

    # A secret manager's command: its first line, masked in what is sent.
    assert main(hosts(password_command="printf '%s\\nnotes\\n'" % secret)
                + ["--configure", "snmp-server contact " + secret, "-v"]) == 0
    captured = capsys.readouterr()
    assert "sending 'snmp-server contact ****'" in captured.err and secret not in captured.err + captured.out
    lines = captured.out.splitlines()
    assert lines[0].split() == ["device", "status", "seconds", "result"]
    assert re.match(r"1 device\(s\): 1 ok, 0 failed, in [\d.]+ s, at most 1 at once$", lines[2]), lines[2]
    # $TARVIX_PASSWORD, and --ask-password, where the inventory gives none.
    monkeypatch.setenv("TARVIX_PASSWORD", secret)
    assert main(hosts()) == 0
    monkeypatch.setenv("TARVIX_PASSWORD", "wrong")
    monkeypatch.setattr(credentials, "ask_password", lambda prompt: secret)
    assert main(hosts() + ["--ask-password"]) == 0
    capsys.readouterr()
    # In a Nornir script of one's own, the plugin runs the command itself.
    from tarvix.nornir.connection import TarvixConnection
    plugin = TarvixConnection()
    plugin.open("r1", "admin", None, None, None, {"start": simulator.command("sim0", "--login"),
                                                    "password_command": "echo " + secret})
    plugin.close()

    shutil.rmtree(out)
    for extras, told in [
        ({"password_command": "false"}, "%s: host r1: password_command 'false' failed (exit status 1)"
         % (lab / "hosts.yaml")),
        ({"password_command": ["pass"]}, "r1: connection_options.tarvix.extras.password_command: a command line"),
        ({"os": "no-such-os"}, "host r1: os 'no-such-os': no such platform; the platforms: auto, commit, eos, "),
    ]:
        assert main(hosts(**extras)) == 2, told
        err = capsys.readouterr().err
        assert told in err and len(err.splitlines()) == 1, err
        assert os.listdir(out) == []
