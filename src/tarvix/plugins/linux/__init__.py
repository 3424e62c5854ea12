"""Connection class for a Linux host's shell (bash, sh), over SSH or any
program that opens one."""
from tarvix import __impl_roster__
from tarvix.bases.connection import Settings, SingleRpConnection
from tarvix.bases.routers.brokers import SingleRpLinkBroker
from tarvix.plugins.linux.dialect import DIALECT
from tarvix.plugins.linux.getters import GETTERS

# Seconds a command may take before its prompt shows.
LINUX_SETTINGS = Settings(EXEC_TIMEOUT=60)


class LinuxSingleRpConnection(SingleRpConnection):
    """Connection to a Linux host's shell."""

    os = "linux"
    dialect = DIALECT
    getters = GETTERS
    broker_class = SingleRpLinkBroker
    settings = LINUX_SETTINGS


__impl_roster__.register_plugin(LinuxSingleRpConnection, os="linux", chassis_type="single_rp")
