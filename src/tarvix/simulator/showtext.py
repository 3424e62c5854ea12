"""The getters' commands of the dialects that answer in text, from the
router's Network (tarvix.simulator.netmodel): each in the layout of its
CLI; and ``answer``, the getters' commands of every dialect (those of
tarvix.simulator.showjson too)."""
from tarvix.simulator import showjson
from tarvix.simulator.netmodel import Network


def _dotted(mac):
    digits = mac.replace(":", "")
    return ".".join(digits[n:n + 4] for n in range(0, 12, 4))


def _clock(seconds):
    return "%02d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)


# -- the version reports' lines beyond the console's own -------------------

def version_lines(console):
    """What ``show version`` tells of the router beyond the banner and its
    uptime: its software, model and serial number."""
    name, minutes = console.cli.name, console.uptime()
    if name == "generic":
        return ["Generic Router Software (SIM-UNIVERSALK9-M), Version 1.0, RELEASE SOFTWARE (fc1)",
                "Processor board ID SIM0001", "", "Switch Ports Model              SW Version        SW Image",
                "------ ----- -----              ----------        ----------",
                "*    1 4     SIM-1000           1.0               SIM-UNIVERSALK9-M", "",
                "Model Number                       : SIM-1000", "System Serial Number               : SIM0001"]
    if name == "frr":
        return ["FRRouting 1.0 (%s) on Linux(sim)." % console.hostname]
    if name == "vrp":
        return ["VRP (R) software, Version 1.0 (SIM V100R001)", "SIM-NE40 uptime is 0 days, %d hours, %d minutes"
                % (minutes // 60, minutes % 60)]
    if name == "vyos":
        return ["Version:          1.0", "Hardware model:   SIM", "Hardware S/N:     SIM0001"]
    if name == "fastiron":
        return ["  SW: Version 1.0", "  HW: Stackable SIM-ICX", "  Serial  #:SIM0001",
                "STACKID 1  system uptime is %d minutes" % minutes]
    if name == "commit":
        return ["Model: sim-commit", "Serial: SIM0001", "Uptime: %d seconds" % (minutes * 60)]
    return []


# -- generic -------------------------------------------------------------

def generic_brief(net):
    rows = ["%-22s %-15s OK? Method %-21s Protocol" % ("Interface", "IP-Address", "Status")]
    for name, entry in net.interface_list():
        address = entry["address"][0].split("/")[0] if entry["address"] else "unassigned"
        status = "administratively down" if not entry["enabled"] else "up"
        rows.append("%-22s %-15s YES %-6s %-21s %s" % (name, address, "NVRAM" if entry["address"] else "unset",
                                                      status, "up" if entry["up"] else "down"))
    return rows


def generic_interfaces(net):
    lines = []
    for name, entry in net.interface_list():
        status = "administratively down" if not entry["enabled"] else "up"
        lines.append("%s is %s, line protocol is %s" % (name, status, "up" if entry["up"] else "down"))
        lines.append("  Hardware is Gigabit Ethernet, address is %s (bia %s)" % ((_dotted(entry["mac"]),) * 2))
        if entry["description"]:
            lines.append("  Description: %s" % entry["description"])
        for address in entry["address"][:1]:
            lines.append("  Internet address is %s" % address)
        lines.append("  MTU %d bytes, BW 1000000 Kbit/sec, DLY 10 usec," % entry["mtu"])
    return lines


def generic_bgp(net):
    sessions = net.sessions()
    if not sessions:
        return ["% BGP not active"]
    lines = ["BGP router identifier 192.0.2.1, local AS number %d" % net.local_as, "",
             "Neighbor        V           AS MsgRcvd MsgSent   TblVer  InQ OutQ Up/Down  State/PfxRcd"]
    for session in sessions:
        lines.append("%-15s 4 %12d %7d %7d %8d %4d %4d %-8s %s" % (
            session["peer"], session["remote_as"], 10, 12, 4, 0, 0, _clock(session["uptime"]) if session["up"]
            else "never", session["prefixes"] if session["up"] else session["state"]))
    return lines


def generic_lldp(net):
    lines = []
    for local, system, port in net.neighbours():
        lines += ["------------------------------------------------", "Local Intf: %s" % local,
                  "Chassis id: %s" % _dotted(net.interfaces[port]["mac"]), "Port id: %s" % port,
                  "Port Description: %s" % port, "System Name: %s" % system, ""]
    return lines + ["", "Total entries displayed: %d" % len(net.neighbours())]


# -- vrp -----------------------------------------------------------------

def vrp_interfaces(net):
    lines = ["*down: administratively down", "(l): loopback", "(s): spoofing",
             "Interface                         IP Address/Mask      Physical   Protocol"]
    for name, entry in net.interface_list():
        physical = "*down" if not entry["enabled"] else "up"
        lines.append("%-33s %-20s %-10s %s" % (name, entry["address"][0] if entry["address"] else "unassigned",
                                               physical, "up" if entry["up"] else "down"))
    return lines


def vrp_bgp(net):
    sessions = net.sessions()
    if not sessions:
        return []
    lines = [" BGP local router ID : 192.0.2.1", " Local AS number : %d" % net.local_as, "",
             "  Peer            V          AS  MsgRcvd  MsgSent  OutQ  Up/Down       State  PrefRcv"]
    for session in sessions:
        lines.append("  %-15s 4 %11d %8d %8d %5d %-13s %s %d" % (
            session["peer"], session["remote_as"], 10, 12, 0, _clock(session["uptime"]),
            "Established" if session["up"] else "Idle", session["prefixes"]))
    return lines


def vrp_lldp(net):
    return ["Local Intf       Neighbor Dev             Neighbor Intf             Exptime(s)"] + [
        "%-16s %-24s %-25s %d" % (local, system, port, 100) for local, system, port in net.neighbours()]


# -- vyos ----------------------------------------------------------------

def vyos_interfaces(net):
    lines = ["Codes: S - State, L - Link, u - Up, D - Down, A - Admin Down",
             "Interface        IP Address                        S/L  Description",
             "---------        ----------                        ---  -----------"]
    for name, entry in net.interface_list():
        state = "%s/%s" % ("u" if entry["enabled"] else "A", "u" if entry["up"] else "D")
        lines.append(("%-16s %-33s %-4s %s" % (name, entry["address"][0] if entry["address"] else "-", state,
                                               entry["description"] or "")).rstrip())
    return lines


def vyos_bgp(net):
    sessions = net.sessions()
    if not sessions:
        return ["% No BGP neighbors found"]
    lines = ["IPv4 Unicast Summary:", "BGP router identifier 192.0.2.1, local AS number %d vrf-id 0" % net.local_as,
             "Neighbor        V         AS   MsgRcvd   MsgSent   TblVer  InQ OutQ  Up/Down State/PfxRcd   PfxSnt Desc"]
    for session in sessions:
        lines.append("%-15s 4 %10d %9d %9d %8d %4d %4d %8s %12s %8d N/A" % (
            session["peer"], session["remote_as"], 10, 12, 0, 0, 0, _clock(session["uptime"]) if session["up"]
            else "never", session["prefixes"] if session["up"] else session["state"], session["prefixes"]))
    return lines + ["", "Total number of neighbors %d" % len(sessions)]


def vyos_lldp(net):
    return ["Capability Codes: R - Router, B - Bridge, W - Wlan r - Repeater, S - Station",
            "Device ID                 Local     Proto  Cap   Platform             Port ID",
            "---------                 -----     -----  ---   --------             -------"] + [
        "%-25s %-9s LLDP   R     sim                  %s" % (system, local, port)
        for local, system, port in net.neighbours()]


# -- fastiron ------------------------------------------------------------

def fastiron_interfaces(net):
    lines = ["Port       Link    State   Dupl Speed Trunk Tag Pvid Pri MAC             Name"]
    for name, entry in net.interface_list():
        link = "Disable" if not entry["enabled"] else "Up" if entry["up"] else "Down"
        lines.append(("%-10s %-7s %-7s Full 1G    None  No  1    0   %s  %s" % (
            name, link, "Forward" if entry["up"] else "None", _dotted(entry["mac"]), entry["description"] or ""))
            .rstrip())
    return lines


def fastiron_bgp(net):
    lines = ["  BGP4 Summary", "  Router ID: 192.0.2.1   Local AS Number: %d" % net.local_as,
             "  Neighbor Address  AS#         State   Time          Rt:Accepted Filtered Sent     ToSend"]
    for session in net.sessions():
        seconds = session["uptime"]
        lines.append("  %-17s %-11d %-7s %-13s %-11d 0        %-8d 0" % (
            session["peer"], session["remote_as"], "ESTAB" if session["up"] else "ADMDN",
            "%dh%dm%ds" % (seconds // 3600, seconds // 60 % 60, seconds % 60), session["prefixes"],
            session["prefixes"]))
    return lines


def fastiron_lldp(net):
    return ["Lcl Port Chassis ID      Port ID         Port Description            System Name"] + [
        "%-8s %-15s %-15s %-27s %s" % (local, _dotted(net.interfaces[port]["mac"]), _dotted(net.interfaces[port]["mac"]),
                                       port, system) for local, system, port in net.neighbours()]


# -- commit --------------------------------------------------------------

def commit_interfaces(net):
    return ["Interface        Admin Link Address"] + [
        ("%-16s %-5s %-4s %s" % (name, "up" if entry["enabled"] else "down", "up" if entry["up"] else "down",
                                 " ".join(entry["address"]))).rstrip() for name, entry in net.interface_list()]


def commit_bgp(net):
    return ["Peer             AS         State        Uptime   Prefixes"] + [
        "%-16s %-10d %-12s %-8d %d" % (session["peer"], session["remote_as"],
                                       "Established" if session["up"] else "Idle", session["uptime"],
                                       session["prefixes"]) for session in net.sessions()]


def commit_lldp(net):
    return ["Local Port       System                   Port"] + [
        "%-16s %-24s %s" % neighbour for neighbour in net.neighbours()]


COMMANDS = dict(showjson.COMMANDS, **{
    "generic": {"show ip interface brief": generic_brief, "show interfaces": generic_interfaces,
                "show ip bgp summary": generic_bgp, "show lldp neighbors detail": generic_lldp},
    "vrp": {"display ip interface brief": vrp_interfaces, "display bgp peer": vrp_bgp,
            "display lldp neighbor brief": vrp_lldp},
    "vyos": {"show interfaces": vyos_interfaces, "show ip bgp summary": vyos_bgp, "show lldp neighbors": vyos_lldp,
             "show host name": lambda net: [net.hostname]},
    "fastiron": {"show interfaces brief": fastiron_interfaces, "show ip bgp summary": fastiron_bgp,
                 "show lldp neighbors": fastiron_lldp},
    "commit": {"show interfaces terse": commit_interfaces, "show bgp summary": commit_bgp,
               "show lldp neighbors": commit_lldp},
})


def answer(console, words):
    """The lines a getter's command (``words``: the line typed, lower case,
    single spaces) prints on this console, or None for another line."""
    render = COMMANDS.get(console.cli.name, {}).get(words)
    return None if render is None else render(Network(console))
