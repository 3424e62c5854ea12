"""Configuration as a transaction on the simulated generic router: replace,
merge, dry runs, idempotence, a refused line undone, rollback and save; the
hierarchy-aware diff; the masking of the secrets each dialect's lines hold;
ordered lists compared and rewritten in order; vtysh's refusals and noise."""
import contextlib
import json
import logging
import sys
import threading

import pytest

from tarvix import simulator
from tarvix.bases.config import tree
from tarvix.bases.connection import Connection, plugin_class
from tarvix.core.errors import (CommandError, ConfigConflictError, ConfigCutShortError, ConfigError, LinkError,
                                RemediationUnavailableError, TarvixError)
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


@pytest.mark.parametrize("os_name, line, values", [
    ("generic", "username a privilege 15 secret 5 $1$x", ["$1$x"]),
    ("generic", " password 7 Vty-Pw", ["Vty-Pw"]),
    ("generic", "snmp-server user u1 g1 v3 auth sha Auth-Pw priv aes 128 Priv-Pw", ["Auth-Pw", "Priv-Pw"]),
    ("generic", "crypto isakmp key Ike-Pw address 192.0.2.1", ["Ike-Pw"]),
    ("generic", "no neighbor 192.0.2.1 password two words", ["two words"]),
    ("generic", " ip ospf authentication-key 7 0822455D", ["0822455D"]),
    ("generic", " description password rotation", []),
    ("frr", "password Vty-Pw", ["Vty-Pw"]),
    ("frr", "enable password 8 En-Pw", ["En-Pw"]),
    ("eos", "username ops secret sha512 $6$x", ["$6$x"]),
    ("junos", 'set system root-authentication encrypted-password "$6$x"', ["$6$x"]),
    ("vyos", "set system login user ops authentication plaintext-password Ops-Pw", ["Ops-Pw"]),
    ("vrp", " local-user ops password irreversible-cipher Ops-Pw", ["Ops-Pw"]),
    ("fastiron", "enable super-user-password Su-Pw", ["Su-Pw"]),
])
def test_each_dialect_names_its_secret_lines(os_name, line, values):
    patterns = plugin_class(os_name).dialect.config_secrets
    assert secrets.config_secrets(line, patterns) == values
    # (By the patterns alone: a test before may have made a word of the line a known secret.)
    masked = secrets.mask_lines([line], patterns)[0]
    assert not any(value in masked for value in values) and masked.count(secrets.MASK) == len(values)


SECRET_LINES = """line vty 0 4
 password %s
snmp-server user u1 g1 v3 auth sha %s priv aes 128 %s
crypto isakmp key %s address 192.0.2.1
"""


@needs_remediation
def test_secret_lines_are_masked_in_everything_shown(con, tmp_path, caplog):
    caplog.set_level(logging.DEBUG, logger="tarvix")
    values = ["S3c-" + secrets.random_token(4) for _ in range(5)]
    lines = SECRET_LINES % tuple(values[:4])
    con.configure(["snmp-server community %s RO" % values[4]])
    change = con.replace_config(INTENDED + lines)
    assert change.changed and " password ****" in change.sent
    with pytest.raises(ConfigError) as refused:
        con.replace_config(INTENDED + lines.replace(values[0], "New-" + values[0]) + BAD + "\n")
    shown = [json.dumps(change.as_dict()), str(refused.value), con.config_diff(INTENDED), caplog.text,
             (tmp_path / "session.log").read_text()]
    assert [value for value in values if any(value in text for text in shown)] == []


