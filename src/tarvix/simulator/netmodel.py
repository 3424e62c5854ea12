"""What a simulated router's getters show, from its configuration: its
interfaces (the dialect's own few, and those its configuration names,
with their descriptions, addresses, MTU and shutdown), its BGP sessions
(each neighbour configured is up with PREFIXES prefixes, unless shut) and
its one LLDP neighbour, on the first interface while that is enabled."""
import hashlib
import re
import time

# Prefixes each session that is up receives.
PREFIXES = 3
MTU = 1500

# Each dialect's interfaces before any configuration: name, address
# (None: none), enabled, line up.
_DEFAULTS = {
    "generic": [("GigabitEthernet0/0", "192.0.2.1/24", True, True), ("GigabitEthernet0/1", "198.51.100.1/24", True, False),
                ("GigabitEthernet0/2", None, False, False), ("Loopback0", "203.0.113.1/32", True, True)],
    "frr": [("lo", None, True, True), ("eth0", "192.0.2.1/24", True, True), ("eth1", None, True, False)],
    "eos": [("Ethernet1", "192.0.2.1/24", True, True), ("Ethernet2", None, True, False),
            ("Management1", "198.51.100.1/24", True, True)],
    "junos": [("ge-0/0/0", "192.0.2.1/24", True, True), ("ge-0/0/1", None, True, False), ("lo0", None, True, True)],
    "vrp": [("GigabitEthernet0/0/0", "192.0.2.1/24", True, True), ("GigabitEthernet0/0/1", None, True, False),
            ("LoopBack0", "203.0.113.1/32", True, True)],
    "vyos": [("eth0", "192.0.2.1/24", True, True), ("eth1", None, True, False), ("lo", None, True, True)],
    "fastiron": [("1/1/1", "192.0.2.1/24", True, True), ("1/1/2", None, True, False), ("1/1/3", None, False, False)],
}
_DEFAULTS["commit"] = _DEFAULTS["junos"]

# Set-style statements: (pattern, what it sets); the first group names the
# interface or the peer.
_SET = {
    "junos": [(r"set interfaces (\S+) description \"?([^\"]*)\"?$", "description"),
              (r"set interfaces (\S+) disable$", "disable"), (r"set interfaces (\S+) mtu (\d+)$", "mtu"),
              (r"set interfaces (\S+) unit \d+ family inet address (\S+)$", "address"),
              (r"set protocols bgp group \S+ neighbor (\S+) peer-as (\d+)$", "peer"),
              (r"set protocols bgp group \S+ neighbor (\S+) shutdown$", "shutdown"),
              (r"set routing-options autonomous-system (\d+)$", "local_as")],
    "vyos": [(r"set interfaces \S+ (\S+) description '?([^']*)'?$", "description"),
             (r"set interfaces \S+ (\S+) disable$", "disable"), (r"set interfaces \S+ (\S+) mtu '?(\d+)'?$", "mtu"),
             (r"set interfaces \S+ (\S+) address '?([^'\s]+)'?$", "address"),
             (r"set protocols bgp (?:\d+ )?neighbor (\S+) remote-as '?(\d+)'?$", "peer"),
             (r"set protocols bgp (?:\d+ )?neighbor (\S+) shutdown$", "shutdown"),
             (r"set protocols bgp (?:system-as )?'?(\d+)'?(?: |$)", "local_as")],
}
_SET["commit"] = _SET["junos"]


def mac_of(*names):
    digest = hashlib.sha1(" ".join(names).encode("utf-8")).hexdigest()
    return "52:54:00:%s:%s:%s" % (digest[0:2], digest[2:4], digest[4:6])


def _prefix(address, mask):
    """"10.0.0.1/30" of an address and a mask (dotted or a length)."""
    if mask.isdigit():
        return "%s/%s" % (address, mask)
    bits = sum(bin(int(part)).count("1") for part in mask.split("."))
    return "%s/%d" % (address, bits)


