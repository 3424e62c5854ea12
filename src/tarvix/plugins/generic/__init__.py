"""Connection classes for a generic router, and the dialect it speaks."""
from tarvix import __impl_roster__
from tarvix.bases.connection import DualRpConnection, Settings, SingleRpConnection
from tarvix.bases.routers.brokers import DualRpLinkBroker, SingleRpLinkBroker
from tarvix.plugins.generic.dialect import DIALECT, TEMPLATE_PLATFORM  # noqa: F401
from tarvix.plugins.generic.getters import GETTERS

# Seconds an exec command may take before its prompt shows.
GENERIC_SETTINGS = Settings(EXEC_TIMEOUT=60)

# The brokers of the generic plugins (kept under these names).
GenericSingleRpLinkBroker = SingleRpLinkBroker
GenericDualRpLinkBroker = DualRpLinkBroker


class GenericSingleRpConnection(SingleRpConnection):
    """Connection to a generic router with one route processor."""

    os = "generic"
    dialect = DIALECT
    getters = GETTERS
    broker_class = GenericSingleRpLinkBroker
    settings = GENERIC_SETTINGS


class GenericDualRPConnection(DualRpConnection):
    """Connection to a generic router with an active and a standby route processor."""

    os = "generic"
    dialect = DIALECT
    getters = GETTERS
    broker_class = GenericDualRpLinkBroker
    settings = GENERIC_SETTINGS


__impl_roster__.register_plugin(GenericSingleRpConnection, os="generic", chassis_type="single_rp")
__impl_roster__.register_plugin(GenericDualRPConnection, os="generic", chassis_type="dual_rp")
