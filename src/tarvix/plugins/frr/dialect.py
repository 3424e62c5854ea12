"""The dialect of FRRouting's integrated shell, vtysh.

vtysh opens in the privileged state (``host#``) and has no other exec
state; configuration goes through ``configure terminal`` into
``host(config)#``, ``host(config-router)#`` and the other submodes, and
``end`` leaves them all.  Its rejections start with "% ".
"""
from tarvix.eal.dialect import Dialect
from tarvix.eal.filecommands import FileCommands
# vtysh's configuration follows the generic router's CLI family: the same
# driver works out its changes.
from tarvix.plugins.generic.dialect import REMEDIATION_PLATFORM

# The lines of vtysh's configuration that hold a password or a key.
CONFIG_SECRETS = [
    r"(?:enable )?password(?: 8)? (\S+)",
    r"neighbor \S+ password (\S.*)",
    r"ip ospf authentication-key (\S+)",
    r"ip ospf message-digest-key \d+ md5 (\S+)",
    r"area \S+ virtual-link \S+ (?:\S+ )*(?:authentication-key|message-digest-key \d+ md5) (\S+)",
    r"ipv6 ospf6 authentication key-id \d+ hash-algo \S+ key (\S+)",
    r"ip rip authentication string (\S+)",
    r"key-string (\S.*)",
    r"(?:isis |area-|domain-)password (?:clear|md5) (\S+)",
]

# The lists whose order matters; vtysh numbers their entries itself
# (" seq 5") and shows them so.
_LISTS = (r"(?:ipv6 |mac )?access-list ", r"(?:ip|ipv6) prefix-list ", r"bgp as-path access-list ",
          r"bgp (?:community|extcommunity|large-community)-list (?:standard |expanded )?")
CONFIG_ORDERED = [r"%s(\S+) (?:permit|deny)\b" % name for name in _LISTS]
CONFIG_NUMBERED = [r"%s\S+( seq \d+) " % name for name in _LISTS]


DIALECT = Dialect(
    "frr",
    # host#, host(config)#, host(config-router-af)#
    prompt="{host}{mode}",
    states=[("enable", "#"), ("config", r"\(config[^()\s]*\)#")],
    transitions={
        ("enable", "config"): "configure terminal",
        ("config", "enable"): "end",
    },
    # vtysh pages through its own pager unless told not to; it sets no width.
    setup_exec=["terminal length 0"],
    error_patterns=[r"^% ?Unknown command", r"^% ?Command incomplete", r"^% ?Ambiguous command",
                    r"^% ?Invalid", r"^% ?Malformed", r"^% ?Specify remote-as",
                    # What a daemon's validation of a line refused.
                    r"^% ?Configuration failed",
                    # "write memory" that could not write a daemon's file.
                    r"^Can't open configuration file"],
    running_config_command="show running-config",
    # vtysh closes each block with "exit" (or "exit-address-family"), and
    # says so where it reconnected to a daemon that restarted.
    config_noise=[r"^Building configuration", r"^Current configuration\s*:", r"^\s*!", r"^end$",
                  r"^\s*exit(?:-address-family|-vrf|-vni)?$", r"^Warning: connecting to \S+\.\.\."],
    # What the software writes about itself, not configuration to remove.
    config_fixed=[r"frr version ", r"frr defaults "],
    # vtysh knows no "no address-family ...", and refuses to remove an
    # interface the host has ("only inactive interfaces can be deleted"):
    # both are emptied (it shows no empty interface).
    config_unnegatable=[r"address-family ", r"interface "],
    remediation_platform=REMEDIATION_PLATFORM,
    config_secrets=CONFIG_SECRETS,
    config_ordered=CONFIG_ORDERED,
    config_numbered=CONFIG_NUMBERED,
    # vtysh refuses the old value after these negations.
    config_negations=[(r"no (description|password|enable password) .*", r"no \1")],
    save=["write memory"],
    # Every command of the node, one a line: several pages.
    long_output="list",
    rejected_exec="show tarvix-no-such-thing",
    rejected_config="tarvix-no-such-line",
    harmless_config=(["ip prefix-list tarvix-check seq 5 permit 192.0.2.0/24"],
                     ["no ip prefix-list tarvix-check"]),
    recognise=("show version", r"\bFRRouting\b"),
    # No reload and no switchover: vtysh restarts no host (reload=None).
    # vtysh has no file commands (the host's shell has: the linux platform).
    files=FileCommands(default_dir="", version=("show version", r"FRRouting (?P<version>\S+)")),
)
