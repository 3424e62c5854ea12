"""Configuration as a transaction on the commit-style platforms' simulated
CLIs (junos, vyos, vrp, eos sessions): a replace in one commit, idempotent,
a refused line leaving the running configuration as it was, a confirmed
commit undone by the device unless confirmed (or refused in one line where
the CLI has none), and rollback."""
import time

import pytest

from tarvix import simulator
from tarvix.bases.connection import Connection
from tarvix.core.errors import ConfigError, TarvixError

pytest.importorskip("hier_config")

SET_LINES = ["set system host-name r1", "set interfaces lo0 unit 0", "set protocols bgp group ext peer-as 65002"]
# os: (the intended configuration, a line the device refuses, whether the
# CLI has a confirmed commit)
PLATFORMS = {
    "junos": ("\n".join(SET_LINES) + "\n", "set snmp location bad", True),
    "vyos": ("\n".join(SET_LINES) + "\n", "set snmp location bad", True),
    "vrp": ("sysname r1\ninterface LoopBack0\n description managed\nbgp 65001\n peer 192.0.2.1 as-number 65002\n",
            "ip route-static 10.8.0.0 16 NULL0", False),
    "eos": ("hostname r1\ninterface Loopback0\n description managed\nrouter bgp 65001\n"
            " neighbor 192.0.2.1 remote-as 65002\n", "ip route 10.8.0.0/16 Null0", True),
}


@pytest.mark.parametrize("os_name", sorted(PLATFORMS))
def test_replace_refuse_confirm_and_rollback(os_name):
    intended, bad, confirms = PLATFORMS[os_name]
    start = simulator.command("r1", "--dialect", os_name, "--reject", bad, "--minute", "0.5")
    with Connection(hostname="r1", start=start, os=os_name, learn_hostname=True, connection_timeout=10) as con:
        assert con.replace_config(intended).changed and con.config_diff(intended) == ""
        assert not con.replace_config(intended).changed
        with pytest.raises(ConfigError) as caught:
            con.replace_config(intended + bad + "\n")
        assert caught.value.undone is True and con.config_diff(intended) == ""
        trial = intended.replace("65002", "65003")
        if not confirms:
            with pytest.raises(TarvixError, match="confirm= is refused"):
                con.replace_config(trial, confirm=20)
        else:
            con.replace_config(trial, confirm=20)
            assert con.config_diff(trial) == ""
            time.sleep(0.7)
            assert con.config_diff(intended) == ""
        con.replace_config(trial)
        con.rollback_config()
        assert con.config_diff(intended) == ""
