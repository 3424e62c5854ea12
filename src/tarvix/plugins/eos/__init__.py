"""Connection classes for a router of the eos CLI, configured through configuration sessions."""
from tarvix import __impl_roster__
from tarvix.bases.connection import Settings, SingleRpConnection
from tarvix.bases.routers.brokers import SingleRpLinkBroker
from tarvix.plugins.eos.dialect import DIALECT
from tarvix.plugins.eos.getters import GETTERS

# Seconds an exec command may take before its prompt shows.
EOS_SETTINGS = Settings(EXEC_TIMEOUT=60)


class EosSingleRpConnection(SingleRpConnection):
    """Connection to a router of the eos CLI with one route processor."""

    os = "eos"
    dialect = DIALECT
    getters = GETTERS
    broker_class = SingleRpLinkBroker
    settings = EOS_SETTINGS


__impl_roster__.register_plugin(EosSingleRpConnection, os="eos", chassis_type="single_rp")
