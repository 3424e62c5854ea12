"""Connection classes for a router of the vrp CLI (system-view, two-stage commit)."""
from tarvix import __impl_roster__
from tarvix.bases.connection import Settings, SingleRpConnection
from tarvix.bases.routers.brokers import SingleRpLinkBroker
from tarvix.plugins.vrp.dialect import DIALECT
from tarvix.plugins.vrp.getters import GETTERS

# Seconds an exec command may take before its prompt shows.
VRP_SETTINGS = Settings(EXEC_TIMEOUT=60)


class VrpSingleRpConnection(SingleRpConnection):
    """Connection to a router of the vrp CLI with one route processor."""

    os = "vrp"
    dialect = DIALECT
    getters = GETTERS
    broker_class = SingleRpLinkBroker
    settings = VRP_SETTINGS


__impl_roster__.register_plugin(VrpSingleRpConnection, os="vrp", chassis_type="single_rp")
