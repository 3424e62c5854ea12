"""The getters of a Linux host's shell: /proc and /etc/os-release for its
facts, ``ip -j`` for its interfaces, ``lldpctl -f json0`` (lldpd) for its
LLDP neighbours and, where FRRouting runs on it, vtysh's JSON for its BGP
sessions (see tarvix.state.mapping)."""
from tarvix.plugins.frr.getters import BGP_FIELDS, BGP_ROWS, BGP_SUMMARY
from tarvix.state.mapping import Getters, Read

# One round: each file's lines after its name ("path:line"), then the
# interfaces' folders.
FACTS = ("grep -s '' /proc/sys/kernel/hostname /proc/sys/kernel/osrelease /proc/uptime /etc/os-release "
         "/sys/class/dmi/id/product_?[ae]*; echo /sys/class/net/*")

# What the shell prints where no BGP daemon runs: no vtysh, or none of its daemons.
NO_BGP = r"\A\s*\Z|^Exiting: failed to connect to any daemons|^bgpd is not running"

GETTERS = Getters(
    "linux",
    facts=Read(FACTS, format="search", find=[
        r"^/proc/sys/kernel/hostname:(?P<hostname>.+)$", r"^/proc/sys/kernel/osrelease:(?P<kernel>.+)$",
        r"^/proc/uptime:(?P<uptime>\d+)", r"^(?P<folders>/sys/class/net/\S.*)$"],
        maybe=[r"^/etc/os-release:NAME=\"?(?P<os>[^\"\n]+)", r"^/etc/os-release:VERSION_ID=\"?(?P<version>[^\"\n]+)",
               r"^/sys/class/dmi/id/product_name:(?P<model>.+)$", r"^/sys/class/dmi/id/product_serial:(?P<serial>.+)$"],
        fields={"hostname": "hostname!", "os": "os|default:Linux", "version": "version or kernel",
                "model": "model", "serial": "serial", "uptime": "uptime|int",
                "interfaces": "folders|split:|match:^/sys/class/net/(.+)$"}),
    interfaces=[Read("ip -j addr show", rows="*", key="name", fields={
        "name": "ifname", "up": "flags|has:LOWER_UP", "enabled": "flags|has:UP", "mtu": "mtu|int",
        "mac": "address|mac", "addresses": "addr_info[*]|format:{local}/{prefixlen}"}),
        Read("ip -j link show", rows="*", key="name", fields={"name": "ifname", "description": "ifalias"})],
    bgp_neighbors=Read("command -v vtysh >/dev/null && vtysh -c '%s'" % BGP_SUMMARY, none=NO_BGP,
                       rows=BGP_ROWS, key=("vrf", "peer"), fields=BGP_FIELDS),
    lldp_neighbors=Read("lldpctl -f json0", rows="lldp[0].interface?[*]", key="interface", group=True, fields={
        "interface": "name", "system_name": "chassis[0].name[0].value",
        "port": "port[0].descr[0].value or port[0].id[0].value"}),
)
