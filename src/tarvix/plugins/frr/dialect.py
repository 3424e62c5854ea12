"""The dialect of FRRouting's integrated shell, vtysh.

vtysh opens in the privileged state (``host#``) and has no other exec
state; configuration goes through ``configure terminal`` into
``host(config)#``, ``host(config-router)#`` and the other submodes, and
``end`` leaves them all.  Its rejections start with "% ".
"""
from tarvix.eal.dialect import Dialect

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
                    r"^% ?Invalid", r"^% ?Malformed", r"^% ?Specify remote-as"],
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
