"""Connect, execute, configure and disconnect against the simulator."""
import logging
import os
import shlex
import time

import pytest

from tarvix.bases.routers import brokers
from tarvix import simulator
from tarvix.core.errors import ConnectionError, LinkTimeoutError, LoginError
from tarvix.eal.dialogs import Dialog, Statement

from e2e_support import ENABLE_PASSWORD, PASSWORD, alive, connections, credentials, sim_passwords  # noqa: F401

# A console behind a terminal server: slow echo, replies in pieces, each
# line answered late.
SLOW = ("--echo-delay", "0.002", "--chunked", "--reply-delay", "0.05")


def start_of(chassis, hostname, pair_dir, *options):
    if chassis == "single_rp":
        return simulator.command(hostname, *options)
    return simulator.pair(hostname, pair_dir, *options, active="b" if chassis == "dual_rp/b" else "a")


@pytest.mark.parametrize("options, learn", [
    ((), True),
    (("--login", "--banner"), True),
    (("--login", "--start-state", "enable"), False),
])
def test_single_rp_session(connections, sim_passwords, options, learn):
    con = connections(simulator.command("edge1", *options), hostname="edge1", learn_hostname=learn,
                      credentials=credentials())
    assert type(con).__name__ == "GenericSingleRpConnection"
    con.connect()
    assert con._is_connected
    assert con.learned_hostname == ("edge1" if learn else None)
    assert con.state_machine.current_state == "enable"
    assert "edge1 uptime is" in con.execute("show version")
    assert con.execute("sh redundancy stat | inc my state").strip() == "my state = 13 -ACTIVE"
    con.configure(["interface lo7", "description e2e loopback"])
    assert con.state_machine.current_state == "enable"
    running = con.execute("show running-config")
    # the generic plugin's initial configuration came first
    assert running.splitlines()[1:4] == ["no logging console", "interface lo7", " description e2e loopback"]
    pids = connections.pids()
    con.disconnect()
    assert not con._is_connected
    assert not [pid for pid in pids if alive(pid)]


@pytest.mark.parametrize("active", ["a", "b"])
def test_dual_rp_session(connections, tmp_path, active):
    con = connections(simulator.pair("core1", str(tmp_path), active=active), hostname="core1",
                      learn_hostname=True)
    assert type(con).__name__ == "GenericDualRPConnection"
    began = time.monotonic()
    con.connect()
    elapsed = time.monotonic() - began
    standby = "b" if active == "a" else "a"
    assert (con.active.name, con.standby.name) == (active, standby)
    assert con._handles_designated and con.learned_hostname == "core1"
    assert con.a.mode == con.b.mode == "sso"
    assert con.standby.state_machine.current_state != "standby_locked"
    assert "STANDBY HOT" in con.execute("sh redundancy stat | inc my state", target="standby")
    assert "ACTIVE" in con.execute("sh redundancy stat | inc my state")
    con.configure("interface lo1\n description on the active")
    assert " description on the active" in con.execute("show running-config", target="active")
    con.disconnect()
    assert not con._is_connected
    assert elapsed < 3


def test_dual_rp_mit_connects_without_designation(connections, tmp_path):
    con = connections(simulator.pair("core2", str(tmp_path)), hostname="core2", mit=True)
    con.connect()
    assert con._is_connected and not con._handles_designated
    assert (con.a.role, con.b.role) == (None, None)
    assert con.b.state_machine.current_state == "standby_locked"
    with pytest.raises(ConnectionError, match="no route processor is designated active"):
        con.active
    con.disconnect()


