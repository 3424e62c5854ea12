"""The dialect of FRRouting's integrated shell, vtysh.

vtysh opens in the privileged state (``host#``) and has no other exec
state; configuration goes through ``configure terminal`` into
``host(config)#``, ``host(config-router)#`` and the other submodes, and
``end`` leaves them all.  Its rejections start with "% ".
"""
from tarvix.eal.dialect import Dialect
# vtysh's configuration follows the generic router's CLI family: the same
# driver works out its changes.
from tarvix.plugins.generic.dialect import REMEDIATION_PLATFORM


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
                    # "write memory" that could not write a daemon's file.
                    r"^Can't open configuration file"],
    running_config_command="show running-config",
    # vtysh closes each block with "exit" (or "exit-address-family").
    config_noise=[r"^Building configuration", r"^Current configuration\s*:", r"^\s*!", r"^end$",
                  r"^\s*exit(?:-address-family|-vrf|-vni)?$"],
    # What the software writes about itself, not configuration to remove.
    config_fixed=[r"frr version ", r"frr defaults "],
    # vtysh knows no "no address-family ...": an address family is emptied.
    config_unnegatable=[r"address-family "],
    remediation_platform=REMEDIATION_PLATFORM,
    save=["write memory"],
    # Every command of the node, one a line: several pages.
    long_output="list",
    rejected_exec="show tarvix-no-such-thing",
    rejected_config="tarvix-no-such-line",
    harmless_config=(["ip prefix-list tarvix-check seq 5 permit 192.0.2.0/24"],
                     ["no ip prefix-list tarvix-check"]),
    recognise=("show version", r"\bFRRouting\b"),
    # No reload and no switchover: vtysh restarts no host (reload=None).
)
