"""The getters of the vrp CLI, from its reports' lines (see
tarvix.state.mapping)."""
from tarvix.state.mapping import Getters, Read

INTERFACES = Read("display ip interface brief", format="text", key="name",
                  row=r"^(?P<name>\S+)\s+(?P<address>\S+)\s+(?P<physical>\*?down|\^down|up)(?:\(\w+\))?\s+"
                      r"(?P<protocol>up|down)(?:\(\w+\))?\s*$",
                  skip=[r"^\*down:", r"^\^down:", r"^\(\w+\):", r"^The number of", r"^Interface\s+IP Address"],
                  fields={"name": "name", "up": "protocol|is:up", "enabled": "physical|is:*down|not",
                          "addresses": "address|list|drop:^unassigned$"})

GETTERS = Getters(
    "vrp",
    facts=[Read("display version", format="search",
                find=[r"VRP \(R\) software, Version (?P<version>\S+)"],
                maybe=[r"^(?P<model>\S+(?: \S+)?) (?:Router )?uptime is (?P<uptime>.*\bdays?\b.+)$"],
                fields={"os": "=vrp", "version": "version", "model": "model", "uptime": "uptime|duration"}),
           Read("display current-configuration | include sysname", format="search",
                find=[r"^\s*sysname (?P<hostname>\S+)"], fields={"hostname": "hostname!"}),
           Read(INTERFACES.command, format="text", row=INTERFACES.row.pattern,
                skip=[pattern.pattern for pattern in INTERFACES.skip], fields={"interfaces": "*name"})],
    interfaces=INTERFACES,
    bgp_neighbors=Read("display bgp peer", format="text", none=r"\A\s*\Z", key=("vrf", "peer"),
                       row=r"^\s*(?P<peer>[\d.]+|[\da-fA-F:]+)\s+\d+\s+(?P<as>\d+)\s+\d+\s+\d+\s+\d+\s+(?P<updown>\S+)"
                           r"\s+(?P<state>\S+)\s+(?P<prefixes>\d+)\s*$",
                       skip=[r"BGP local router ID", r"Local AS number", r"Total number of peers", r"^\s*Peer\s+V"],
                       fields={"vrf": "=default", "peer": "peer", "remote_as": "as|int", "state": "state",
                               "up": "state|is:Established", "uptime": "updown|duration",
                               "prefixes_received": "prefixes|int"}),
    lldp_neighbors=Read("display lldp neighbor brief", format="text", key="interface", group=True,
                        row=r"^(?P<interface>\S+)\s+(?P<system>\S+)\s+(?P<port>\S+)\s+\d+\s*$",
                        skip=[r"^Local Intf"],
                        fields={"interface": "interface", "system_name": "system", "port": "port"}),
)
