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
    # No reload and no switchover: vtysh restarts no host (reload=None).
)
