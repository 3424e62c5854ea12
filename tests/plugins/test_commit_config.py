"""Configuration as a transaction on the commit dialect (the example
plugin and the simulator's commit console): one candidate, one commit, the
candidate dropped when refused, confirmed commits and rollback."""
import time

import pytest

from tarvix import simulator
from tarvix.bases.connection import Connection
from tarvix.core.errors import ConfigError

START = simulator.command("r1", "--dialect", "commit", "--reject", "set snmp bad", "--minute", "0.5")
INTENDED = "set system host-name r1\nset interfaces lo0 unit 0\nset protocols bgp group ext peer-as 65002\n"


@pytest.fixture
def con():
    with Connection(hostname="r1", start=START, os="commit", learn_hostname=True, connection_timeout=10) as con:
        yield con


def test_replace_in_one_commit_refused_candidate_dropped_and_rollback(con):
    con.configure(["set system old", "set interfaces lo0 unit 0"])
    change = con.replace_config(INTENDED)
    assert change.sent == ["delete system old", "set system host-name r1", "set protocols bgp group ext peer-as 65002"]
    assert con.config_diff(INTENDED) == "" and not con.replace_config(INTENDED).changed
    with pytest.raises(ConfigError) as caught:
        con.replace_config(INTENDED + "set snmp bad\n")
    assert caught.value.undone is True and "not valid here" in str(caught.value)
    assert con.config_diff(INTENDED) == ""
    con.replace_config("set system other\n")
    con.rollback_config()
    assert con.config_diff(INTENDED) == ""


@pytest.mark.parametrize("confirmed", [True, False])
def test_confirmed_commit_kept_only_when_confirmed(con, confirmed):
    con.replace_config(INTENDED)
    con.replace_config("set system trial\n", confirm=20)
    assert con.running_config() == "set system trial\n"
    if confirmed:
        con.confirm_config()
    time.sleep(0.7)
    assert con.running_config() == ("set system trial\n" if confirmed else INTENDED)


def test_a_confirm_out_of_range_is_refused_before_anything_is_sent(con):
    before = con.running_config()
    for confirm in (0, -30, True, 0.5, float("nan"), "60"):
        with pytest.raises(ValueError, match=r"confirm= is a number of seconds, 1 or more"):
            con.replace_config("set system trial\n", confirm=confirm)
    assert con.running_config() == before
