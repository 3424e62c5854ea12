"""``tarvix connect`` run as a program."""
import os
import subprocess
import sys
import time

import pytest

from tarvix import simulator

from e2e_support import PASSWORD


def tarvix(*args, **kwargs):
    env = dict(os.environ)
    env.update(kwargs.pop("env", {}))
    return subprocess.run([sys.executable, "-m", "tarvix"] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=30, env=env)


def simulators_running(hostname):
    """Processes whose command line runs the simulator for this hostname."""
    found = []
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as handle:
                argv = handle.read().split(b"\0")
        except (IOError, OSError):
            continue
        if b"tarvix.simulator" in argv and hostname.encode() in argv:
            found.append(pid)
    return found


@pytest.mark.parametrize("chassis, rp_lines", [
    ("single_rp", ["  rp a: single route processor"]),
    ("dual_rp", ["  rp a: role active, redundancy mode sso", "  rp b: role standby, redundancy mode sso"]),
])
def test_connect_to_the_bundled_simulator(chassis, rp_lines):
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
    assert PASSWORD not in result.stdout + result.stderr


def test_connect_failure_exits_non_zero_within_the_timeout():
    start = simulator.command("cli-silent", "--silent")
    began = time.monotonic()
    result = tarvix("connect", "--start", start, "--timeout", "1")
    assert time.monotonic() - began < 6
    assert result.returncode == 1
    assert result.stderr.splitlines()[-2:] == [
        "error: device: (nothing printed)",
        "no prompt of a known state (disable, enable, config, standby_locked) within 1.0 s"]
    assert not simulators_running("cli-silent")


def test_plugins_still_prints_the_tree():
    result = tarvix("plugins")
    assert result.returncode == 0
    assert "GenericDualRPConnection" in result.stdout and "GenericSingleRpConnection" in result.stdout
