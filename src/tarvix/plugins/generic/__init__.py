"""Connection classes for a generic router."""
from tarvix import __impl_roster__
from tarvix.bases.connection import DualRpConnection, Settings, SingleRpConnection
from tarvix.bases.routers.link_broker import BaseDualRpLinkBroker, BaseSingleRpLinkBroker

GENERIC_SETTINGS = Settings(
    # Sent on every RP once it is reached: no paging, no line wrapping.
    HA_INIT_EXEC_COMMANDS=["terminal length 0", "terminal width 0"],
    # Applied once on the active RP: keep log messages off the console.
    HA_INIT_CONFIG_COMMANDS=["no logging console"],
    HA_STANDBY_UNLOCK_COMMANDS=["redundancy", "main-cpu", "standby console enable"],
    # Seconds an exec command may take before its prompt shows.
    EXEC_TIMEOUT=60,
    # Output lines that mean the router refused a command.
    ERROR_PATTERNS=[r"^% ?Invalid input", r"^% ?Incomplete command", r"^% ?Ambiguous command"],
)


class GenericSingleRpConnection(SingleRpConnection):
    """Connection to a generic router with one route processor."""

    os = "generic"
    chassis_type = "single_rp"
    broker_class = BaseSingleRpLinkBroker
    settings = GENERIC_SETTINGS


class GenericDualRPConnection(DualRpConnection):
    """Connection to a generic router with an active and a standby route processor."""

    os = "generic"
    chassis_type = "dual_rp"
    broker_class = BaseDualRpLinkBroker
    settings = GENERIC_SETTINGS


__impl_roster__.register_plugin(GenericSingleRpConnection, os="generic", chassis_type="single_rp")
__impl_roster__.register_plugin(GenericDualRPConnection, os="generic", chassis_type="dual_rp")
