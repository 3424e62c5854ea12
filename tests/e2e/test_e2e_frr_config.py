"""Configuration as a transaction on real FRRouting: replace both ways, dry
run, idempotence and a refused line in the middle, over vtysh; a replace
whose link drops midway, over ssh://, brought back on a new connection;
two changes at once; vtysh's secret lines masked, its lists compared and
rewritten in order, the negations and removals it takes, its validation's
refusals and its notice after a daemon restarted."""
import json
import os
import pwd
import re
import threading
import time

import pytest

from tarvix.bases.connection import Connection
from tarvix.core.errors import CommandError, ConfigConflictError, ConfigCutShortError, ConfigError
from tarvix.eal import secrets

import frrbed

pytest.importorskip("hier_config", reason="replace_config needs the config extra (hier-config)")

BGP = """router bgp 65001
 bgp router-id 192.0.2.10
 neighbor 192.0.2.1 remote-as 65002
 neighbor 192.0.2.1 password bgp-Key-77
 neighbor 192.0.2.2 remote-as 65003
 !
 address-family ipv4 unicast
  network 10.10.0.0/16
  neighbor 192.0.2.1 route-map ALLOW in
 exit-address-family
exit
"""
STATIC = "ip route 10.20.0.0/16 192.0.2.254\nip route 10.30.0.0/16 blackhole\n"
INTERFACE = "interface lo\n description managed loopback\nexit\n"
ROUTE_MAP = "route-map ALLOW permit 10\n set local-preference 200\nexit\n"


@pytest.fixture(scope="module")
def con(tmp_path_factory):
    log = tmp_path_factory.mktemp("frr") / "session.log"
    with frrbed.started(ssh=True) as router:
        con = Connection(hostname=None, start=router.vtysh, os="frr", learn_hostname=True, connection_timeout=20,
                         session_log=str(log))
        con.connect()
        con.bed, con.log_path = router, log
        yield con
        con.disconnect()


def _base(con):
    """The bed's configuration before any of ours: its own header lines."""
    return "".join(line + "\n" for line in con.running_config().splitlines()
                   if line.startswith(("frr ", "hostname", "service", "log ", "no ipv6 forwarding")))


def test_replace_both_ways_dry_run_and_idempotence(con):
    base = _base(con)
    full = base + ROUTE_MAP + BGP + STATIC + INTERFACE
    dry = con.replace_config(full, dry_run=True)
    assert dry.changed and dry.dry_run and "+ neighbor 192.0.2.2 remote-as 65003" in dry.diff
    assert "router bgp" not in con.bed.running_config()
    change = con.replace_config(full)
    assert change.changed and con.config_diff(full) == ""
    assert " neighbor 192.0.2.1 password ****" in change.sent and "bgp-Key-77" not in change.diff
    assert "neighbor 192.0.2.1 route-map ALLOW in" in con.bed.running_config()
    again = con.replace_config(full)
    assert not again.changed and again.sent == []
    # Back the other way: a neighbour with its password and its address
    # family line, a network, a static route and the route map removed, a
    # description changed.
    smaller = (base + "router bgp 65001\n bgp router-id 192.0.2.10\n neighbor 192.0.2.2 remote-as 65003\nexit\n"
               + "ip route 10.30.0.0/16 blackhole\n" + INTERFACE.replace("managed", "spare"))
    change = con.replace_config(smaller)
    assert change.changed and con.config_diff(smaller) == ""
    running = con.bed.running_config()
    assert "neighbor 192.0.2.1 " not in running and "10.20.0.0" not in running and "route-map" not in running
    assert "description spare loopback" in running
    con.replace_config(base)
    assert "router bgp" not in con.bed.running_config()


