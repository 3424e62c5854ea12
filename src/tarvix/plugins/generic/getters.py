"""The getters of the generic router, through the ntc-templates templates
of its CLI family (the ``parse`` extra; see tarvix.state.mapping).  A field
the templates have renamed is read under either name (the releases that
still run on Python 3.6 keep the older ones)."""
from tarvix.state.mapping import Getters, Read

GETTERS = Getters(
    "generic",
    facts=[Read("show version", format="textfsm", fields={
        "hostname": "hostname!", "os": "=generic", "version": "version", "model": "hardware|first",
        "serial": "serial|first", "uptime": "uptime|duration"}),
        Read("show ip interface brief", format="textfsm", fields={"interfaces": "*interface or intf"})],
    interfaces=Read("show interfaces", format="textfsm", key="name", fields={
        "name": "interface", "up": "protocol_status|is:up", "enabled": "link_status|in:up,down",
        "description": "description", "mtu": "mtu|int", "mac": "mac_address or address|mac",
        "addresses": "{ip_address}/{prefix_length} or ip_address|list"}),
    # The global table's sessions; the state column holds the prefixes
    # received while a session is up.
    bgp_neighbors=Read("show ip bgp summary", format="textfsm", none=r"BGP not active", key=("vrf", "peer"), fields={
        "vrf": "=default", "peer": "bgp_neighbor or bgp_neigh", "remote_as": "neighbor_as or neigh_as|int",
        "state": "state_or_prefixes_received or state_pfxrcd|match:^(\\D.*)$|default:Established",
        "up": "state_or_prefixes_received or state_pfxrcd|matches:^\\d+$", "uptime": "up_down|duration",
        "prefixes_received": "state_or_prefixes_received or state_pfxrcd|match:^(\\d+)$|default:0|int"}),
    lldp_neighbors=Read("show lldp neighbors detail", format="textfsm",
                        none=r"LLDP is not enabled|\A\s*Total entries displayed: 0\s*\Z", key="interface", group=True,
                        fields={"interface": "local_interface", "system_name": "neighbor_name or neighbor",
                                "port": "neighbor_port_id or neighbor_interface"}),
)