@pytest.mark.parametrize("case, error, message", [
    ("bad credentials", LoginError, "login rejected with the credentials 'default'"),
    ("silent console", LinkTimeoutError, "no prompt of a known state"),
    ("wrong hostname", LinkTimeoutError, "no prompt of a known state"),
    ("enable password", LoginError, "enable password rejected"),
    ("neither role", ConnectionError, "^unable to designate handles$"),
])
def test_failures_end_in_a_clear_error(connections, sim_passwords, tmp_path, case, error, message):
    options = {"hostname": "r9", "credentials": credentials(), "connection_timeout": 1.5}
    if case == "bad credentials":
        start = simulator.command("r9", "--login")
        options["credentials"] = credentials("not-the-password")
    elif case == "silent console":
        start = simulator.command("r9", "--silent")
    elif case == "wrong hostname":
        start = simulator.command("r9-other")
    elif case == "enable password":
        start = simulator.command("r9")
        options["credentials"] = {"enable": {"password": "wrong"}}
    else:
        start = simulator.pair("r9", str(tmp_path), "--unknown-role")
    con = connections(start, **options)
    began = time.monotonic()
    with pytest.raises(error, match=message) as caught:
        con.connect()
    assert time.monotonic() - began < options["connection_timeout"] + 1
    if case != "neither role":
        assert caught.value.message.startswith("r9")
    assert not con._is_connected
    assert not [pid for pid in connections.pids() if alive(pid)]


def test_execute_reports_a_rejected_command(connections):
    con = connections(simulator.command("r3"), hostname="r3")
    con.connect()
    with pytest.raises(ConnectionError, match="^r3: % Invalid input detected\\.\n'show nothing' rejected$"):
        con.execute("show nothing")
    assert "UTC" in con.execute("show clock")
    con.disconnect()


def test_reconnect_after_disconnect(connections):
    con = connections(simulator.command("r4"), hostname="r4")
    con.connect()
    first = connections.pids()
    con.disconnect()
    con.connect()
    assert connections.pids() != first
    assert "r4 uptime" in con.execute("show version")
    con.disconnect()


@pytest.mark.slow
def test_console_that_starts_late_answers_the_nudge_before_the_next_line(connections):
    # The console shows up after the link's nudge was typed, and answers it
    # late: that second prompt still comes before the echo of the next line.
    late = "sleep 0.7; exec %s" % simulator.command("late1", "--reply-delay", "0.2")
    con = connections("sh -c %s" % shlex.quote(late), hostname="late1",
                      init_exec_commands=[], init_config_commands=[])
    con.connect()
    assert con.state_machine.current_state == "enable" and "UTC" in con.execute("show clock")
    con.disconnect()


@pytest.mark.parametrize("chassis", ["single_rp", "dual_rp/a", "dual_rp/b"])
@pytest.mark.slow
def test_slow_console_connects_and_reconnects(connections, tmp_path, chassis):
    con = connections(start_of(chassis, "slow1", str(tmp_path), *SLOW), hostname="slow1", connection_timeout=5)
    for _ in range(2):
        con.connect()
        if chassis != "single_rp":
            assert con.active.name == chassis[-1] and con.a.mode == con.b.mode == "sso"
        assert "slow1 uptime is" in con.execute("show version")
        con.disconnect()


WIDTH = "setup command 'terminal width 511' skipped, the device refused it"


@pytest.mark.parametrize("chassis, sim_options, refused", [
    ("single_rp", ("--reject", "terminal width 511", "--no-config"),
     [WIDTH, "setup configuration ['no logging console'] skipped, the device refused 'configure terminal'"]),
    ("single_rp", ("--reject", "no logging console"),
     ["setup command 'no logging console' skipped, the device refused it"]),
    ("dual_rp/a", ("--reject", "terminal width 511"), [WIDTH, WIDTH]),
])
def test_refused_setup_commands_of_the_plugin_are_skipped(connections, caplog, tmp_path, chassis, sim_options,
                                                         refused):
    con = connections(start_of(chassis, "r5", str(tmp_path), *sim_options), hostname="r5")
    con.connect()
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == len(refused)
    for warning, expected in zip(warnings, refused):
        assert warning.startswith("r5") and warning.endswith(expected + ": % Invalid input detected at '^' marker.")
    assert "r5 uptime is" in con.execute("show version")
    con.disconnect()


