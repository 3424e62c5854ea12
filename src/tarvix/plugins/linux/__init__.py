"""Connection class for a Linux host's shell (bash, sh), over SSH or any
program that opens one."""
from tarvix.bases.dialect_classes import connection_classes
from tarvix.plugins.linux.dialect import DIALECT
from tarvix.plugins.linux.getters import GETTERS

(LinuxSingleRpConnection,) = connection_classes(__name__, DIALECT, "a Linux host's shell", getters=GETTERS)
