"""The frr platform on real FRRouting: reached as the program vtysh, through
the system ssh and through the in-process SSH link, as a user whose login
shell is vtysh."""
import re

import pytest

from tarvix.bases.connection import Connection
from tarvix.core.errors import CommandError

import frrbed


@pytest.fixture(scope="module")
def bed():
    with frrbed.started(ssh=True) as router:
        yield router


def _start(bed, link):
    if link == "vtysh":
        return bed.vtysh
    if link == "ssh":
        return ("ssh -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -p %d %s@127.0.0.1"
                % (bed.ssh_port, bed.user))
    pytest.importorskip("ssh2", reason="the in-process SSH link needs ssh2-python")
    return "ssh://%s@127.0.0.1:%d" % (bed.user, bed.ssh_port)


# The generic dialect knows this family's rejection lines too (its own setup
# commands that vtysh lacks are only warned of).
@pytest.mark.parametrize("os_name, link", [("frr", "vtysh"), ("frr", "ssh"), ("frr", "ssh://"), ("generic", "vtysh")])
def test_platform_on_real_frr(bed, os_name, link):
    con = Connection(hostname=None, start=_start(bed, link), os=os_name, learn_hostname=True, connection_timeout=20,
                     credentials={"default": {"username": bed.user, "password": frrbed.PASSWORD}},
                     ssh={"host_key_checking": False})
    con.connect()
    try:
        assert con.learned_hostname == re.search(r"^hostname (\S+)", bed.running_config(), re.M).group(1)
        assert "FRRouting" in con.execute("show version")
        with pytest.raises(CommandError, match="Unknown command"):
            con.execute("show bogus")
        with pytest.raises(CommandError, match="Command incomplete"):
            con.configure(["router bgp 65001", "neighbor 192.0.2.1 remote-as"])
        con.configure(["router bgp 65001", "neighbor 192.0.2.1 remote-as 65002"])
        assert "neighbor 192.0.2.1 remote-as 65002" in bed.running_config()
        # Back in the exec state after configuring: commands run again.
        assert "192.0.2.1" in con.execute("show running-config")
        con.configure(["no router bgp 65001"])
        assert "router bgp" not in bed.running_config()
        # Longer than the terminal is wide: vtysh's line editor wraps its echo.
        long = "description " + "x" * 300
        assert con.configure(["interface lo", long, "no description"]) == ""
    finally:
        con.disconnect()

