"""The Nornir connection plugin's defaults on a third-party router (FakeNOS
over SSH, in this process or through the system ssh client): the inventory's address, port, username,
password and platform are all it is given."""

import pytest

pytest.importorskip("nornir")

from nornir import InitNornir  # noqa: E402

from tarvix.nornir import tarvix_execute  # noqa: E402

import devices  # noqa: E402


@pytest.fixture(scope="module")
def bed():
    yield from devices.serve(["router:r1"])


@pytest.mark.parametrize("in_process", [True, False])
def test_plugin_over_default_ssh(bed, tmp_path, monkeypatch, in_process):
    from tarvix.eal.ssh import link as sshlink

    if in_process and not sshlink.AVAILABLE:
        pytest.skip(sshlink.UNAVAILABLE)
    monkeypatch.setattr(sshlink, "AVAILABLE", in_process)
    bed.reset("r1")
    hosts = tmp_path / "hosts.yaml"
    # The bed's routers get new host keys on every run.
    hosts.write_text("r1:\n  hostname: 127.0.0.1\n  port: %d\n  username: %s\n  password: %s\n  platform: ios\n"
                     "  connection_options:\n    tarvix:\n      extras:\n        host_key_checking: false\n"
                     % (bed.ports["r1"], devices.USERNAME, devices.PASSWORD))
    nr = InitNornir(inventory={"plugin": "SimpleInventory", "options": {"host_file": str(hosts)}},
                    logging={"enabled": False})
    try:
        clock = nr.run(task=tarvix_execute, command="show clock")
        assert not clock.failed and clock["r1"][0].result.startswith("*")
        con = nr.inventory.hosts["r1"].connections["tarvix"].connection
        assert con.os == "generic" and con.learned_hostname == "r1"
        # The library's session where it is installed, else the system ssh.
        assert (con.spawn.pid is None) == in_process and con.spawn.command.startswith("ssh")
        # A vty session: no setup configuration was applied.
        running = nr.run(task=tarvix_execute, command="show running-config")["r1"][0].result
        assert "no logging console" not in running and running.rstrip().endswith("end")
    finally:
        nr.close_connections(on_failed=True)
    assert not con.connected
