"""``tarvix connect`` run as a program."""
import json
import os
import subprocess
import sys
import time

import pytest

from tarvix import __version__ as tarvix_version
from tarvix import simulator

from e2e_support import PASSWORD

REFUSED = "% Invalid input detected at '^' marker."


def tarvix(*args, **kwargs):
    env = dict(os.environ)
    env.update(kwargs.pop("env", {}))
    # A session of its own: no terminal to ask a password on.
    return subprocess.run([sys.executable, "-m", "tarvix"] + list(args), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=30,
                          env=env, start_new_session=True)


@pytest.mark.parametrize("chassis, rp_lines", [
    ("single_rp", ["  rp a: single route processor"]),
    ("dual_rp", ["  rp a: role active, redundancy mode sso", "  rp b: role standby, redundancy mode sso"]),
])
def test_connect_to_the_bundled_simulator(chassis, rp_lines, simulators_running):
    result = tarvix("connect", "--chassis", chassis, "--hostname", "cli-" + chassis, "--execute", "show clock")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("connected to cli-%s (generic, %s) in " % (chassis, chassis))
    assert lines[1] == "  hostname learnt: cli-" + chassis
    assert lines[2:2 + len(rp_lines)] == rp_lines
    assert "UTC" in result.stdout and lines[-1] == "disconnected"
    assert "+++ initializing " in result.stderr
    if chassis == "dual_rp":
        assert "+++ designating handles +++" in result.stderr
    assert not simulators_running("cli-" + chassis)


def test_connect_with_start_and_a_password_from_the_environment():
    start = simulator.command("cli-login", "--login", "--banner")
    result = tarvix("connect", "-v", "--start", start, "--username", "admin", "--execute", "show version",
                    env={simulator.PASSWORD_ENV: PASSWORD, "TARVIX_PASSWORD": PASSWORD})
    assert result.returncode == 0, result.stderr
    assert "cli-login uptime is" in result.stdout
    assert "sending a hidden line" in result.stderr
    # A device given no name is told by the one it showed, once learnt.
    assert result.stdout.startswith("connected to cli-login (generic, single_rp)")
    assert "cli-login: sending 'show version'" in result.stderr
    assert PASSWORD not in result.stdout + result.stderr


@pytest.mark.slow
def test_connect_failure_exits_non_zero_within_the_timeout(simulators_running):
    start = simulator.command("cli-silent", "--silent")
    began = time.monotonic()
    result = tarvix("connect", "--start", start, "--timeout", "1")
    assert time.monotonic() - began < 6
    assert result.returncode == 1
    assert result.stderr.splitlines()[-2:] == [
        "error: device: (nothing printed)",
        "no prompt of a known state (disable, enable, config, standby_locked) within 1.0 s"]
    assert not simulators_running("cli-silent")


def test_plugins_prints_a_table_and_verbosity_leaves_the_registry_to_a_second_v():
    result = tarvix("plugins")
    assert result.returncode == 0
    rows = [line.split() for line in result.stdout.splitlines()]
    assert rows[0] == ["os", "chassis", "type", "class", "from"] and " at 0x" not in result.stdout
    assert ["generic", "dual_rp", "tarvix.plugins.generic.GenericDualRPConnection", "built-in"] in rows
    assert ["commit", "single_rp", "tarvix_commit.CommitSingleRpConnection", "tarvix-commit", "0.1.0"] in rows
    assert "the chassis type, the class" in " ".join(tarvix("plugins", "--help").stdout.split())
    for flags, registry in (("-v",), False), (("-vv",), True):
        result = tarvix("connect", "--hostname", "cli-verbose", *flags)
        assert result.returncode == 0 and "cli-verbose: sending 'enable'" in result.stderr
        assert ("is not part of the built-in list of supported OSes" in result.stderr) == registry


@pytest.mark.slow
def test_the_command_timeout_bounds_each_command(simulators_running):
    start = simulator.command("cli-hang", "--hang", "show clock")
    began = time.monotonic()
    result = tarvix("connect", "--start", start, "--timeout", "20", "--command-timeout", "1", "--execute", "show clock")
    assert result.returncode == 1 and time.monotonic() - began < 8, result.stderr
    assert result.stderr.splitlines()[-1] == "no prompt after 'show clock' within 1.0 s"
    assert not simulators_running("cli-hang")


