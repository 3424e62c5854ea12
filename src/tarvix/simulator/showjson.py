"""The getters' commands of the dialects that answer in JSON (vtysh's
``... json``, eos's ``| json``, junos's ``| display json``), from the
router's Network (tarvix.simulator.netmodel)."""
import json
import time


def _dump(document):
    return json.dumps(document, indent=2).splitlines()


def _data(value):
    """A junos leaf: a list of one {"data": text}."""
    return [{"data": str(value)}]


# -- frr -----------------------------------------------------------------

def frr_brief(net):
    return _dump(dict((name, {"status": "up" if entry["up"] else "down", "vrfName": "default",
                              "addresses": list(entry["address"])}) for name, entry in net.interface_list()))


def frr_interfaces(net):
    shown = {}
    for name, entry in net.interface_list():
        shown[name] = {"administrativeStatus": "up" if entry["enabled"] else "down",
                       "operationalStatus": "up" if entry["up"] else "down", "vrfName": "default",
                       "mtu": entry["mtu"], "hardwareAddress": entry["mac"],
                       "ipAddresses": [{"address": address, "secondary": False} for address in entry["address"]]}
        if entry["description"]:
            shown[name]["description"] = entry["description"]
    return _dump(shown)


def frr_bgp(net):
    vrfs = {}
    for session in net.sessions():
        family = vrfs.setdefault(session["vrf"], {"ipv4Unicast": {"as": net.local_as, "peers": {}}})
        family["ipv4Unicast"]["peers"][session["peer"]] = {
            "remoteAs": session["remote_as"], "localAs": net.local_as, "state": session["state"],
            "peerUptimeMsec": session["uptime"] * 1000, "pfxRcd": session["prefixes"]}
    return _dump(vrfs)


# -- eos -----------------------------------------------------------------

def eos_version(net):
    return _dump({"modelName": "SIM-7000", "version": "1.0", "serialNumber": "SIM0001", "uptime": net.uptime(),
                  "bootupTimestamp": time.time() - net.uptime()})


def eos_hostname(net):
    return _dump({"hostname": net.hostname, "fqdn": net.hostname})


def eos_interfaces(net):
    shown = {}
    for name, entry in net.interface_list():
        address, length = entry["address"][0].split("/") if entry["address"] else ("0.0.0.0", "0")
        shown[name] = {"name": name, "lineProtocolStatus": "up" if entry["up"] else "down",
                       "interfaceStatus": "disabled" if not entry["enabled"] else
                       "connected" if entry["up"] else "notconnect",
                       "description": entry["description"] or "", "mtu": entry["mtu"], "physicalAddress": entry["mac"],
                       "interfaceAddress": [{"primaryIp": {"address": address, "maskLen": int(length)}}]}
    return _dump({"interfaces": shown})


def eos_bgp(net):
    vrfs = {}
    for session in net.sessions():
        vrf = vrfs.setdefault(session["vrf"], {"asn": str(net.local_as), "peers": {}})
        vrf["peers"][session["peer"]] = {"asn": str(session["remote_as"]), "peerState": session["state"].split()[0],
                                        "prefixReceived": session["prefixes"],
                                        "upDownTime": time.time() - session["uptime"]}
    return _dump({"vrfs": vrfs})


def eos_lldp(net):
    return _dump({"lldpNeighbors": dict(
        (local, {"lldpNeighborInfo": [{"systemName": system, "neighborInterfaceInfo": {"interfaceId_v2": port}}]})
        for local, system, port in net.neighbours())})


# -- junos ---------------------------------------------------------------

def junos_version(net):
    return _dump({"software-information": [{"host-name": _data(net.hostname), "product-model": _data("sim-mx"),
                                            "junos-version": _data("1.0")}]})


def _junos_physical(net, terse):
    physical = []
    for name, entry in net.interface_list():
        shown = {"name": _data(name), "admin-status": _data("up" if entry["enabled"] else "down"),
                 "oper-status": _data("up" if entry["up"] else "down")}
        if terse:
            shown["logical-interface"] = [{"name": _data(name + ".0"), "address-family": [
                {"address-family-name": _data("inet"),
                 "interface-address": [{"ifa-local": _data(address)} for address in entry["address"]]}]}]
        else:
            shown.update({"mtu": _data(entry["mtu"]), "current-physical-address": _data(entry["mac"])})
            if entry["description"]:
                shown["description"] = _data(entry["description"])
        physical.append(shown)
    return _dump({"interface-information": [{"physical-interface": physical}]})


def junos_terse(net):
    return _junos_physical(net, True)


def junos_interfaces(net):
    return _junos_physical(net, False)


def junos_bgp(net):
    peers = [{"peer-address": _data(session["peer"]), "peer-as": _data(session["remote_as"]),
              "peer-state": _data(session["state"].split()[0]),
              "elapsed-time": [{"data": "%d" % session["uptime"], "attributes": {"junos:seconds": str(session["uptime"])}}],
              "bgp-rib": [{"name": _data("inet.0"), "received-prefix-count": _data(session["prefixes"])}]}
             for session in net.sessions()]
    return _dump({"bgp-information": [{"bgp-peer": peers}]})


def junos_lldp(net):
    return _dump({"lldp-neighbors-information": [{"lldp-neighbor-information": [
        {"lldp-local-port-id": _data(local), "lldp-remote-system-name": _data(system),
         "lldp-remote-port-id": _data(port)} for local, system, port in net.neighbours()]}]})


COMMANDS = {
    "frr": {"show interface brief json": frr_brief, "show interface json": frr_interfaces,
            "show bgp vrf all summary json": frr_bgp},
    "eos": {"show version | json": eos_version, "show hostname | json": eos_hostname,
            "show interfaces | json": eos_interfaces, "show ip bgp summary vrf all | json": eos_bgp,
            "show lldp neighbors detail | json": eos_lldp},
    "junos": {"show version | display json": junos_version, "show interfaces terse | display json": junos_terse,
              "show interfaces | display json": junos_interfaces, "show bgp summary | display json": junos_bgp,
              "show lldp neighbors | display json": junos_lldp},
}
