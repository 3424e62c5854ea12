"""Connection classes for a generic router."""
from time import sleep

from tarvix import __impl_roster__
from tarvix.bases.connection import DualRpConnection, Settings, SingleRpConnection
from tarvix.bases.routers.link_broker import BaseDualRpLinkBroker, BaseSingleRpLinkBroker

GENERIC_SETTINGS = Settings(
    # Sent on every RP once it is reached: no paging, lines as wide as the CLI allows.
    HA_INIT_EXEC_COMMANDS=["terminal length 0", "terminal width 511"],
    # Applied once on the active RP: keep log messages off the console.
    HA_INIT_CONFIG_COMMANDS=["no logging console"],
    HA_STANDBY_UNLOCK_COMMANDS=["redundancy", "main-cpu", "standby console enable"],
    # Seconds an exec command may take before its prompt shows.
    EXEC_TIMEOUT=60,
    # Output lines that mean the router refused a command.
    ERROR_PATTERNS=[r"^% ?Invalid input", r"^% ?Incomplete command", r"^% ?Ambiguous command"],
    # Seconds a console line reached through a terminal server is given to
    # settle after its link closed (connections built with console_settle).
    CONSOLE_SETTLE_TIME=2,
)

# The ntc-templates platform whose TextFSM templates parse this router's
# output: ntc-templates' name for the industry-standard router CLI that the
# generic router's commands follow.
TEMPLATE_PLATFORM = "cisco_ios"


def _settle(con):
    """Waits after closing the links where the connection asks for it: a
    terminal server's console line needs a moment before it can be reached
    again; an ssh or telnet session to the device itself does not."""
    if con.console_settle:
        sleep(con.settings.CONSOLE_SETTLE_TIME)


class GenericSingleRpLinkBroker(BaseSingleRpLinkBroker):
    """Link broker for a generic single-RP router: disconnects without the
    settling wait unless the connection is a console line that needs it."""

    def disconnect(self):
        """Disconnect from the device"""
        con = self.connection
        con.spawn.close()
        _settle(con)
        con._is_connected = False


class GenericDualRpLinkBroker(BaseDualRpLinkBroker):
    """Link broker for a generic dual-RP router: disconnects without the
    settling wait unless the connection's console lines need it."""

    def disconnect(self):
        """Disconnect the connection to both RP's"""
        con = self.connection
        con.a.spawn.close()
        con.b.spawn.close()
        _settle(con)
        con._is_connected = False


class GenericSingleRpConnection(SingleRpConnection):
    """Connection to a generic router with one route processor."""

    os = "generic"
    chassis_type = "single_rp"
    broker_class = GenericSingleRpLinkBroker
    settings = GENERIC_SETTINGS
    template_platform = TEMPLATE_PLATFORM


class GenericDualRPConnection(DualRpConnection):
    """Connection to a generic router with an active and a standby route processor."""

    os = "generic"
    chassis_type = "dual_rp"
    broker_class = GenericDualRpLinkBroker
    settings = GENERIC_SETTINGS
    template_platform = TEMPLATE_PLATFORM


__impl_roster__.register_plugin(GenericSingleRpConnection, os="generic", chassis_type="single_rp")
__impl_roster__.register_plugin(GenericDualRPConnection, os="generic", chassis_type="dual_rp")
