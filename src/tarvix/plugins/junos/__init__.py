"""Connection classes for a router of the junos CLI, its configuration staged and committed."""
from tarvix import __impl_roster__
from tarvix.bases.connection import DualRpConnection, Settings, SingleRpConnection
from tarvix.bases.routers.brokers import DualRpLinkBroker, SingleRpLinkBroker
from tarvix.plugins.junos.dialect import DIALECT
from tarvix.plugins.junos.getters import GETTERS

# Seconds an exec command may take before its prompt shows.
JUNOS_SETTINGS = Settings(EXEC_TIMEOUT=60)


class JunosSingleRpConnection(SingleRpConnection):
    """Connection to a router of the junos CLI with one route processor."""

    os = "junos"
    dialect = DIALECT
    getters = GETTERS
    broker_class = SingleRpLinkBroker
    settings = JUNOS_SETTINGS


class JunosDualRpConnection(DualRpConnection):
    """Connection to a router of the junos CLI with an active and a standby route processor."""

    os = "junos"
    dialect = DIALECT
    getters = GETTERS
    broker_class = DualRpLinkBroker
    settings = JUNOS_SETTINGS


__impl_roster__.register_plugin(JunosSingleRpConnection, os="junos", chassis_type="single_rp")
__impl_roster__.register_plugin(JunosDualRpConnection, os="junos", chassis_type="dual_rp")