@pytest.mark.parametrize("args, status, first_line", [
    ((), 0, "usage: tarvix"),
    (("--version",), 0, "tarvix " + tarvix_version),
    (("connect", "--start", "no-such-program-x"), 1,
     "error: device: cannot start the link: The command was not found or was not executable: no-such-program-x."),
    (("connect", "--timeout", "0"), 2, "error: --timeout must be more than 0 seconds"),
    (("connect", "--start", "ssh r1", "--username", "admin", "--ask-password"), 2,
     "error: --ask-password needs a terminal; without one give the password in $TARVIX_PASSWORD"),
    (("connect", "--ask-password"), 2, "error: --ask-password goes with --start"),
    (("connect", "--start", "ssh r1", "--ask-password"), 2, "error: --ask-password needs a terminal"),
    (("connect", "--setup-config", "a\nb"), 2, "error: --setup-config 'a\\nb': a line break inside"),
    (("connect", "--reply", "no-equals-sign"), 2, "error: --reply 'no-equals-sign': give it as PATTERN=ANSWER"),
    (("connect", "--no-setup-commands", "--setup-command", "x"), 2, "error: --no-setup-commands goes with"),
    (("connect", "--parse"), 2, "error: --parse goes with --execute"),
    (("connect", "--os", "no-such-os"), 2, "error: --os no-such-os: no such platform; the platforms: auto, commit, eos,"),
    (("connect", "--os", "linux"), 2, "error: --os linux: the bundled simulator does not speak it"),
    (("connect", "--os", "eos", "--chassis", "dual_rp"), 2, "error: --os eos: the platform eos has no dual_rp plugin"),
    (("connect", "--command-timeout", "0"), 2, "error: --command-timeout must be more than 0 seconds"),
    (("check", "--os", "no-such-os"), 2, "error: --os no-such-os: no such platform; the platforms: auto,"),
    (("check", "--os", "generic", "--start", "ssh r1", "--ask-password"), 2, "error: --ask-password needs a terminal"),
    (("connect", "--log-file", "/nonexistent-dir-x/t.log"), 2, "error: --log-file: cannot write /nonexistent-dir-x/t.log"),
    (("connect", "--session-log", os.devnull), 2, "error: --session-log /dev/null: a file is there, not a directory"),
])
def test_edges_end_in_one_line(args, status, first_line):
    result = tarvix(*args)
    assert result.returncode == status
    assert "Traceback" not in result.stderr
    if status:
        assert result.stderr.startswith(first_line) and len(result.stderr.splitlines()) == 1
    else:
        assert result.stdout.startswith(first_line)