# os: (the intended configuration, the same with the entries of its
# ordered lists swapped, what keeps its place by its numbers (or is no
# list), the same swapped)
ORDERED = {
    "generic": ("access-list 10 permit 10.0.0.0 0.255.255.255\naccess-list 10 deny any\n"
                "ip prefix-list P permit 10.0.0.0/8\nip prefix-list P deny 0.0.0.0/0 le 32\n",
                "access-list 10 deny any\naccess-list 10 permit 10.0.0.0 0.255.255.255\n"
                "ip prefix-list P deny 0.0.0.0/0 le 32\nip prefix-list P permit 10.0.0.0/8\n",
                "route-map RM permit 10\n set local-preference 200\nroute-map RM deny 20\n",
                "route-map RM deny 20\nroute-map RM permit 10\n set local-preference 200\n"),
    "junos": ("set policy-options policy-statement P term a from protocol bgp\n"
              "set policy-options policy-statement P term a then accept\n"
              "set policy-options policy-statement P term b then reject\n",
              "set policy-options policy-statement P term b then reject\n"
              "set policy-options policy-statement P term a from protocol bgp\n"
              "set policy-options policy-statement P term a then accept\n",
              "set system syslog host 192.0.2.9 any any\nset system location building b1\n",
              "set system location building b1\nset system syslog host 192.0.2.9 any any\n"),
}


@pytest.mark.parametrize("os_name", sorted(ORDERED))
def test_ordered_lists_are_compared_and_rewritten_in_order(os_name):
    first, swapped, numbered, numbered_swapped = ORDERED[os_name]
    with Connection(hostname="r1", start=simulator.command("r1", "--dialect", os_name), os=os_name) as con:
        base = con.running_config()
        con.merge_config(first + numbered)
        # The diff needs no hier-config; a replace of the hierarchy does.
        assert "+" + swapped.splitlines()[-1] in con.config_diff(base + swapped + numbered)
        if NO_REMEDIATION and con.dialect.config_style == "hierarchy":
            pytest.skip(NO_REMEDIATION)
        dry = con.replace_config(base + swapped + numbered, dry_run=True)
        assert dry.changed and dry.diff
        assert con.replace_config(base + swapped + numbered).changed
        running = con.running_config()
        assert [line for line in running.splitlines() if line in swapped] == swapped.splitlines()
        assert not con.replace_config(base + swapped + numbered).changed
        # Lines that keep their place by their own numbers (or are no list) swapped: nothing changes.
        assert con.config_diff(base + swapped + numbered_swapped) == ""


@needs_remediation
def test_vtysh_refusals_and_noise_on_the_simulator():
    rejected = "ip prefix-list X seq 5 permit 10.0.0.0/8 ge 4"
    start = simulator.command("r1", "--dialect", "frr", "--reject", rejected,
                              "--running-notice", "Warning: connecting to zebra...success!")
    with Connection(hostname="r1", start=start, os="frr") as con:
        base = con.running_config()
        assert "Warning" not in base
        full = base + ("interface lo\n description managed\nrouter bgp 65001\n neighbor 192.0.2.1 remote-as 65002\n"
                       " neighbor 192.0.2.2 remote-as 65003\n address-family ipv4 unicast\n  network 10.0.0.0/8\n"
                       "  neighbor 192.0.2.1 soft-reconfiguration inbound\n"
                       "  neighbor 192.0.2.2 soft-reconfiguration inbound\n")
        con.replace_config(full)
        # The description goes as "no description"; 192.0.2.1 goes alone, its
        # address family's line with it; 192.0.2.2's remote AS changes in place.
        smaller = full.replace(" description managed\n", "").replace("65003", "65004")
        smaller = "\n".join(line for line in smaller.splitlines() if "192.0.2.1" not in line) + "\n"
        assert con.replace_config(smaller).changed and con.config_diff(smaller) == ""
        with pytest.raises(ConfigError, match="Configuration failed") as refused:
            con.replace_config(smaller + rejected + "\n")
        assert refused.value.undone and con.config_diff(smaller) == ""


@needs_remediation
def test_dual_rp_changes_the_active(tmp_path):
    with Connection(hostname="r2", start=simulator.pair("r2", str(tmp_path), active="b")) as con:
        intended = INTENDED.replace("hostname r1", "hostname r2")
        assert con.replace_config(intended).changed and con.config_diff(intended) == ""
        assert "router bgp 65001" in con.execute("show running-config", target="b")
        assert "router bgp 65001" not in con.execute("show running-config", target="a")



