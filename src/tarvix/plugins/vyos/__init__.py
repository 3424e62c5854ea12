"""Connection classes for a router of the vyos CLI, its configuration staged and committed."""
from tarvix import __impl_roster__
from tarvix.bases.connection import Settings, SingleRpConnection
from tarvix.bases.routers.brokers import SingleRpLinkBroker
from tarvix.plugins.vyos.dialect import DIALECT
from tarvix.plugins.vyos.getters import GETTERS

# Seconds an exec command may take before its prompt shows.
VYOS_SETTINGS = Settings(EXEC_TIMEOUT=60)


class VyosSingleRpConnection(SingleRpConnection):
    """Connection to a router of the vyos CLI with one route processor."""

    os = "vyos"
    dialect = DIALECT
    getters = GETTERS
    broker_class = SingleRpLinkBroker
    settings = VYOS_SETTINGS


__impl_roster__.register_plugin(VyosSingleRpConnection, os="vyos", chassis_type="single_rp")
