"""The getters of the fastiron CLI, from its reports' lines (see
tarvix.state.mapping)."""
from tarvix.state.mapping import Getters, Read

_PORT_ROW = (r"^(?P<name>\S+)\s+(?P<link>Up|Down|Disabled?)\s+\S+\s+\S+\s+\S+\s+\S+\s+\S+\s+\S+\s+\S+\s+"
             r"(?P<mac>[\da-fA-F]{4}\.[\da-fA-F]{4}\.[\da-fA-F]{4})(?:\s+(?P<description>\S.*?))?\s*$")

GETTERS = Getters(
    "fastiron",
    facts=[Read("show version", format="search", find=[r"^\s*SW: Version (?P<version>\S+)"],
                maybe=[r"^\s*HW: (?P<model>\S.*?)\s*$", r"^\s*Serial\s+#:\s*(?P<serial>\S+)",
                       r"system uptime is (?P<uptime>\S.*?)\s*$"],
                fields={"os": "=fastiron", "version": "version", "model": "model", "serial": "serial",
                        "uptime": "uptime|duration"}),
           Read("show running-config | include hostname", format="search", find=[r"^\s*hostname (?P<hostname>\S+)"],
                fields={"hostname": "hostname!"}),
           Read("show interfaces brief", format="text", row=_PORT_ROW, skip=[r"^Port\s+Link"],
                fields={"interfaces": "*name"})],
    interfaces=Read("show interfaces brief", format="text", row=_PORT_ROW, skip=[r"^Port\s+Link"], key="name",
                    fields={"name": "name", "up": "link|is:Up", "enabled": "link|matches:^Disable|not",
                            "description": "description", "mac": "mac|mac"}),
    bgp_neighbors=Read("show ip bgp summary", format="text", key=("vrf", "peer"),
                       row=r"^\s*(?P<peer>[\d.]+)\s+(?P<as>\d+)\s+(?P<state>\S+)\s+(?P<time>\S+)\s+(?P<accepted>\d+)"
                           r"\s+\d+\s+\d+\s+\d+\s*$",
                       skip=[r"BGP4 Summary", r"Router ID:", r"Number of", r"Neighbor Address"],
                       fields={"vrf": "=default", "peer": "peer", "remote_as": "as|int",
                               "state": "state|map:ESTAB=Established,ADMDN=Idle (Admin),IDLE=Idle,CONN=Connect,"
                                        "ACTIV=Active,OPENS=OpenSent,OPENC=OpenConfirm",
                               "up": "state|is:ESTAB", "uptime": "time|duration",
                               "prefixes_received": "accepted|int"}),
    lldp_neighbors=Read("show lldp neighbors", format="text", key="interface", group=True,
                        row=r"^(?P<interface>\S+)\s+\S+\s+\S+\s+(?P<port>\S+)\s+(?P<system>\S+)\s*$",
                        skip=[r"^Lcl Port"], fields={"interface": "interface", "system_name": "system", "port": "port"}),
)
