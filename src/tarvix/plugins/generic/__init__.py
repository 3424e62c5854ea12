"""Connection classes for a generic router, and the dialect it speaks."""
from tarvix import __impl_roster__
from tarvix.bases.connection import DualRpConnection, Settings, SingleRpConnection
from tarvix.bases.routers.brokers import DualRpLinkBroker, SingleRpLinkBroker
from tarvix.eal.statemachine import Dialect

# The ntc-templates platform whose TextFSM templates parse this router's
# output: ntc-templates' name for the industry-standard router CLI that the
# generic router's commands follow.
TEMPLATE_PLATFORM = "cisco_ios"

DIALECT = Dialect(
    "generic",
    # host>, host#, host(config)#, host(config-if)#
    prompt="{host}{mode}",
    states=[("disable", ">"), ("enable", "#"), ("config", r"\(config[^()\s]*\)#")],
    # The console of a standby route processor, which takes no command.
    fixed=[("standby_locked", r"Standby console disabled")],
    transitions={
        ("disable", "enable"): "enable",
        ("enable", "disable"): "disable",
        ("enable", "config"): "configure terminal",
        ("config", "enable"): "end",
    },
    password_commands=["enable"],
    # Sent on every RP once it is reached: no paging, lines as wide as the CLI allows.
    setup_exec=["terminal length 0", "terminal width 511"],
    # Applied once on the active RP: keep log messages off the console.
    setup_config=["no logging console"],
    standby_unlock=["redundancy", "main-cpu", "standby console enable"],
    # The last two are how other CLIs of the same family say the first two.
    error_patterns=[r"^% ?Invalid input", r"^% ?Incomplete command", r"^% ?Ambiguous command",
                    r"^% ?Unknown command", r"^% ?Command incomplete"],
    settle_time=2,
    template_platform=TEMPLATE_PLATFORM,
)

# Seconds an exec command may take before its prompt shows.
GENERIC_SETTINGS = Settings(EXEC_TIMEOUT=60)

# The brokers of the generic plugins (kept under these names).
GenericSingleRpLinkBroker = SingleRpLinkBroker
GenericDualRpLinkBroker = DualRpLinkBroker


class GenericSingleRpConnection(SingleRpConnection):
    """Connection to a generic router with one route processor."""

    os = "generic"
    dialect = DIALECT
    broker_class = GenericSingleRpLinkBroker
    settings = GENERIC_SETTINGS


class GenericDualRPConnection(DualRpConnection):
    """Connection to a generic router with an active and a standby route processor."""

    os = "generic"
    dialect = DIALECT
    broker_class = GenericDualRpLinkBroker
    settings = GENERIC_SETTINGS


__impl_roster__.register_plugin(GenericSingleRpConnection, os="generic", chassis_type="single_rp")
__impl_roster__.register_plugin(GenericDualRPConnection, os="generic", chassis_type="dual_rp")
