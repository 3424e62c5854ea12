"""Connection classes for a switch of the fastiron CLI."""
from tarvix import __impl_roster__
from tarvix.bases.connection import Settings, SingleRpConnection
from tarvix.bases.routers.brokers import SingleRpLinkBroker
from tarvix.plugins.fastiron.dialect import DIALECT
from tarvix.plugins.fastiron.getters import GETTERS

# Seconds an exec command may take before its prompt shows.
FASTIRON_SETTINGS = Settings(EXEC_TIMEOUT=60)


class FastironSingleRpConnection(SingleRpConnection):
    """Connection to a switch of the fastiron CLI with one route processor."""

    os = "fastiron"
    dialect = DIALECT
    getters = GETTERS
    broker_class = SingleRpLinkBroker
    settings = FASTIRON_SETTINGS


__impl_roster__.register_plugin(FastironSingleRpConnection, os="fastiron", chassis_type="single_rp")
