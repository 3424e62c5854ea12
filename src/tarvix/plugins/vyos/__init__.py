"""Connection classes for a router of the vyos CLI, its configuration staged and committed."""
from tarvix.bases.dialect_classes import connection_classes
from tarvix.plugins.vyos.dialect import DIALECT
from tarvix.plugins.vyos.getters import GETTERS

(VyosSingleRpConnection,) = connection_classes(__name__, DIALECT, "a router of the vyos CLI", getters=GETTERS)
