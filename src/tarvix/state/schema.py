"""The keys every platform's getters give, and the shape of each getter's
data: ``facts`` one record; ``interfaces`` a record per interface name;
``bgp_neighbors`` a record per VRF and peer; ``lldp_neighbors`` a list of
records per local interface.  A value the platform does not tell is None
(an empty list for the lists)."""

FIELDS = {
    "facts": ("hostname", "os", "version", "model", "serial", "uptime", "interfaces"),
    "interfaces": ("up", "enabled", "description", "mtu", "mac", "addresses"),
    "bgp_neighbors": ("remote_as", "state", "up", "uptime", "prefixes_received"),
    "lldp_neighbors": ("system_name", "port"),
}
# The names that key each getter's records, outermost first.
LEVELS = {"facts": (), "interfaces": ("interface",), "bgp_neighbors": ("vrf", "peer"),
          "lldp_neighbors": ("interface",)}
# The getters whose records under the last name are a list.
LISTED = ("lldp_neighbors",)
# The fields that hold a list.
LIST_FIELDS = ("interfaces", "addresses")
# The getters in the order state() reads them.
GETTERS = ("facts", "interfaces", "bgp_neighbors", "lldp_neighbors")
# What changes by itself from one reading to the next.
VOLATILE = ("uptime",)


def empty_record(getter):
    """A record of ``getter`` with nothing told."""
    return dict((name, [] if name in LIST_FIELDS else None) for name in FIELDS[getter])
