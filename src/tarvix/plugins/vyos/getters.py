"""The getters of the vyos CLI, from its reports' lines (see
tarvix.state.mapping)."""
from tarvix.state.mapping import Getters, Read

_INTERFACE_ROW = (r"^(?P<name>\S+)\s+(?P<address>\S+)\s+(?P<admin>[uAD])/(?P<link>[uD])"
                  r"(?:\s+(?P<description>\S.*?))?\s*$")
_INTERFACE_SKIP = [r"^Codes:", r"^Interface\s+IP Address", r"^-+\s"]

GETTERS = Getters(
    "vyos",
    facts=[Read("show version", format="search", find=[r"^Version:\s+(?P<version>\S.*?)\s*$"],
                maybe=[r"^Hardware model:\s+(?P<model>\S.*?)\s*$", r"^Hardware S/N:\s+(?P<serial>\S.*?)\s*$",
                       r"^Uptime:\s+(?P<uptime>\S.*?)\s*$"],
                fields={"os": "=vyos", "version": "version", "model": "model", "serial": "serial",
                        "uptime": "uptime|duration"}),
           Read("show host name", format="search", find=[r"^(?P<hostname>\S+)\s*$"], fields={"hostname": "hostname!"}),
           Read("show interfaces", format="text", row=_INTERFACE_ROW, skip=_INTERFACE_SKIP,
                fields={"interfaces": "*name"})],
    interfaces=Read("show interfaces", format="text", row=_INTERFACE_ROW, skip=_INTERFACE_SKIP, key="name", fields={
        "name": "name", "up": "link|is:u", "enabled": "admin|is:A|not", "description": "description",
        "addresses": "address|list|drop:^-$"}),
    bgp_neighbors=Read("show ip bgp summary", format="text", none=r"No BGP neighbors found", key=("vrf", "peer"),
                       row=r"^(?P<peer>[\d.]+|[\da-fA-F:]+)\s+4\s+(?P<as>\d+)\s+\d+\s+\d+\s+\d+\s+\d+\s+\d+\s+"
                           r"(?P<updown>\S+)\s+(?P<state>\S.*?)\s+\d+\s+\S+\s*$",
                       skip=[r"Unicast Summary", r"^BGP router identifier", r"^BGP table version", r"^RIB entries",
                             r"^Peers \d", r"^Neighbor\s+V", r"^Total number of neighbors"],
                       fields={"vrf": "=default", "peer": "peer", "remote_as": "as|int",
                               "state": "state|match:^(\\D.*)$|default:Established", "up": "state|matches:^\\d+$",
                               "uptime": "updown|duration", "prefixes_received": "state|match:^(\\d+)$|default:0|int"}),
    lldp_neighbors=Read("show lldp neighbors", format="text", key="interface", group=True,
                        row=r"^(?P<system>\S+)\s+(?P<interface>\S+)\s+LLDP\s+\S+\s+\S+\s+(?P<port>\S+)\s*$",
                        skip=[r"^Capability Codes", r"^\s+D - Docsis", r"^Device ID", r"^-+\s"],
                        fields={"interface": "interface", "system_name": "system", "port": "port"}),
)
