"""Connection class for FRRouting's integrated shell (vtysh), and its dialect.

vtysh opens in the privileged state (``host#``) and has no other exec
state; configuration goes through ``configure terminal`` into
``host(config)#``, ``host(config-router)#`` and the other submodes, and
``end`` leaves them all.  Its rejections start with "% ".
"""
from tarvix import __impl_roster__
from tarvix.bases.connection import Settings, SingleRpConnection
from tarvix.bases.routers.brokers import SingleRpLinkBroker
from tarvix.eal.statemachine import Dialect

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
)

# Seconds an exec command may take before its prompt shows.
FRR_SETTINGS = Settings(EXEC_TIMEOUT=60)


class FrrSingleRpConnection(SingleRpConnection):
    """Connection to an FRRouting router through vtysh, over a console or an SSH session."""

    os = "frr"
    dialect = DIALECT
    broker_class = SingleRpLinkBroker
    settings = FRR_SETTINGS


__impl_roster__.register_plugin(FrrSingleRpConnection, os="frr", chassis_type="single_rp")