def test_refused_line_in_the_middle_leaves_the_device_as_it_was(con):
    base = _base(con)
    con.replace_config(base + STATIC)
    before = con.bed.running_config()
    bad = base + "ip route 10.40.0.0/16 blackhole\nrouter bgp 65001\n neighbor 192.0.2.9 remote-as\nexit\n" + STATIC
    with pytest.raises(ConfigError) as caught:
        con.replace_config(bad)
    assert caught.value.undone is True and "neighbor 192.0.2.9 remote-as" in caught.value.command
    assert "Command incomplete" in str(caught.value)
    assert con.bed.running_config() == before


def test_a_save_that_writes_nothing_fails(con):
    # The bed's daemons read and write no file (-f /dev/null): "write memory"
    # cannot save, and says so.
    with pytest.raises(CommandError, match="Can't open configuration file"):
        con.save_config()


def _vtysh_pids(user):
    """The vtysh processes of the bed's ssh user: its sessions' shells."""
    uid, pids = pwd.getpwnam(user).pw_uid, []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/status" % pid) as status:
                fields = dict(line.split(":", 1) for line in status if ":" in line)
        except OSError:
            continue
        if fields.get("Name", "").strip() == "vtysh" and int(fields["Uid"].split()[0]) == uid:
            pids.append(int(pid))
    return pids


def test_a_replace_whose_link_drops_comes_back_on_a_new_connection(con):
    pytest.importorskip("ssh2", reason="the in-process SSH link needs ssh2-python")
    bed, base = con.bed, _base(con)
    con.replace_config(base)
    before = bed.running_config()

    def ssh():
        return Connection(hostname=None, start="ssh://%s@127.0.0.1:%d" % (bed.user, bed.ssh_port), os="frr",
                          learn_hostname=True, connection_timeout=20, ssh={"host_key_checking": False},
                          credentials={"default": {"username": bed.user, "password": frrbed.PASSWORD}})

    cut = ssh()
    cut.connect()
    send = cut.spawn.sendline

    def sendline(line):
        # The device's side ends as the static routes begin.
        if line.startswith("ip route 10.20.0.0/16"):
            for pid in _vtysh_pids(bed.user):
                os.kill(pid, 9)
            while _vtysh_pids(bed.user):
                time.sleep(0.05)
        return send(line)

    cut.spawn.sendline = sendline
    with pytest.raises(ConfigCutShortError) as caught:
        cut.replace_config(base + ROUTE_MAP + BGP + STATIC)
    cut.disconnect()
    error = caught.value
    assert error.acknowledged and error.sent[:len(error.acknowledged)] == error.acknowledged
    assert "bgp-Key-77" not in str(error) + "".join(error.sent) and "were acknowledged" in str(error)
    running = bed.running_config()
    assert "neighbor 192.0.2.1 password bgp-Key-77" in running and "10.20.0.0" not in running
    with ssh() as again:
        assert again.rollback_config(before=error.before).changed
    assert bed.running_config() == before


def test_changes_take_turns_and_another_clients_change_meanwhile_is_refused(con):
    base = _base(con)
    con.replace_config(base)
    other = Connection(hostname=None, start=con.bed.vtysh, os="frr", learn_hostname=True, connection_timeout=20)
    other.connect()
    plan, outcome = con._plan, {}

    def racing(*args):
        # A second connection's replace, while this one's is worked out, waits for its turn.
        racer = outcome["racer"] = threading.Thread(
            target=lambda: outcome.update(other=other.replace_config(base + INTERFACE)))
        racer.start()
        racer.join(0.5)
        outcome["waited"] = racer.is_alive()
        return plan(*args)

    con._plan = racing
    try:
        assert con.replace_config(base + STATIC).changed
        outcome["racer"].join(20)
        assert outcome["waited"] and outcome["other"].changed and other.config_diff(base + INTERFACE) == ""
        con._plan = lambda *args: (con.bed.vtysh_run("configure terminal", "ip route 10.66.0.0/16 blackhole"),
                                   plan(*args))[1]
        with pytest.raises(ConfigConflictError, match=r"changed since it was read .*nothing sent: 1 line"):
            con.replace_config(base + STATIC)
        running = con.bed.running_config()
        assert "ip route 10.66.0.0/16 blackhole" in running and "10.20.0.0" not in running
    finally:
        del con._plan
        other.disconnect()


