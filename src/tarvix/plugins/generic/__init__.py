"""Connection classes for a generic router, and the dialect it speaks."""
from tarvix.bases.dialect_classes import connection_classes
from tarvix.bases.routers.brokers import DualRpLinkBroker, SingleRpLinkBroker
from tarvix.plugins.generic.dialect import DIALECT, TEMPLATE_PLATFORM  # noqa: F401
from tarvix.plugins.generic.getters import GETTERS

# The brokers of the generic plugins (kept under these names).
GenericSingleRpLinkBroker = SingleRpLinkBroker
GenericDualRpLinkBroker = DualRpLinkBroker

GenericSingleRpConnection, GenericDualRPConnection = connection_classes(
    __name__, DIALECT, "a generic router", names={"dual_rp": "GenericDualRPConnection"}, getters=GETTERS)
# The settings of the generic plugins (kept under this name).
GENERIC_SETTINGS = GenericSingleRpConnection.settings
