"""tarvix plugin for routers with a commit-style CLI: prompts user@host> and
user@host#, configuration staged after "configure" and applied by "commit".

Found through its entry point in the group "tarvix.plugins"; registers the
os "commit"; the bundled simulator speaks the dialect (``--dialect commit``).
"""
from tarvix import __impl_roster__
from tarvix.bases.connection import DualRpConnection, SingleRpConnection
from tarvix.eal.dialect import Dialect
from tarvix.state.mapping import Getters, Read

DIALECT = Dialect(
    "commit",
    prompt=r"[^\s@#>()]+@{host}{mode}",
    states=[("enable", ">"), ("config", "#")],
    fixed=[("standby_locked", r"Standby console disabled")],
    transitions={("enable", "config"): "configure", ("config", "enable"): "exit"},
    setup_exec=["set cli screen-length 0"],
    standby_unlock=["set chassis redundancy standby-console enable"],
    error_patterns=[r"^error:"],
    commit=["commit"],
    rollback=["rollback"],
    settle_time=2,
    running_config_command="show configuration",
    config_style="set",
    # The statements that hold a password or a key, and the lists whose
    # terms apply in their order.
    config_secrets=[r"(?:\S+ )*(?:encrypted-password|plain-text-password-value) \"?([^\"\s]+)",
                    r"(?:\S+ )*authentication-key \"?([^\"\s]+)"],
    config_ordered=[r"set policy-options policy-statement (\S+) term \S+"],
    commit_confirmed="commit confirmed {minutes}",
    confirm_accept=["commit"],
    rollback_last=["rollback 1"],
    # What the conformance check (tarvix check) sends.
    long_output="show tech-support",
    rejected_exec="show tarvix-no-such-thing",
    rejected_config="set tarvix-no-such-line",
    harmless_config=(["set system location building tarvix-check"],
                     ["delete system location building tarvix-check"]),
    # How os="auto" knows this CLI: the first line of its version report.
    recognise=("show version", r"^Commit-style router"),
)

# The getters (con.facts(), con.interfaces(), ...): the commands and the
# way from their lines to the getters' keys, see tarvix.state.mapping.
_INTERFACE_ROW = r"^(?P<name>\S+)\s+(?P<admin>up|down)\s+(?P<link>up|down)(?:\s+(?P<addresses>\S.*?))?\s*$"
GETTERS = Getters(
    "commit",
    facts=[Read("show version", format="search",
                find=[r"software version (?P<version>\S+)", r"^(?P<hostname>\S+) uptime is"],
                maybe=[r"^Model: (?P<model>\S+)", r"^Serial: (?P<serial>\S+)", r"^Uptime: (?P<uptime>\d+) seconds"],
                fields={"hostname": "hostname!", "os": "=commit", "version": "version", "model": "model",
                        "serial": "serial", "uptime": "uptime|int"}),
           Read("show interfaces terse", format="text", row=_INTERFACE_ROW, skip=[r"^Interface\s+Admin"],
                fields={"interfaces": "*name"})],
    interfaces=Read("show interfaces terse", format="text", row=_INTERFACE_ROW, skip=[r"^Interface\s+Admin"],
                    key="name", fields={"name": "name", "up": "link|is:up", "enabled": "admin|is:up",
                                        "addresses": "addresses|split:"}),
    bgp_neighbors=Read("show bgp summary", format="text", skip=[r"^Peer\s+AS"], key=("vrf", "peer"),
                       row=r"^(?P<peer>\S+)\s+(?P<as>\d+)\s+(?P<state>\S+)\s+(?P<uptime>\d+)\s+(?P<prefixes>\d+)\s*$",
                       fields={"vrf": "=default", "peer": "peer", "remote_as": "as|int", "state": "state",
                               "up": "state|is:Established", "uptime": "uptime|int", "prefixes_received": "prefixes|int"}),
    lldp_neighbors=Read("show lldp neighbors", format="text", skip=[r"^Local Port"], key="interface", group=True,
                        row=r"^(?P<interface>\S+)\s+(?P<system>\S+)\s+(?P<port>\S+)\s*$",
                        fields={"interface": "interface", "system_name": "system", "port": "port"}),
)


class CommitSingleRpConnection(SingleRpConnection):
    """A commit-style router with one route processor."""

    dialect = DIALECT
    getters = GETTERS


class CommitDualRpConnection(DualRpConnection):
    """A commit-style router with an active and a standby route processor."""

    dialect = DIALECT
    getters = GETTERS


__impl_roster__.register_plugin(CommitSingleRpConnection, os="commit", chassis_type="single_rp")
__impl_roster__.register_plugin(CommitDualRpConnection, os="commit", chassis_type="dual_rp")
