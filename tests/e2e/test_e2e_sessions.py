"""Session logs and parsed output against the simulator."""
import importlib.util
import io
import os

import pytest

from tarvix import simulator
from tarvix.core.errors import ConnectionError, TemplateNotFoundError
from tarvix.eal.sessionlog import MASK

from e2e_support import ENABLE_PASSWORD, PASSWORD, connections, credentials, sim_passwords  # noqa: F401


def open_files():
    """The files this process has open."""
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            found.add(os.readlink("/proc/self/fd/" + fd))
        except OSError:
            pass
    return found


def test_single_rp_session_log_holds_both_directions_and_no_password(connections, sim_passwords, tmp_path):
    path = tmp_path / "edge1.log"
    con = connections(simulator.command("edge1", "--login", "--banner"), hostname="edge1",
                      credentials=credentials(), session_log=str(path))
    for _ in range(2):
        con.connect()
        assert str(path) in open_files()
        assert "edge1 uptime is" in con.execute("show version")
        con.disconnect()
        assert str(path) not in open_files()
    text = path.read_text()
    # Appended at each connect: both sessions are there.
    assert text.count("User Access Verification") == 2
    assert "Username: admin" in text and "Password: " + MASK in text
    assert text.count("show version") >= 2 and "configure terminal" in text
    assert PASSWORD not in text and ENABLE_PASSWORD not in text


def test_dual_rp_session_logs(connections, tmp_path):
    con = connections(simulator.pair("core1", str(tmp_path)), hostname="core1",
                      session_log=str(tmp_path / "core1.log"))
    con.connect()
    con.execute("show clock", target="standby")
    con.disconnect()
    active, standby = (tmp_path / "core1.a.log").read_text(), (tmp_path / "core1.b.log").read_text()
    assert "standby console enable" in active and "my state = 13 -ACTIVE" in active
    assert "Standby console disabled" in standby and "show clock" in standby
    assert not (tmp_path / "core1.log").exists()


@pytest.mark.slow
def test_caller_file_is_left_open_also_when_connecting_fails(connections):
    stream = io.BytesIO()
    con = connections(simulator.command("dead1", "--silent"), hostname="dead1", connection_timeout=1,
                      session_log=stream)
    with pytest.raises(ConnectionError):
        con.connect()
    assert not stream.closed and stream.getvalue().count(b"\n") >= 1


# Skipped before the fixture builds anything: its teardown wants a connection.
@pytest.mark.skipif(importlib.util.find_spec("ntc_templates") is None, reason="ntc-templates is not installed")
def test_parsed_records_from_a_template(connections):
    log = io.StringIO()
    con = connections(simulator.command("edge2"), hostname="edge2", session_log=log)
    con.connect()
    records = con.execute("sh ip int br", parse=True)
    assert [set(record.values()) >= {name, "up"} for record, name in zip(records, [
        "GigabitEthernet0/0", "GigabitEthernet0/1", "GigabitEthernet0/2", "Loopback0"])] == [True, True, False, True]
    assert "192.0.2.1" in records[0].values() and len(records) == 4
    with pytest.raises(TemplateNotFoundError, match=r"'show nothing' on the platform 'cisco_ios'"):
        con.execute("show nothing", parse=True)
    # The command was looked up, not sent.
    assert "show nothing" not in log.getvalue()
    con.disconnect()
