"""The commit-style dialect end to end: the example plugin of
examples/commit-plugin (installed, found through its entry point) driving
the bundled simulator's commit console, through Connection, tarvix connect
and tarvix run, on a console and over the SSH simulator."""
import os
import shutil
import tempfile

import pytest

from tarvix import simulator
from tarvix.bases.connection import Connection, plugin_class
from tarvix.cli import main
from tarvix.core.errors import CommandError

REFUSED = "r1: error: 'set snmp bad' is not valid here | error: configuration check-out failed"


def test_connection_executes_commits_and_rolls_back_what_is_refused():
    # Found through the "tarvix.plugins" entry point, under its own os.
    single, dual = plugin_class("commit", rediscover=True), plugin_class("commit", chassis_type="dual_rp")
    assert (single.__module__, dual.__module__) == ("tarvix_commit", "tarvix_commit")
    assert single.dialect is dual.dialect and single.dialect.state_names == ("enable", "config", "standby_locked")

    start = simulator.command("r1", "--dialect", "commit", "--reject", "set snmp bad")
    with Connection(hostname="r1", start=start, os="commit", learn_hostname=True, connection_timeout=10) as con:
        assert type(con) is single and con.learned_hostname == "r1"
        assert con.execute("show version").startswith("Commit-style router simulator")
        assert con.configure(["set system a", "set system b"]) == "commit complete"
        with pytest.raises(CommandError) as refused:
            con.configure(["set system c", "set snmp bad"])
        # The device's words lead; the staged lines are dropped, the console
        # is back in exec mode.
        assert str(refused.value) == REFUSED + "\n'commit' rejected"
        assert con.state_machine.current_state == "enable"
        assert con.configure("set system d") == "commit complete"
        assert con.execute("show configuration") == "set system a\nset system b\nset system d"
    assert not con.connected and con.spawn.closed


def test_tarvix_connect_speaks_the_plugins_dialect(capsys):
    assert main(["connect", "--os", "commit", "--chassis", "dual_rp", "--setup-config", "set system a",
                 "--execute", "show configuration"]) == 0
    out = capsys.readouterr().out
    assert "connected to sim-router (commit, dual_rp)" in out and "rp b: role standby, redundancy mode sso" in out
    # The setup line was committed, then the standby's unlock.
    assert "set system a\nset chassis redundancy standby-console enable\ndisconnected" in out

    start = simulator.command("r1", "--dialect", "commit", "--reject", "set snmp bad")
    assert main(["connect", "--os", "commit", "--hostname", "r1", "--start", start,
                 "--setup-config", "set snmp bad"]) == 1
    assert capsys.readouterr().err.splitlines()[-2:] == ["error: " + REFUSED, "'commit' rejected"]


def test_tarvix_run_over_a_simulated_commit_fleet(tmp_path, capsys):
    pytest.importorskip("nornir")
    lab, out = str(tmp_path / "lab"), str(tmp_path / "out")
    assert main(["simulate", "--fleet", "2", "--dialect", "commit", lab]) == 0
    with open(os.path.join(lab, "hosts.yaml")) as hosts:
        text = hosts.read()
    with open(os.path.join(lab, "hosts.yaml"), "w") as hosts:
        hosts.write(text.replace("--dialect commit", "--dialect commit --reject 'set snmp bad'", 1))
    assert main(["run", "--inventory", lab, "--execute", "show version", "--configure", "set snmp bad",
                 "--output", out]) == 1
    table = capsys.readouterr().out
    assert "sim-r01  failed" in table and "error: 'set snmp bad' is not valid here" in table
    assert "sim-r02  ok" in table
    with open(os.path.join(out, "sim-r02.txt")) as text:
        assert text.read().startswith("--- show version\nCommit-style router simulator")


def test_over_the_ssh_simulator_single_and_dual_rp():
    from tarvix.simulator import server

    if not server.available() or shutil.which("ssh") is None:
        pytest.skip("needs asyncssh and the system ssh")
    # A password that is not the username: the process masks it from then on.
    routers = [{"hostname": "r1", "dialect": "commit", "options": ["--reject", "set snmp bad"],
                "password": "sim-secret"},
               {"hostname": "r2", "dialect": "commit", "ports": [0, 0], "active": "b", "password": "sim-secret"}]
    credentials = {"default": {"username": "admin", "password": "sim-secret"}}
    with server.serving(routers) as running:
        urls = dict((name, ["ssh://admin@127.0.0.1:%d" % port for port in ports])
                    for name, ports in running.ports.items())
        with Connection(hostname="r1", start=urls["r1"][0], os="commit", credentials=credentials,
                        ssh={"host_key_checking": "off"}, connection_timeout=10) as con:
            assert con.configure(["set system a"]) == "commit complete"
            with pytest.raises(CommandError, match="^" + REFUSED):
                con.configure(["set snmp bad"])
        with Connection(hostname="r2", start=urls["r2"], os="commit", credentials=credentials,
                        ssh={"host_key_checking": "off"}, connection_timeout=10) as con:
            assert (con.a.role, con.b.role, con.a.mode) == ("standby", "active", "sso")
            assert con.configure(["set system b"]) == "commit complete"
            assert con.execute("show configuration", target="standby").endswith("set system b")