def test_closed_output_ends_quietly(simulators_running):
    # More output than a pipe holds: the reader is gone before it is written.
    start = simulator.command("cli-pipe", "--tech-lines", "5000")
    child = subprocess.Popen([sys.executable, "-m", "tarvix", "connect", "--start", start, "--execute",
                              "show tech-support"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True)
    try:
        assert child.stdout.readline().startswith("connected to cli-pipe")
        child.stdout.close()
        assert child.wait(timeout=30) == 141
        errors = child.stderr.read()
    finally:
        child.kill()
        child.wait()
        child.stderr.close()
    assert "Traceback" not in errors and errors.splitlines()[-1] == "tarvix: output closed before the end"
    assert not simulators_running("cli-pipe")


def test_full_output_ends_in_one_line(tmp_path, simulators_running):
    import importlib.util
    lab = str(tmp_path / "lab")
    runs = [("run", "--inventory", lab, "--execute", "show clock")] if importlib.util.find_spec("nornir") else []
    for args in [("simulate", "--fleet", "1", lab)] + runs + [("connect", "--hostname", "cli-full"), ("plugins",),
                                                             ("--version",)]:
        with open("/dev/full", "w") as full:
            result = subprocess.run([sys.executable, "-m", "tarvix"] + list(args), stdin=subprocess.DEVNULL,
                                    stdout=full, stderr=subprocess.PIPE, universal_newlines=True, timeout=30)
        assert result.returncode == 1, result.stderr
        assert result.stderr.splitlines()[-1] == "error: cannot write to standard output: No space left on device"
        assert "Traceback" not in result.stderr and "Exception ignored" not in result.stderr
    assert os.path.isfile(os.path.join(lab, "hosts.yaml"))
    assert not simulators_running("cli-full")


@pytest.mark.parametrize("options, status, expected", [
    ((), 0, ["cli-setup: setup command 'terminal width 511' skipped, the device refused it: " + REFUSED]),
    (("--no-setup-commands",), 0, []),
    (("--setup-command", "terminal width 511"), 1, ["error: cli-setup: ", "'terminal width 511'", REFUSED]),
    (("--execute", "copy run start", "--reply", r"filename \[\S*\]\? $="), 0, ["[OK]"]),
])
def test_setup_commands_and_replies(options, status, expected, simulators_running):
    start = simulator.command("cli-setup", "--reject", "terminal width 511")
    result = tarvix("connect", "--start", start, *options)
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr
    if not expected:
        assert "skipped" not in result.stderr
    for text in expected:
        assert text in result.stdout + result.stderr
    assert not simulators_running("cli-setup")


@pytest.mark.parametrize("chassis, logs, rps", [
    ("single_rp", ["cli-json.log"], [{"name": "a", "role": None, "mode": None}]),
    ("dual_rp", ["cli-json.a.log", "cli-json.b.log"],
     [{"name": "a", "role": "active", "mode": "sso"}, {"name": "b", "role": "standby", "mode": "sso"}]),
])
def test_json_summary_session_logs_and_log_file(tmp_path, chassis, logs, rps, simulators_running):
    result = tarvix("connect", "--json", "--chassis", chassis, "--hostname", "cli-json",
                    "--session-log", str(tmp_path / "sessions"), "--log-file", str(tmp_path / "tarvix.log"),
                    "--execute", "show version")
    assert result.returncode == 0, result.stderr
    summary = json.loads(result.stdout)
    assert (summary["hostname"], summary["os"], summary["chassis"], summary["error"]) == (
        "cli-json", "generic", chassis, None)
    assert summary["rps"] == rps and summary["seconds"] > 0
    [output] = summary["outputs"]
    assert output["command"] == "show version" and "cli-json uptime is" in output["output"]
    assert sorted(os.listdir(str(tmp_path / "sessions"))) == logs
    for name in logs:
        text = (tmp_path / "sessions" / name).read_text()
        assert "cli-json>" in text
    active = (tmp_path / "sessions" / logs[0]).read_text()
    assert "cli-json>enable" in active and "show version" in active and "cli-json uptime is" in active
    assert active.count("show version") == 1  # sent, and echoed: recorded once
    records = (tmp_path / "tarvix.log").read_text()
    assert " DEBUG tarvix.connection: cli-json" in records and "sending 'enable'" in records
    assert not simulators_running("cli-json")


@pytest.mark.slow
def test_json_reports_the_error():
    result = tarvix("connect", "--json", "--start", simulator.command("cli-jsonfail", "--silent"), "--timeout", "1")
    assert result.returncode == 1
    summary = json.loads(result.stdout)
    assert summary["error"].startswith("device: (nothing printed)\nno prompt of a known state")
    assert summary["outputs"] == [] and summary["seconds"] is None


def test_parse_prints_records():
    pytest.importorskip("ntc_templates")
    result = tarvix("connect", "--hostname", "cli-parse", "--parse", "--execute", "show ip interface brief")
    assert result.returncode == 0, result.stderr
    out = result.stdout
    records = json.loads(out[out.index("--- show ip interface brief\n") + 28:out.rindex("disconnected")])
    assert len(records) == 4 and "Loopback0" in records[3].values()
    result = tarvix("connect", "--hostname", "cli-parse", "--parse", "--execute", "show version",
                    "--execute", "show nothing")
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.splitlines()[-1] == (
        "error: no template for the command 'show nothing' on the platform 'cisco_ios'")


def test_a_password_shows_nowhere_whatever_surrounds_it(tmp_path, simulators_running):
    secret = "q8-env-password"
    start = "env X=%s %s" % (secret, simulator.command("cli-mask"))
    result = tarvix("connect", "-v", "--json", "--log-file", str(tmp_path / "tarvix.log"), "--start", start,
                    "--execute", "show " + secret, env={"TARVIX_PASSWORD": secret})
    assert result.returncode == 1
    error = json.loads(result.stdout)["error"]
    assert error.startswith("cli-mask: ") and "'show ****' rejected" in error
    records = (tmp_path / "tarvix.log").read_text()
    for shown in (result.stderr, records):
        assert "started 'env X=**** " in shown and "sending 'show ****'" in shown
    assert secret not in result.stdout + result.stderr + records
    assert not simulators_running("cli-mask")
