"""A simulated router's configuration: the running and the startup
configuration as hierarchies of lines, the lines each mode knows (a line a
mode does not know is refused), blocks that open a submode, and negation
("no ...") that removes what it names."""
import copy
import time

from tarvix.bases.config.tree import Node

# The keywords a line may begin with at the top level and in each block,
# and the blocks they open: (keyword, prompt's submode name).
_TOP = ("hostname", "interface", "router", "ip", "ipv6", "username", "enable", "logging", "banner",
        "redundancy", "line", "route-map", "service", "ntp", "snmp-server", "access-list", "vlan", "vrf", "aaa",
        "clock", "spanning-tree", "crypto", "key", "boot", "cdp", "lldp", "mpls", "archive", "alias",
        "control-plane", "class-map", "policy-map", "prefix-list", "bfd", "version", "license",
        # vtysh's own (frr)
        "log", "frr", "debug", "password", "agentx")
_BLOCKS = {
    "interface": ("if", ("description", "ip", "ipv6", "shutdown", "mtu", "speed", "duplex", "switchport",
                         "bandwidth", "encapsulation", "channel-group", "vrf", "standby", "load-interval",
                         "negotiation", "cdp", "service-policy", "mpls", "bfd", "media-type")),
    "router": ("router", ("neighbor", "network", "bgp", "address-family", "redistribute", "router-id", "timers",
                          "passive-interface", "maximum-paths", "default-information", "area", "auto-summary",
                          "synchronization", "distance", "log-adjacency-changes", "default-metric")),
    "address-family": ("router-af", ("neighbor", "network", "redistribute", "maximum-paths", "aggregate-address",
                                     "default-information", "distance")),
    "line": ("line", ("exec-timeout", "login", "password", "transport", "logging", "privilege", "length",
                      "width", "stopbits", "speed", "access-class", "session-timeout")),
    "redundancy": ("red", ("main-cpu", "mode")),
    "main-cpu": ("r-mc", ("standby", "auto-sync")),
    "route-map": ("route-map", ("match", "set", "description", "continue")),
    "vrf": ("vrf", ("rd", "route-target", "address-family", "description")),
    "key": ("keychain", ("key", "key-string")),
}
# Where a block may open: a block keyword with the keyword of its parent.
_NESTED = {"address-family": ("router", "vrf"), "main-cpu": ("redundancy",)}

# A neighbour's setting before the neighbour, in a router block.
NO_NEIGHBOUR = "% Specify remote-as or peer-group commands first"
# The lines that make a neighbour (those that remove it take its settings along).
_MAKES_NEIGHBOUR = ("remote-as", "peer-group", "interface")

# The vrp CLI's words ("undo" negates).
_VRP_TOP = ("sysname", "interface", "bgp", "ip", "ipv6", "ospf", "isis", "route-policy", "acl", "aaa", "undo",
            "user-interface", "info-center", "snmp-agent", "stelnet", "ssh", "vlan", "ntp-service", "clock",
            "vpn-instance", "ip-prefix", "header")
_VRP_BLOCKS = {
    "interface": ("if", ("description", "ip", "ipv6", "shutdown", "mtu", "port", "speed", "undo")),
    "bgp": ("bgp", ("peer", "router-id", "ipv4-family", "group", "timer", "undo")),
    "ipv4-family": ("bgp-af-ipv4", ("peer", "network", "import-route", "maximum")),
    "route-policy": ("route-policy", ("if-match", "apply", "description")),
    "aaa": ("aaa", ("local-user",)),
}
_VRP_NESTED = {"ipv4-family": ("bgp",)}

# The words each kind of CLI knows: (top-level keywords, blocks, nesting).
VOCABULARIES = {None: (_TOP, _BLOCKS, _NESTED), "vrp": (_VRP_TOP, _VRP_BLOCKS, _VRP_NESTED)}


def _keyword(text):
    return text.split()[0].lower()


