"""Connection classes for a router of the vrp CLI (system-view, two-stage commit)."""
from tarvix.bases.dialect_classes import connection_classes
from tarvix.plugins.vrp.dialect import DIALECT
from tarvix.plugins.vrp.getters import GETTERS

(VrpSingleRpConnection,) = connection_classes(__name__, DIALECT, "a router of the vrp CLI", getters=GETTERS)
