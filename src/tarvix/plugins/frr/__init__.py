"""Connection class for FRRouting's integrated shell (vtysh), over a console
or an SSH session (a user whose login shell is vtysh)."""
from tarvix import __impl_roster__
from tarvix.bases.connection import Settings, SingleRpConnection
from tarvix.bases.routers.brokers import SingleRpLinkBroker
from tarvix.plugins.frr.dialect import DIALECT
from tarvix.plugins.frr.getters import GETTERS

# Seconds an exec command may take before its prompt shows.
FRR_SETTINGS = Settings(EXEC_TIMEOUT=60)


class FrrSingleRpConnection(SingleRpConnection):
    """Connection to an FRRouting router through vtysh."""

    os = "frr"
    dialect = DIALECT
    getters = GETTERS
    broker_class = SingleRpLinkBroker
    settings = FRR_SETTINGS


__impl_roster__.register_plugin(FrrSingleRpConnection, os="frr", chassis_type="single_rp")
