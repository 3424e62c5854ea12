"""The getters of the junos CLI, from its JSON (``| display json``, each
leaf a list of one {"data": ...}; see tarvix.state.mapping).  BGP: the
sessions of the master instance, as the VRF "default"."""
from tarvix.state.mapping import Getters, Read

TERSE = "show interfaces terse | display json"
PHYSICAL = "interface-information[0].physical-interface?[*]"

GETTERS = Getters(
    "junos",
    facts=[Read("show version | display json", rows="software-information[0]", fields={
        "hostname": "host-name[0].data!", "os": "=junos", "version": "junos-version[0].data",
        "model": "product-model[0].data"}),
        Read(TERSE, rows=PHYSICAL, fields={"interfaces": "*name[0].data"})],
    interfaces=[Read(TERSE, rows=PHYSICAL, key="name", fields={
        "name": "name[0].data", "up": "oper-status[0].data|is:up", "enabled": "admin-status[0].data|is:up",
        "addresses": "logical-interface[*].address-family[*].interface-address[*].ifa-local[0].data"}),
        Read("show interfaces | display json", rows=PHYSICAL, key="name", fields={
            "name": "name[0].data", "description": "description[0].data", "mtu": "mtu[0].data|int",
            "mac": "current-physical-address[0].data|mac"})],
    bgp_neighbors=Read("show bgp summary | display json", none=r"BGP is not running",
                       rows="bgp-information[0].bgp-peer?[*]", key=("vrf", "peer"), fields={
                           "vrf": "=default", "peer": "peer-address[0].data|match:^([^+]+)",
                           "remote_as": "peer-as[0].data|int", "state": "peer-state[0].data!",
                           "up": "peer-state[0].data|is:Established",
                           "uptime": "elapsed-time[0].attributes.junos:seconds|int",
                           "prefixes_received": "bgp-rib[*].received-prefix-count[0].data|sum"}),
    lldp_neighbors=Read("show lldp neighbors | display json",
                        rows="lldp-neighbors-information[0].lldp-neighbor-information?[*]", key="interface",
                        group=True, fields={
                            "interface": "lldp-local-port-id[0].data or lldp-local-interface[0].data",
                            "system_name": "lldp-remote-system-name[0].data",
                            "port": "lldp-remote-port-id[0].data or lldp-remote-port-description[0].data"}),
)
