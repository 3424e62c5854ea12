"""The network's state on real software: FRRouting's bgpd in a network
namespace peering over a veth pair with BIRD 2 in another, which announces
three prefixes (the getters, a change that shuts the neighbour failing its
checks and rolled back, --compare naming the session that went down);
lldpd in both namespaces for linux's lldp_neighbors(); a real sshd for
linux's facts()."""
import json
import os
import socket

import pytest

from tarvix.bases.connection import Connection
from tarvix.cli import main

import frrbed
import netbed
import sshdbed

pytestmark = pytest.mark.slow

PEER = netbed.ADDRESSES[1].split("/")[0]
BGP = ("router bgp 65001\n bgp router-id 10.9.0.1\n no bgp ebgp-requires-policy\n timers bgp 1 3\n"
       " neighbor %s remote-as 65002\n neighbor %s timers connect 1\nexit\n" % (PEER, PEER))
CHECKS = "bgp_neighbors: {default: {%s: {state: Established, prefixes_received: '>= 3'}}}\ninterfaces: {%s: {up: true}}\n"
# Seconds BGP may take to come up, here as after the rollback (BIRD and bgpd
# retry each second).
SETTLE = 8


def _established(con):
    """Whether the session came up with BIRD's three prefixes in time."""
    def up():
        session = con.bgp_neighbors().get("default", {}).get(PEER) or {}
        return session.get("up") and session.get("prefixes_received") == 3

    return netbed.wait_for(up, SETTLE)


def _inventory(folder, router):
    os.makedirs(folder)
    with open(os.path.join(folder, "hosts.yaml"), "w") as out:
        out.write("frr1:\n  platform: frr\n  connection_options:\n    tarvix:\n      extras: %s\n"
                  % json.dumps({"start": router.vtysh, "learn_hostname": True}))
    return folder


def test_frr_peers_with_bird_and_a_change_that_shuts_it_is_rolled_back(tmp_path, capsys):
    pytest.importorskip("nornir")
    pytest.importorskip("hier_config")
    with netbed.running("bird") as (pair, _), frrbed.started(netns=pair.names[0]) as router:
        con = Connection(hostname=None, start=router.vtysh, os="frr", learn_hostname=True, connection_timeout=20)
        with con:
            con.configure(BGP.splitlines())
            assert _established(con), con.execute("show bgp summary")
            session = con.bgp_neighbors()["default"][PEER]
            veth = con.interfaces()[pair.links[0]]
            before = con.running_config()
        assert (session["state"], session["remote_as"], session["prefixes_received"]) == ("Established", 65002, 3)
        assert veth["up"] and veth["enabled"] and netbed.ADDRESSES[0] in veth["addresses"]

        lab, snapshots = _inventory(str(tmp_path / "lab"), router), str(tmp_path / "snapshots")
        checks, wanted = tmp_path / "checks.yaml", tmp_path / "intended"
        checks.write_text(CHECKS % (PEER, pair.links[0]))
        wanted.mkdir()
        (wanted / "frr1.cfg").write_text(before.replace(" neighbor %s remote-as 65002\n" % PEER,
                                                        " neighbor %s remote-as 65002\n neighbor %s shutdown\n"
                                                        % (PEER, PEER)))
        assert main(["run", "--inventory", lab, "--snapshot", snapshots, "--check", str(checks)]) == 0
        capsys.readouterr()
        status = main(["run", "--inventory", lab, "--intended", str(wanted), "--check", str(checks), "--settle",
                       str(SETTLE), "--rollback-on-fail", "--compare", snapshots, "--json"])
        host = json.loads(capsys.readouterr().out)["hosts"][0]
        assert status == 1 and host["error"].endswith("rolled back, healthy again"), host["error"]
        assert host["config"]["changed"] and host["rollback"]["healthy"]
        failed = [check for check in host["checks"] if not check["passed"]]
        assert failed[0]["path"] == "bgp_neighbors.default[%s].state" % PEER and failed[0]["actual"] != "Established"
        assert {"path": "bgp_neighbors.default[%s].up" % PEER, "before": True, "after": False,
                "what": "session down"} in host["state_diff"]
        assert host["rollback"]["state"]["bgp_neighbors"]["default"][PEER]["prefixes_received"] == 3
        assert "shutdown" not in router.running_config()


def test_lldpd_neighbours_on_linux(tmp_path):
    with netbed.running("lldpd") as (pair, lldpd):
        path = "%s:/usr/sbin:/usr/bin:/sbin:/bin" % lldpd.bin(0)
        start = "ip netns exec %s env PATH=%s bash --norc --noprofile" % (pair.names[0], path)
        with Connection(hostname=socket.gethostname(), start=start, os="linux", learn_hostname=True) as con:
            neighbours = netbed.wait_for(lambda: con.lldp_neighbors().get(pair.links[0]), 15)
            interfaces = con.interfaces()
    assert neighbours == [{"system_name": "lldp-1", "port": pair.links[1]}]
    assert interfaces[pair.links[0]]["up"] and interfaces[pair.links[0]]["addresses"][0] == netbed.ADDRESSES[0]


def test_linux_facts_over_sshd():
    reason = sshdbed.missing(user=True)
    if reason:
        pytest.skip(reason)
    with sshdbed.Sshd(login_shell="/bin/bash") as server:
        with Connection(hostname=socket.gethostname(), start=server.url, os="linux", learn_hostname=True,
                        credentials=server.credentials, ssh={"host_key_checking": "off"}) as con:
            facts = con.facts()
    with open("/etc/os-release") as release:
        name = [line.split("=", 1)[1].strip().strip('"') for line in release if line.startswith("NAME=")][0]
    assert facts["hostname"] == socket.gethostname() and facts["os"] == name
    assert facts["version"] and facts["uptime"] > 0 and "lo" in facts["interfaces"]
    assert sorted(facts["interfaces"]) == sorted(os.listdir("/sys/class/net"))
