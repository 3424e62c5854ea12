"""Connect, execute, configure and disconnect against the simulator."""
import time

import pytest

from tarvix import simulator
from tarvix.core.errors import ConnectionError, LinkTimeoutError, LoginError

from e2e_support import PASSWORD, alive, connections, credentials, sim_passwords  # noqa: F401 (fixtures)


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
