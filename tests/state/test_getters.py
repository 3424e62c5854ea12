"""The getters on the simulator in every dialect (read from its
configuration: a BGP neighbour configured, then shut), and what they do
with output their platform's data cannot read, or a getter the platform
has not."""
import importlib.util
import sys
import threading

import pytest

from tarvix.bases.connection import Connection
from tarvix.core.errors import NotSupportedError, ParseError
from tarvix.plugins.frr.getters import GETTERS as FRR
from tarvix.plugins.generic.getters import GETTERS as GENERIC
from tarvix.plugins.vyos.getters import GETTERS as VYOS
from tarvix.state import convert
from tarvix.state.api import StateApi

PEER = "10.9.0.2"
# Per dialect: the lines that make the neighbour, those that shut it, and
# an interface and the lines that describe it (None: its report shows no description).
HIERARCHY = (["router bgp 65001", "neighbor %s remote-as 65002" % PEER], ["router bgp 65001", "neighbor %s shutdown" % PEER])
SET = (["set protocols bgp group ext neighbor %s peer-as 65002" % PEER],
       ["set protocols bgp group ext neighbor %s shutdown" % PEER])
DIALECTS = {
    "generic": HIERARCHY + (("GigabitEthernet0/0", ["interface GigabitEthernet0/0", "description uplink"]),),
    "frr": HIERARCHY + (("eth0", ["interface eth0", "description uplink"]),),
    "eos": HIERARCHY + (("Ethernet1", ["interface Ethernet1", "description uplink"]),),
    "fastiron": HIERARCHY + (("1/1/1", ["interface ethernet 1/1/1", "description uplink"]),),
    "vrp": (["bgp 65001", "peer %s as-number 65002" % PEER], ["bgp 65001", "peer %s ignore" % PEER], None),
    "junos": SET + (("ge-0/0/0", ["set interfaces ge-0/0/0 description uplink"]),),
    "commit": SET + (None,),
    "vyos": (["set protocols bgp system-as 65001", "set protocols bgp neighbor %s remote-as 65002" % PEER],
             ["set protocols bgp neighbor %s shutdown" % PEER], ("eth0", ["set interfaces ethernet eth0 description uplink"])),
}


# The generic router's reports are read by ntc-templates' templates (the
# "parse" extra).
TEMPLATES = pytest.mark.skipif(importlib.util.find_spec("ntc_templates") is None,
                               reason="the generic router's getters need ntc-templates, not installed here")


def _simulated(dialect):
    start = "%s -m tarvix.simulator --hostname r1 --dialect %s --start-state enable" % (sys.executable, dialect)
    return Connection(hostname="r1", start=start, os=dialect, connection_timeout=20)


@pytest.mark.parametrize("dialect", [pytest.param(name, marks=TEMPLATES) if name == "generic" else name
                                     for name in sorted(DIALECTS)])
def test_every_getter_of_every_dialect_follows_the_configuration(dialect):
    neighbour, shut, description = DIALECTS[dialect]
    with _simulated(dialect) as con:
        before = con.state()
        con.configure(neighbour + (description[1] if description else []))
        after = con.state()
        con.configure(shut)
        down = con.bgp_neighbors()
    facts, interfaces = after["facts"], after["interfaces"]
    assert facts["hostname"] == "r1" and facts["version"] == "1.0" and list(interfaces) == facts["interfaces"]
    assert all(entry["enabled"] or not entry["up"] for entry in interfaces.values())
    assert any(entry["addresses"] for entry in interfaces.values()) == (dialect != "fastiron")
    described = [name for name, entry in interfaces.items() if entry["description"] == "uplink"]
    assert described == ([description[0]] if description else [])
    assert before["bgp_neighbors"] == {}
    session = after["bgp_neighbors"]["default"][PEER]
    assert (session["remote_as"], session["state"], session["up"], session["prefixes_received"]) == (
        65002, "Established", True, 3)
    assert down["default"][PEER]["up"] is False and down["default"][PEER]["prefixes_received"] == 0
    if dialect == "frr":  # vtysh has no LLDP
        assert "lldp_neighbors" not in after
    else:
        assert [neighbour["system_name"] for neighbours in after["lldp_neighbors"].values()
                for neighbour in neighbours] == ["r1-peer"]


class Canned(StateApi):
    """A connection whose commands answer the outputs given."""

    def __init__(self, getters, outputs, os="frr"):
        self.getters, self.outputs, self.os = getters, outputs, os
        self.hostname, self.template_platform, self._lock = "r9", "cisco_ios", threading.RLock()
        self.sent = []

    def execute(self, command):
        self.sent.append(command)
        return self.outputs[command]


@pytest.mark.parametrize("getters,command,output,line", [
    (FRR, "show bgp vrf all summary json", '{\n "default": {"ipv4Unicast": {"peers": {\n  "10.9.0.2": {oops', '  "10.9.0.2": {oops'),
    (FRR, "show bgp vrf all summary json", '{"default": {"ipv4Unicast": {"peers": {"10.9.0.2": {"remoteAs": 1}}}}}',
     '{"remoteAs": 1}'),
    (VYOS, "show interfaces", "Interface        IP Address    S/L  Description\neth0  192.0.2.1/24  u/u\n%garbled line",
     "%garbled line"),
    pytest.param(GENERIC, "show ip bgp summary", "Unrecognised report\nof no kind", "Unrecognised report", marks=TEMPLATES),
], ids=["not-json", "no-state", "text-line", "template-reads-nothing"])
def test_an_output_the_data_cannot_read_is_a_parse_error(getters, command, output, line):
    con = Canned(getters, {command: output})
    getter = "bgp_neighbors" if "bgp" in command else "interfaces"
    with pytest.raises(ParseError) as caught:
        getattr(con, getter)()
    assert (caught.value.platform, caught.value.command, caught.value.line) == (getters.platform, command, line)
    assert getters.platform in str(caught.value) and repr(command) in str(caught.value) and line[:20] in str(caught.value)


def test_a_getter_the_platform_has_not_is_not_supported():
    con = Canned(FRR, {})
    with pytest.raises(NotSupportedError, match=r"r9: the frr platform has no getter lldp_neighbors\(\)"):
        con.lldp_neighbors()
    with pytest.raises(NotSupportedError, match="lldp_neighbors"):
        con.state(["facts", "lldp_neighbors"])
    assert con.sent == []


@pytest.mark.parametrize("text,seconds", [("1d02h", 93600), ("3w2d", 1987200), ("00:01:02", 62), ("05:07", 307),
                                          ("2 days, 01:02:03", 176523), ("1 year, 2 weeks, 5 minutes", 32745900),
                                          ("0h5m0s", 300), ("never", None), ("42", 42)])
def test_durations_as_devices_write_them(text, seconds):
    assert convert.duration(text) == seconds