class Network(object):
    """One router's state as its getters show it, read from a console."""

    def __init__(self, console):
        self.console = console
        self.hostname = console.hostname
        self.dialect = console.cli.name
        self.local_as = 65000
        self.interfaces = {}
        self.order = []
        self.peers = []
        for name, address, enabled, link in _DEFAULTS.get(self.dialect, _DEFAULTS["generic"]):
            self._interface(name, address=[address] if address else [], enabled=enabled, link=link)
        if console.cli.set_style:
            self._read_statements(console.running)
        else:
            self._read_blocks(console.config_store().running.children)

    def _interface(self, name, **values):
        if name not in self.interfaces:
            self.order.append(name)
            self.interfaces[name] = {"description": None, "address": [], "enabled": True, "link": True, "mtu": MTU,
                                     "mac": mac_of(self.hostname, name)}
        self.interfaces[name].update(values)
        return self.interfaces[name]

    def _peer(self, vrf, peer, remote_as):
        for entry in self.peers:
            if entry["vrf"] == vrf and entry["peer"] == peer:
                entry["remote_as"] = remote_as
                return entry
        self.peers.append({"vrf": vrf, "peer": peer, "remote_as": remote_as, "shutdown": False})
        return self.peers[-1]

    def _read_blocks(self, nodes):
        negation = self.console.cli.negation
        for node in nodes:
            words = node.text.split()
            if words[0] == "interface" and len(words) > 1:
                name = " ".join(words[1:])
                name = name[len("ethernet "):] if name.startswith("ethernet ") else name
                self._interface_lines(self._interface(name), [child.text for child in node.children], negation)
            elif words[:2] == ["router", "bgp"] or (words[0] == "bgp" and len(words) == 2):
                self._bgp_lines(words, [child.text for child in node.children], negation)

    def _interface_lines(self, entry, lines, negation):
        for line in lines:
            words = line.split()
            if words == ["shutdown"]:
                entry["enabled"] = False
            elif words == [negation, "shutdown"]:
                entry["enabled"] = True
            elif words[0] == "description":
                entry["description"] = line.split(None, 1)[1]
            elif words[0] == "mtu" and len(words) == 2:
                entry["mtu"] = int(words[1])
            elif words[:2] == ["ip", "address"] and len(words) >= 3:
                address = words[2] if "/" in words[2] else _prefix(words[2], words[3] if len(words) > 3 else "32")
                entry["address"] = [address]

    def _bgp_lines(self, words, lines, negation):
        self.local_as = int(words[-1] if words[0] == "bgp" else words[2])
        vrf = words[4] if len(words) > 4 and words[3] == "vrf" else "default"
        for line in lines:
            found = re.match(r"(?:neighbor|peer) (\S+) (?:remote-as|as-number) (\d+)$", line)
            if found:
                self._peer(vrf, found.group(1), int(found.group(2)))
        for line in lines:
            found = re.match(r"(?:neighbor (\S+) shutdown|peer (\S+) ignore)$", line)
            for entry in self.peers if found else ():
                if entry["vrf"] == vrf and entry["peer"] in found.groups():
                    entry["shutdown"] = True

    def _read_statements(self, statements):
        patterns = _SET.get(self.dialect, ())
        for statement in statements:
            for pattern, what in patterns:
                found = re.match(pattern, statement)
                if found:
                    self._statement(what, found.groups())
                    break

    def _statement(self, what, groups):
        if what == "local_as":
            self.local_as = int(groups[0])
        elif what == "peer":
            self._peer("default", groups[0], int(groups[1]))
        elif what == "shutdown":
            for entry in self.peers:
                if entry["peer"] == groups[0]:
                    entry["shutdown"] = True
        elif what == "disable":
            self._interface(groups[0], enabled=False)
        elif what == "address":
            entry = self._interface(groups[0])
            entry["address"] = entry["address"] + [groups[1]] if entry.get("configured") else [groups[1]]
            entry["configured"] = True
        else:
            self._interface(groups[0], **{what: int(groups[1]) if what == "mtu" else groups[1]})

    # -- what the getters show ---------------------------------------------

    def interface_list(self):
        """(name, entry) pairs, entry with "up" (enabled and its line up)."""
        out = []
        for name in self.order:
            entry = dict(self.interfaces[name])
            entry["up"] = entry["enabled"] and entry["link"]
            out.append((name, entry))
        return out

    def sessions(self):
        """The BGP sessions: each peer with its state, uptime and prefixes."""
        uptime = int(time.time() - self.console.started)
        out = []
        for entry in self.peers:
            up = not entry["shutdown"]
            out.append(dict(entry, up=up, state="Established" if up else "Idle (Admin)",
                            uptime=uptime if up else 0, prefixes=PREFIXES if up else 0))
        return out

    def neighbours(self):
        """The LLDP neighbours: (local interface, system name, its port)."""
        names = [name for name, entry in self.interface_list() if entry["link"]]
        if not names or not self.interfaces[names[0]]["enabled"]:
            return []
        return [(names[0], "%s-peer" % self.hostname, names[-1] if len(names) > 1 else names[0])]

    def uptime(self):
        return int(time.time() - self.console.started)
