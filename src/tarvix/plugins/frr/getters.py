"""The getters of FRRouting's vtysh, from its JSON: the commands and the
way from their output to the getters' keys (see tarvix.state.mapping).
vtysh has no LLDP: a host's lldpd answers through the linux platform."""
from tarvix.state.mapping import Getters, Read

# The BGP summary of every VRF, the peers of each address family.
BGP_SUMMARY = "show bgp vrf all summary json"
BGP_FIELDS = {"vrf": "vrf", "peer": "peer", "remote_as": "remoteAs|int", "state": "state!",
              "up": "state|is:Established", "uptime": "peerUptimeMsec|div:1000", "prefixes_received": "pfxRcd|int"}
BGP_ROWS = "*vrf.*.peers?.*peer"

GETTERS = Getters(
    "frr",
    facts=[Read("show version", format="search", find=[r"^FRRouting (?P<version>\S+) \((?P<hostname>[^)\s]+)\)"],
                fields={"hostname": "hostname!", "os": "=FRRouting", "version": "version!"}),
           Read("show interface brief json", rows="*name", fields={"interfaces": "*name"})],
    interfaces=Read("show interface json", rows="*name", key="name", fields={
        "name": "name", "up": "operationalStatus|is:up", "enabled": "administrativeStatus|is:up",
        "description": "description", "mtu": "mtu|int", "mac": "hardwareAddress|mac",
        "addresses": "ipAddresses[*].address"}),
    bgp_neighbors=Read(BGP_SUMMARY, rows=BGP_ROWS, key=("vrf", "peer"), fields=BGP_FIELDS),
)