class ConfigStore(object):
    """The running and startup configuration of one router."""

    def __init__(self, first=(), negation="no", vocabulary=None):
        self.negation = negation
        self.top, self.blocks, self.nested = VOCABULARIES[vocabulary]
        self.running = Node(None)
        for line in first:
            self.running.add(Node(line))
        self.startup = copy.deepcopy(self.running)

    def lines(self, which="running"):
        return getattr(self, which).lines()

    def save(self):
        """The running configuration becomes the startup configuration."""
        self.startup = copy.deepcopy(self.running)

    def reload(self):
        """The running configuration goes back to the startup one."""
        self.running = copy.deepcopy(self.startup)

    def knows(self, path, line):
        """Whether ``line`` is a line of the mode ``path`` (the keywords of
        the blocks open, outermost first)."""
        words = line.split()
        if words[0].lower() == self.negation:
            words = words[1:]
        if not words:
            return False
        keyword = words[0].lower()
        if not path:
            return keyword in self.top and (keyword != "key" or words[1:2] == ["chain"] or len(words) == 1)
        known = self.blocks.get(path[-1], (None, ()))[1]
        return keyword in known

    def apply(self, path, nodes, line):
        """Applies a line in the mode ``path`` (its open blocks' nodes in
        ``nodes``); the mode afterwards, as (path, nodes), None for a line
        the mode does not know, or the device's words refusing it.  A line
        unknown in a block but known at the top leaves the blocks, as the
        devices do."""
        path, nodes = list(path), list(nodes)
        while path and not self.knows(path, line):
            path.pop()
            nodes.pop()
        if not self.knows(path, line):
            return None
        parent = nodes[-1] if nodes else self.running
        text = " ".join(line.split())
        if path[:1] == ["router"] and self.negation == "no":
            refusal = self._neighbour(nodes[0], parent, text)
            if refusal:
                return refusal
        keyword = _keyword(text)
        if keyword == self.negation:
            if not self._negate(parent, text[len(keyword) + 1:]) and parent.child(text) is None:
                # Nothing to remove: a default turned off, shown as such.
                parent.add(Node(text))
            return path, nodes
        self._negate(parent, self.negation + " " + text)
        opens = keyword in self.blocks and (keyword not in self.nested or (path and path[-1] in self.nested[keyword]))
        if keyword == "key" and path and path[-1] == "key":
            opens = False
        node = parent.child(text)
        if node is None:
            node = Node(text)
            parent.children.insert(self._drop_single(parent, text), node)
            parent._index = None
        if opens:
            return path + [keyword if keyword != "key" else "key"], nodes + [node]
        return path, nodes

    def _neighbour(self, router, parent, text):
        """A neighbour's line in a router block or one of its address
        families: the refusal of a setting of a neighbour the block does not
        have, or None.  Removing the neighbour removes its settings; its
        remote AS is one, which a new one replaces."""
        words = text.split()
        negated = words[0] == self.negation
        words = words[1:] if negated else words
        if words[0] != "neighbor" or len(words) < 3:
            return None
        name = "neighbor %s " % words[1]
        if words[2] in _MAKES_NEIGHBOUR:
            if negated and parent is router:
                _remove_below(router, lambda node: node.text.startswith(name) and node.text != text[3:])
            elif words[2] == "remote-as":
                _remove_below(parent, lambda node: node.text.startswith(name + "remote-as ") and node.text != text,
                              deep=False)
            return None
        if not any(node.text.startswith(name) and node.text.split()[2] in _MAKES_NEIGHBOUR
                   for node in router.children):
            return NO_NEIGHBOUR
        return None

    @staticmethod
    def _drop_single(parent, text):
        """A line a block holds once (a description, an address, a
        hostname) replaces the one it held, in its place: the old one goes;
        where the new one goes."""
        single = ("hostname", "sysname", "description", "ip address", "bgp router-id", "mtu", "set local-preference")
        for prefix in single:
            if text.startswith(prefix + " "):
                for node in list(parent.children):
                    if node.text.startswith(prefix + " "):
                        place = parent.children.index(node)
                        parent.children.remove(node)
                        parent._index = None
                        return place
        return len(parent.children)

    @staticmethod
    def _negate(parent, text):
        """Removes the lines ``text`` names: that line, or every line (and
        block) it begins; whether there was one."""
        gone = [node for node in parent.children if node.text == text or node.text.startswith(text + " ")]
        for node in gone:
            parent.children.remove(node)
        parent._index = None
        return bool(gone)

    def mode_names(self, path):
        """The submode names the prompt shows for the blocks open."""
        return [self.blocks[keyword][0] for keyword in path]


def _remove_below(parent, gone, deep=True):
    """Removes the lines under ``parent`` for which ``gone`` holds (and
    from the blocks below, if ``deep``)."""
    kept = [node for node in parent.children if not gone(node)]
    if len(kept) != len(parent.children):
        parent.children[:] = kept
        parent._index = None
    if deep:
        for node in kept:
            _remove_below(node, gone)


class CommitHistory(object):
    """The commits of a router that stages its configuration: the
    configurations before each (latest last; the caller's copies) and a confirmed commit's deadline, after which the
    configuration before it comes back unless it was confirmed."""

    def __init__(self):
        self.versions = []
        self.pending = None

    def committed(self, before, confirm_seconds=None):
        self.versions.append(before)
        self.pending = (time.time() + confirm_seconds, before) if confirm_seconds else None

    def version(self, number):
        """The configuration ``number`` commits back, or None."""
        return list(self.versions[-number]) if 1 <= number <= len(self.versions) else None

    def expired(self):
        """The configuration to bring back once an unconfirmed commit's time
        is up, or None."""
        if self.pending is None or time.time() < self.pending[0]:
            return None
        before, self.pending = self.pending[1], None
        return before