@contextlib.contextmanager
def _served(hostname, *options, **more):
    """A served simulated router, whose sessions share its configuration as
    a device's do; yields how to connect to it."""
    from tarvix.simulator import server

    if not server.available():
        pytest.skip("needs asyncssh (tarvix[serve])")
    with server.serving([{"hostname": hostname, "password": "pw", "options": list(options)}]) as served:
        def connect():
            con = Connection(hostname=hostname, start="ssh://admin@127.0.0.1:%d" % served.ports[hostname][0],
                             ssh={"host_key_checking": "off"}, connection_timeout=10, os=more.get("os", "generic"),
                             credentials={"default": {"username": "admin", "password": "pw"}})
            con.connect()
            return con

        yield connect


@needs_remediation
def test_a_replace_cut_short_tells_what_was_acknowledged_and_comes_back_on_a_new_connection(tmp_path):
    hung = "ip route 10.7.0.0 255.255.0.0 Null0"
    kept = tmp_path / "cut1.before.cfg"
    with _served("cut1", "--hang", hung) as connect:
        con = connect()
        before = con.running_config()
        with pytest.raises(ConfigCutShortError) as caught:
            con.replace_config(INTENDED.replace("r1", "cut1").replace("no logging console\n", "") + hung + "\n", timeout=0.5, keep_before=str(kept))
        con.disconnect()
        error = caught.value
        assert isinstance(error, LinkError) and error.undone is False and error.command == hung
        assert error.acknowledged and error.sent == error.acknowledged + [hung]
        assert "were acknowledged" in str(error) and repr(error.acknowledged[0]) in str(error)
        assert "Sim-Secret-5" not in str(error) + "".join(error.sent)
        assert error.before == before == kept.read_text() and oct(kept.stat().st_mode)[-3:] == "600"
        with connect() as again:
            assert "router bgp 65001" in again.running_config()
            with pytest.raises(TarvixError, match=r"rollback_config\(before=TEXT\)"):
                again.rollback_config()
            assert again.rollback_config(before=kept.read_text()).changed
            assert again.running_config() == before


@needs_remediation
def test_changes_of_one_device_take_turns_and_one_changed_meanwhile_is_refused():
    with _served("turn1") as connect:
        first, second, other = connect(), connect(), connect()
        mine, theirs = INTENDED.replace("r1", "turn1"), INTENDED.replace("r1", "turn1").replace("managed", "theirs")
        plan, outcome = first._plan, {}

        def racing(*args):
            # While the first change is worked out, a second connection of
            # this process replaces too: it waits for its turn.
            racer = threading.Thread(target=lambda: outcome.update(second=second.replace_config(theirs)))
            racer.start()
            racer.join(0.5)
            outcome["waited"] = racer.is_alive()
            outcome["racer"] = racer
            return plan(*args)

        first._plan = racing
        assert first.replace_config(mine).changed
        outcome["racer"].join(10)
        assert outcome["waited"] and outcome["second"].changed and second.config_diff(theirs) == ""
        # Another client's change between the read and the sending fails
        # the change in one line, nothing sent.
        first._plan = lambda *args: (other.configure(["ip route 10.66.0.0 255.255.0.0 Null0"]), plan(*args))[1]
        with pytest.raises(ConfigConflictError, match=r"changed since it was read .* nothing sent: 1 line") as caught:
            first.replace_config(mine)
        assert len(str(caught.value).splitlines()) == 1
        assert second.config_diff(theirs) == "--- running\n+++ intended\n-ip route 10.66.0.0 255.255.0.0 Null0\n"
        for con in (first, second, other):
            con.disconnect()


def test_a_junos_change_takes_the_configuration_for_itself():
    with _served("jx1", "--dialect", "junos", os="junos") as connect:
        mine, theirs = connect(), connect()
        send, refused = mine.spawn.sendline, []

        def sendline(*line):
            # Another session configures while this change is staged.
            if line and line[0].startswith("set system location"):
                with pytest.raises(CommandError) as caught:
                    theirs.configure(["set system host-name other"])
                refused.append(str(caught.value))
            return send(*line)

        mine.spawn.sendline = sendline
        assert mine.replace_config("set system host-name jx1\nset system location building b1\n").changed
        assert len(refused) == 1 and "configuration database locked by" in refused[0]
        # Free again once the change left the configuration mode.
        theirs.configure(["set system location floor 2"])
        assert "set system location floor 2" in mine.running_config()
        for con in (mine, theirs):
            con.disconnect()
