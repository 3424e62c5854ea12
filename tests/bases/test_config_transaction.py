"""Configuration as a transaction on the simulated generic router: replace,
merge, dry runs, idempotence, a refused line undone, rollback and save; the
hierarchy-aware diff and the masking of secrets in configuration lines."""
import sys

import pytest

from tarvix import simulator
from tarvix.bases.config import tree
from tarvix.bases.connection import Connection
from tarvix.core.errors import ConfigError, RemediationUnavailableError, TarvixError
from tarvix.eal import secrets

INTENDED = """hostname r1
no logging console
username ops privilege 15 secret Sim-Secret-5
interface Loopback0
 description managed
 ip address 10.0.0.1 255.255.255.255
router bgp 65001
 neighbor 192.0.2.1 remote-as 65002
 address-family ipv4 unicast
  network 10.0.0.0 mask 255.0.0.0
route-map ALLOW permit 10
 set local-preference 200
ip route 10.9.0.0 255.255.0.0 Null0
"""
BAD = "ip route 10.8.0.0 255.255.0.0 Null0"

try:
    import hier_config  # noqa: F401

    NO_REMEDIATION = None
except ImportError:
    NO_REMEDIATION = "replace_config needs the config extra (hier-config)"
needs_remediation = pytest.mark.skipif(NO_REMEDIATION is not None, reason=NO_REMEDIATION or "")


@pytest.fixture
def con(tmp_path):
    con = Connection(hostname="r1", start=simulator.command("r1", "--reject", BAD),
                     session_log=str(tmp_path / "session.log"))
    con.connect()
    yield con
    con.disconnect()


@needs_remediation
def test_replace_round_trip_one_round_and_idempotent(con, tmp_path):
    diff = con.config_diff(INTENDED)
    assert "+username ops privilege 15 " in diff and "Sim-Secret-5" not in diff
    dry = con.replace_config(INTENDED, dry_run=True)
    assert dry.dry_run and dry.changed and "router bgp 65001" not in con.running_config()
    change = con.replace_config(INTENDED)
    assert change.changed and change.sent == dry.sent
    assert "Sim-Secret-5" not in "".join(change.sent) and change.sent[0].startswith("username ops privilege 15 ")
    assert change.sent[0].endswith(" ****")
    assert con.config_diff(INTENDED) == "" and tree.parse(con.running_config()) == tree.parse(INTENDED)
    assert not con.replace_config(INTENDED).changed
    log = (tmp_path / "session.log").read_text()
    assert "Sim-Secret-5" not in log and log.count("r1#configure terminal") == 2  # setup, then one round
    smaller = INTENDED.replace(" neighbor 192.0.2.1 remote-as 65002\n", "").replace("managed", "spare")
    con.replace_config(smaller)
    assert con.config_diff(smaller) == "" and "192.0.2.1" not in con.running_config()
    back = con.rollback_config()
    assert back.changed and con.config_diff(INTENDED) == ""


@needs_remediation
def test_refused_line_undoes_the_change(con):
    con.replace_config(INTENDED)
    before = con.running_config()
    with pytest.raises(ConfigError) as caught:
        con.replace_config(INTENDED.replace("description managed", "description other") + BAD + "\n")
    assert caught.value.command == BAD and caught.value.undone is True and "Invalid input" in str(caught.value)
    assert con.running_config() == before


@needs_remediation
def test_merge_adds_without_removing_and_save(con):
    con.replace_config(INTENDED)
    change = con.merge_config(["interface Loopback1", " description added"])
    assert change.sent == ["interface Loopback1", " description added", "exit"]
    # Nothing of the intended configuration went: only Loopback1 is more.
    assert con.config_diff(INTENDED).splitlines()[2:] == ["-interface Loopback1", "- description added"]
    assert not con.merge_config("interface Loopback1\n description added\n").changed
    assert "Loopback1" not in con.execute("show startup-config")
    con.replace_config(INTENDED, save=True)
    assert con.execute("show startup-config").strip() == con.running_config().strip() + "\nend"
    with pytest.raises(TarvixError, match="confirm= is refused"):
        con.replace_config(INTENDED, confirm=60)


def test_without_hier_config_replace_says_so_and_the_rest_works(con, monkeypatch):
    monkeypatch.setitem(sys.modules, "hier_config", None)
    with pytest.raises(RemediationUnavailableError, match="pip install hier-config"):
        con.replace_config(INTENDED)
    assert con.merge_config("interface Loopback3\n description merged\n").changed
    assert con.config_diff(con.running_config()) == ""


@pytest.mark.parametrize("before, after, expected", [
    ("a\nb\n", "a\nb\n", ""),
    ("router bgp 1\n neighbor x remote-as 2\n", "router bgp 1\n neighbor x remote-as 3\n",
     " router bgp 1\n- neighbor x remote-as 2\n+ neighbor x remote-as 3"),
    ("interface A\n mtu 1500\ninterface B\n", "interface B\ninterface A\n mtu 1500\n", ""),
    ("x\n", "x\ny\n y1\n", "+y\n+ y1"),
    ("!\nx\nend\n", "x\n", ""),
])
def test_hierarchical_diff(before, after, expected):
    diff = tree.diff(before, after, noise=[r"^!", r"^end$"])
    assert diff == ("--- running\n+++ intended\n%s\n" % expected if expected else "")


@pytest.mark.parametrize("line, value", [
    ("username a privilege 15 secret 5 $1$x", "$1$x"),
    ("enable secret s3cr3t", "s3cr3t"),
    (" neighbor 192.0.2.1 password two words", "two words"),
    (" ip ospf authentication-key 7 0822455D", "0822455D"),
    (" description password rotation", None),
])
def test_config_secrets_found(line, value):
    assert secrets.config_secret(line) == value
    if value:
        assert value not in secrets.mask_config([line])[0]


@needs_remediation
def test_dual_rp_changes_the_active(tmp_path):
    with Connection(hostname="r2", start=simulator.pair("r2", str(tmp_path), active="b")) as con:
        intended = INTENDED.replace("hostname r1", "hostname r2")
        assert con.replace_config(intended).changed and con.config_diff(intended) == ""
        assert "router bgp 65001" in con.execute("show running-config", target="b")
        assert "router bgp 65001" not in con.execute("show running-config", target="a")
