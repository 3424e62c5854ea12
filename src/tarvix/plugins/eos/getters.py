"""The getters of the eos CLI, from its JSON (``| json``; see
tarvix.state.mapping)."""
from tarvix.state.mapping import Getters, Read

GETTERS = Getters(
    "eos",
    facts=[Read("show version | json", fields={"os": "=eos", "version": "version", "model": "modelName",
                                               "serial": "serialNumber", "uptime": "uptime|int"}),
           Read("show hostname | json", fields={"hostname": "hostname!"}),
           Read("show interfaces | json", rows="interfaces.*name", fields={"interfaces": "*name"})],
    interfaces=Read("show interfaces | json", rows="interfaces.*name", key="name", fields={
        "name": "name", "up": "lineProtocolStatus|is:up", "enabled": "interfaceStatus|is:disabled|not",
        "description": "description", "mtu": "mtu|int", "mac": "physicalAddress|mac",
        "addresses": "interfaceAddress[*].primaryIp|format:{address}/{maskLen}|drop:^0\\.0\\.0\\.0/0$"}),
    bgp_neighbors=Read("show ip bgp summary vrf all | json", rows="vrfs.*vrf.peers?.*peer", key=("vrf", "peer"),
                       fields={"vrf": "vrf", "peer": "peer", "remote_as": "asn|int", "state": "peerState!",
                               "up": "peerState|is:Established", "uptime": "upDownTime|since",
                               "prefixes_received": "prefixReceived|int"}),
    lldp_neighbors=Read("show lldp neighbors detail | json", rows="lldpNeighbors.*interface.lldpNeighborInfo[*]",
                        key="interface", group=True, fields={
                            "interface": "interface", "system_name": "systemName",
                            "port": "neighborInterfaceInfo.interfaceId_v2 or neighborInterfaceInfo.interfaceId"}),
)
