"""Connections to third-party routers (FakeNOS over the system ssh client),
with the generic plugins and their defaults."""
import logging
import os
import subprocess
import sys
import time

import pytest

from tarvix.core.errors import ConnectionError

import devices
from e2e_support import alive, connection_maker

DUAL = "core1"


@pytest.fixture(scope="module")
def bed():
    yield from devices.serve(["router:r1", "refuser:r2", "pair:%s" % DUAL])


@pytest.fixture
def connections(caplog):
    yield from connection_maker(caplog, [devices.PASSWORD], credentials={
        "default": {"username": devices.USERNAME, "password": devices.PASSWORD}})


def timed(call, *args, **kwargs):
    began = time.monotonic()
    result = call(*args, **kwargs)
    return result, time.monotonic() - began


def test_single_rp_session_with_defaults(bed, connections, caplog):
    bed.reset("r1")
    con = connections(hostname="r1", start=bed.ssh("r1"))
    assert type(con).__name__ == "GenericSingleRpConnection"
    con.connect()
    # The plugin's setup commands are all taken by a stock router of this CLI.
    assert not [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert con.state_machine.current_state == "enable"
    assert con.execute("show clock").startswith("*")
    assert con.execute("show slow") == "slow reply after 1.5 s"
    con.configure(["interface Loopback7", " description third-party e2e"])
    assert con.state_machine.current_state == "enable"
    # Over ssh the link is a session to the device: no setup configuration.
    running = con.execute("show running-config").splitlines()
    assert "no logging console" not in running
    assert running[-5:] == ["!", "interface Loopback7", " description third-party e2e", "!", "end"]
    pids = connections.pids()
    _, took = timed(con.disconnect)
    assert took < 1
    assert not con.connected and not [pid for pid in pids if alive(pid)]


def test_large_output_is_complete(bed, connections):
    con = connections(hostname="r1", start=bed.ssh("r1"))
    con.connect()
    output = con.execute("show tech", timeout=20)
    assert output == devices.tech_output("r1")
    assert con.execute("show clock").startswith("*")
    con.disconnect()


@pytest.mark.parametrize("command, reply, output", [
    ("copy running-config startup-config", [(r"Destination filename \[startup-config\]\?", "")],
     "Building configuration...\n[OK]"),
    ("delete flash:old.bin", [(r"Delete filename \[old.bin\]\?", ""), (r"\[confirm\]", "y")], ""),
])
def test_execute_answers_the_device_questions(bed, connections, command, reply, output):
    con = connections(hostname="r1", start=bed.ssh("r1"))
    con.connect()
    assert con.execute(command, reply=reply).strip() == output
    assert con.state_machine.current_state == "enable"
    assert con.execute("show clock").startswith("*")
    con.disconnect()


@pytest.mark.parametrize("hostname", ["R1", "r1.lab.example.net"])
def test_hostname_as_users_write_it(bed, connections, hostname):
    con = connections(hostname=hostname, start=bed.ssh("r1"), connection_timeout=10)
    con.connect()
    assert con.execute("show clock").startswith("*")
    con.disconnect()


def test_another_hostname_fails_soon_quoting_the_prompt(bed, connections):
    con = connections(hostname="r7", start=bed.ssh("r1"), connection_timeout=15)
    began = time.monotonic()
    with pytest.raises(ConnectionError) as caught:
        con.connect()
    assert time.monotonic() - began < 8
    message = str(caught.value)
    assert "r1>" in message and "learn_hostname" in message
    assert not con.connected


def test_refused_configuration_quotes_the_device(bed, connections):
    con = connections(hostname="r2", start=bed.ssh("r2"))
    con.connect()
    with pytest.raises(ConnectionError, match="Configuration mode is locked by process"):
        con.configure(["interface Loopback1"])
    assert con.execute("show clock").startswith("*")
    con.disconnect()


@pytest.mark.parametrize("case, cause", [
    ("nothing listening", "Connection refused"),
    ("wrong password", "login rejected"),
])
def test_link_failures_lead_with_the_cause(bed, connections, caplog, case, cause):
    wrong = "Wrong-Secret-95"
    if case == "nothing listening":
        con = connections(hostname="r9", start=devices.ssh_command(devices.free_port()), connection_timeout=5)
    else:
        con = connections(hostname="r1", start=bed.ssh("r1"), connection_timeout=5,
                          credentials={"default": {"username": devices.USERNAME, "password": wrong}})
    with pytest.raises(ConnectionError) as caught:
        con.connect()
    message = str(caught.value)
    assert cause in message[:100] and len(message.splitlines()) <= 5
    assert wrong not in message and not [r for r in caplog.records if wrong in r.getMessage()]


@pytest.mark.parametrize("active", ["a", "b"])
def test_dual_rp_pair_connects_and_reconnects(bed, connections, active):
    bed.reset(DUAL, active=active)
    con = connections(hostname=DUAL, start=[bed.ssh(DUAL + "-a"), bed.ssh(DUAL + "-b")])
    assert type(con).__name__ == "GenericDualRPConnection"
    standby = "b" if active == "a" else "a"
    for round_ in range(2):
        con.connect()
        assert (con.active.name, con.standby.name) == (active, standby), round_
        assert con.a.mode == con.b.mode == "sso"
        assert con.execute("sh redundancy stat | inc my state", target="standby").strip() == \
            "my state = 8  -STANDBY HOT"
        if round_ == 0:
            con.configure(["interface Loopback1", " description on the active"])
            assert " description on the active" in con.execute("show running-config")
        _, took = timed(con.disconnect)
        assert took < 1 and not con.connected


def test_cli_defaults_keep_the_password_secret(bed):
    """``tarvix connect --start "ssh ..."``: no password in the ssh child's
    environment, in the output or in the log lines."""
    port = bed.ports["r1"]
    env = dict(os.environ, TARVIX_PASSWORD=devices.PASSWORD)
    cli = subprocess.Popen([sys.executable, "-m", "tarvix", "connect", "-v", "--hostname", "r1", "--start",
                            devices.ssh_command(port), "--execute", "show slow", "--execute", "show clock"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, universal_newlines=True)
    environments = []
    deadline = time.monotonic() + 30
    while cli.poll() is None and time.monotonic() < deadline and not environments:
        environments = ssh_environments(port)
        time.sleep(0.05)
    out, err = cli.communicate(timeout=30)
    assert cli.returncode == 0, err
    assert "slow reply after 1.5 s" in out and "disconnected" in out
    assert environments and not [e for e in environments if devices.PASSWORD.encode() in e]
    assert devices.PASSWORD not in out + err


def ssh_environments(port):
    """The environments of the ssh clients running to this port."""
    found = []
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as handle:
                argv = handle.read().split(b"\0")
            if argv[0].endswith(b"ssh") and str(port).encode() in argv:
                with open("/proc/%s/environ" % pid, "rb") as handle:
                    found.append(handle.read())
        except (IOError, OSError, IndexError):
            continue
    return found