def test_secret_lines_are_masked(con):
    base = _base(con)
    old, new = ("Frr-" + secrets.random_token(4) for _ in range(2))
    con.replace_config(base + "password %s\n" % old)
    # vtysh refuses "no password OLD": the change sends "no password".
    change = con.replace_config(base + "password %s\n" % new)
    assert "password %s" % new in con.bed.running_config() and "password ****" in change.sent
    shown = json.dumps(change.as_dict()) + con.config_diff(base) + con.log_path.read_text()
    assert old not in shown and new not in shown
    con.replace_config(base)


ORDERED = ("access-list A permit 10.1.0.0/16\naccess-list A deny any\n"
           "ip prefix-list P permit 10.2.0.0/16\nip prefix-list P deny any\n")
NUMBERED = "ip prefix-list N seq 5 permit 10.3.0.0/16\nip prefix-list N seq 10 deny any\n"


def test_lists_are_compared_and_rewritten_in_order(con):
    base = _base(con)
    con.replace_config(base + ORDERED + NUMBERED)
    # vtysh numbers the entries itself: the same unnumbered lists are no change.
    assert not con.replace_config(base + ORDERED + NUMBERED).changed
    swapped = "".join(pair[1] + pair[0] for pair in zip(*[iter(ORDERED.splitlines(True))] * 2))
    assert con.config_diff(base + swapped + NUMBERED)
    assert con.replace_config(base + swapped + NUMBERED).changed
    running = con.bed.running_config()
    assert re.search(r"access-list A seq 5 deny any\naccess-list A seq 10 permit 10.1.0.0/16", running)
    assert re.search(r"prefix-list P seq 5 deny any\nip prefix-list P seq 10 permit 10.2.0.0/16", running)
    # Numbered entries keep their place by their numbers, whatever the text's order.
    numbered = "".join(reversed(NUMBERED.splitlines(True)))
    assert not con.replace_config(base + swapped + numbered).changed
    con.replace_config(base)


def test_refusals_removals_and_the_notice_of_a_restarted_daemon(con):
    base = _base(con)
    full = base + ("interface lo\n description managed loopback\nexit\nrouter bgp 65001\n"
                   " neighbor 192.0.2.1 remote-as 65002\n neighbor 192.0.2.2 remote-as 65003\n"
                   " address-family ipv4 unicast\n  network 10.10.0.0/16\n"
                   "  neighbor 192.0.2.1 soft-reconfiguration inbound\n"
                   "  neighbor 192.0.2.2 soft-reconfiguration inbound\n exit-address-family\nexit\n")
    con.replace_config(full)
    # The interface is emptied ("no description"), 192.0.2.1 goes alone, its
    # address family's line with it, and 192.0.2.2's remote AS changes in
    # place, its settings kept.
    smaller = full.replace("interface lo\n description managed loopback\nexit\n", "").replace("65003", "65004")
    smaller = "".join(line for line in smaller.splitlines(True) if "192.0.2.1" not in line)
    assert con.replace_config(smaller).changed and con.config_diff(smaller) == ""
    assert "neighbor 192.0.2.2 soft-reconfiguration inbound" in con.bed.running_config()
    # What a daemon's validation refuses.
    with pytest.raises(ConfigError, match="Configuration failed") as refused:
        con.replace_config(smaller + "ip prefix-list X seq 5 permit 10.0.0.0/8 ge 4\n")
    assert refused.value.undone
    con.bed.restart("zebra")
    # Our vtysh says it reconnected at the top of what it shows next: no
    # configuration, nothing to change (the configuration as another vtysh
    # shows it).
    assert not con.replace_config(con.bed.running_config()).changed
    assert "Warning: connecting to zebra...success!" in con.log_path.read_text()
    con.replace_config(_base(con))
