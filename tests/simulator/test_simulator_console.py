"""The simulator driven by hand over a pseudo-terminal, as a user would."""
import os
import shlex

import pexpect
import pytest

from tarvix import simulator

PASSWORD = "pw-console-7"


def spawn(command, env=None):
    argv = shlex.split(command)
    full_env = dict(os.environ)
    full_env.update(env or {})
    return pexpect.spawn(argv[0], argv[1:], encoding="utf-8", timeout=5, env=full_env)


def start(*options, **kwargs):
    return spawn(simulator.command("sim", *options), kwargs.get("env"))


@pytest.fixture
def children():
    started = []
    yield started
    for child in started:
        child.close(force=True)


def run(child, command, prompt):
    child.sendline(command)
    child.expect_exact(prompt)
    return child.before.replace("\r\n", "\n")


def test_modes_and_prompts(children):
    child = start()
    children.append(child)
    child.expect_exact("sim>")
    assert "Invalid input" in run(child, "configure terminal", "sim>")
    run(child, "en", "sim#")
    run(child, "conf t", "sim(config)#")
    run(child, "redundancy", "sim(config-red)#")
    run(child, "main-cpu", "sim(config-r-mc)#")
    run(child, "exit", "sim(config-red)#")
    run(child, "exit", "sim(config)#")
    run(child, "interface lo0", "sim(config-if)#")
    run(child, "description loopback", "sim(config-if)#")
    run(child, "end", "sim#")
    config = run(child, "show running-config", "sim#")
    assert "interface lo0\n description loopback\n" in config
    run(child, "disable", "sim>")


@pytest.mark.parametrize("command, expected, absent", [
    ("sh redundancy stat | inc my state", "my state = 13 -ACTIVE", "peer state"),
    ("sh redundancy state", "Redundancy State = simplex", None),
    ("show version | include uptime", "sim uptime is", "software version"),
    ("show clock", "UTC", None),
    ("show nonsense", "% Invalid input", None),
    ("show", "% Invalid input", None),
    ("| include x", "% Invalid input", None),
])
def test_show_commands(children, command, expected, absent):
    child = start("--start-state", "enable")
    children.append(child)
    child.expect_exact("sim#")
    output = run(child, command, "sim#")
    assert expected in output
    if absent:
        assert absent not in output


def test_login_rejects_a_wrong_password_and_never_echoes_one(children):
    child = start("--login", "--banner", env={simulator.PASSWORD_ENV: PASSWORD})
    children.append(child)
    child.expect_exact("Press RETURN to get started")
    child.sendline()
    child.expect_exact("Username: ")
    child.sendline("admin")
    child.expect_exact("Password: ")
    child.sendline("wrong-one")
    child.expect_exact("% Login invalid")
    child.expect_exact("Username: ")
    child.sendline("admin")
    child.expect_exact("Password: ")
    child.sendline(PASSWORD)
    child.expect_exact("sim>")
    assert PASSWORD not in child.before and "wrong-one" not in child.before


def test_enable_password(children):
    child = start(env={simulator.ENABLE_PASSWORD_ENV: "en-pw"})
    children.append(child)
    child.expect_exact("sim>")
    child.sendline("enable")
    child.expect_exact("Password: ")
    child.sendline("bad")
    child.expect_exact("% Access denied")
    child.expect_exact("sim>")
    child.sendline("enable")
    child.expect_exact("Password: ")
    child.sendline("en-pw")
    child.expect_exact("sim#")


@pytest.mark.slow
def test_silent_console_never_prompts(children):
    child = start("--silent")
    children.append(child)
    child.sendline()
    child.sendline("enable")
    with pytest.raises(pexpect.TIMEOUT):
        child.expect([">", "#"], timeout=1)


def enable_standby_console(active):
    """Configures the active RP to open the standby's console."""
    run(active, "enable", "pair#")
    run(active, "configure terminal", "pair(config)#")
    run(active, "redundancy", "pair(config-red)#")
    run(active, "main-cpu", "pair(config-r-mc)#")
    run(active, "standby console enable", "pair(config-r-mc)#")


@pytest.mark.parametrize("role, expected", [("active", "13 -ACTIVE"), ("standby", "8  -STANDBY HOT")])
def test_pair_roles_and_standby_lock(children, tmp_path, role, expected):
    active, standby = [spawn(c) for c in simulator.pair("pair", str(tmp_path))]
    children.extend([active, standby])
    standby.expect_exact("Standby console disabled")
    standby.sendline("enable")
    standby.expect_exact("Standby console disabled")
    active.expect_exact("pair>")
    enable_standby_console(active)
    run(active, "end", "pair#")
    standby.sendline()
    standby.expect_exact("pair>")
    child = active if role == "active" else standby
    if role == "standby":
        run(child, "enable", "pair#")
    assert expected in run(child, "sh redundancy stat | inc my state", "pair#")


def test_unknown_role_names_neither_role(children, tmp_path):
    child = start("--pair-dir", str(tmp_path), "--role", "active", "--unknown-role")
    children.append(child)
    child.expect_exact("sim>")
    output = run(child, "sh redundancy stat | inc my state", "sim>")
    assert "my state" in output
    assert "active" not in output.lower() and "standby" not in output.lower()


def test_standby_locked_again(children, tmp_path):
    slow = ("--echo-delay", "0.002", "--chunked")
    active, standby = [spawn(c) for c in simulator.pair("pair", str(tmp_path), *slow)]
    children.extend([active, standby])
    standby.expect_exact("Standby console disabled")
    active.expect_exact("pair>")
    enable_standby_console(active)
    standby.sendline()
    standby.expect_exact("pair>")
    run(active, "no standby console enable", "pair(config-r-mc)#")
    standby.sendline("enable")
    standby.expect_exact("Standby console disabled")
    standby.sendline()
    standby.expect_exact("Standby console disabled")


def test_a_config_file_that_holds_no_configuration_is_one_line(tmp_path):
    import subprocess
    import sys

    bad = tmp_path / "r1.json"
    bad.write_text("{not json")
    done = subprocess.run([sys.executable, "-m", "tarvix.simulator", "--config-file", str(bad)],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=30)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert "%s: not a simulated router's configuration" % bad in done.stderr and bad.read_text() == "{not json"