@pytest.mark.parametrize("chassis, sim_options, options, error", [
    ("single_rp", ("--reject", "terminal width 511"), {"init_exec_commands": ["terminal width 511"]}, "terminal width 511"),
    ("single_rp", ("--no-config",), {"init_config_commands": ["no logging console"]}, "configure terminal"),
    ("dual_rp/a", ("--reject", "terminal width 511"), {"init_exec_commands": ["terminal width 511"]}, "terminal width 511"),
])
def test_refused_setup_commands_of_the_caller_fail(connections, tmp_path, chassis, sim_options, options, error):
    con = connections(start_of(chassis, "r5", str(tmp_path), *sim_options), hostname="r5", **options)
    with pytest.raises(ConnectionError, match=error):
        con.connect()
    assert not con.connected


@pytest.mark.slow
def test_setup_commands_wait_the_connect_timeout(connections):
    con = connections(simulator.command("r6", "--hang", "terminal length 0"), hostname="r6", connection_timeout=1)
    began = time.monotonic()
    with pytest.raises(LinkTimeoutError, match="terminal length 0"):
        con.connect()
    assert time.monotonic() - began < 5


@pytest.mark.parametrize("settle", [False, True])
@pytest.mark.parametrize("chassis", ["single_rp", "dual_rp/a"])
def test_disconnect_waits_only_for_a_console_line(connections, monkeypatch, tmp_path, chassis, settle):
    slept = []
    monkeypatch.setattr(brokers, "sleep", slept.append)
    con = connections(start_of(chassis, "r7", str(tmp_path)), hostname="r7", console_settle=settle)
    con.connect()
    pids = connections.pids()
    began = time.monotonic()
    con.disconnect()
    assert time.monotonic() - began < 1
    assert slept == ([2] if settle else [])
    assert not con.connected and not [pid for pid in pids if alive(pid)]


@pytest.mark.parametrize("command, reply, expected", [
    ("copy running-config startup-config", [(r"Destination filename \[\S*\]\? $", "")], "[OK]"),
    ("copy run start", {r"\[startup-config\]\?": "flash:x"}, "% Error opening flash:x"),
    ("clear counters", Dialog([Statement(r"\[confirm\]", action="n")]), "% Not cleared"),
])
def test_execute_answers_questions(connections, command, reply, expected):
    con = connections(simulator.command("r8", *SLOW), hostname="r8")
    con.connect()
    assert expected in con.execute(command, reply=reply)
    assert "r8 uptime is" in con.execute("show version")
    con.disconnect()


@pytest.mark.slow
def test_a_login_console_that_starts_late(connections, sim_passwords):
    # It starts after the first bare line was sent: it reads that line as an
    # empty username and asks again, with the username already on its way.
    start = "sh -c %s" % shlex.quote("sleep 1; exec " + simulator.command("late1", "--login"))
    con = connections(start, hostname="late1", credentials=credentials())
    con.connect()
    assert con.state_machine.current_state == "enable"
    con.disconnect()


@pytest.mark.parametrize("explicit_env", [False, True])
def test_no_password_reaches_a_link(connections, monkeypatch, explicit_env):
    monkeypatch.setenv("TARVIX_PASSWORD", PASSWORD)
    monkeypatch.setenv("TARVIX_ENABLE_PASSWORD", ENABLE_PASSWORD)
    con = connections(simulator.command("r9"), hostname="r9", env=dict(os.environ) if explicit_env else None)
    con.connect()
    with open("/proc/%d/environ" % con.spawn.pid, "rb") as handle:
        environ = handle.read()
    assert b"PATH=" in environ
    assert PASSWORD.encode() not in environ and ENABLE_PASSWORD.encode() not in environ
    con.disconnect()


def test_lock_standby_locks_the_standby_console(connections, tmp_path):
    con = connections(simulator.pair("r10", str(tmp_path)), hostname="r10")
    con.connect()
    con.broker.lock_standby()
    standby = con.standby
    standby.state_machine._current_state = "generic"
    assert standby.state_machine.go_to("any", standby.spawn) == "standby_locked"
    con.disconnect()
