"""Connection class for FRRouting's integrated shell (vtysh), over a console
or an SSH session (a user whose login shell is vtysh)."""
from tarvix.bases.dialect_classes import connection_classes
from tarvix.plugins.frr.dialect import DIALECT
from tarvix.plugins.frr.getters import GETTERS

(FrrSingleRpConnection,) = connection_classes(__name__, DIALECT, "an FRRouting router through vtysh", getters=GETTERS)
