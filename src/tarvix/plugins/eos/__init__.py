"""Connection classes for a router of the eos CLI, configured through configuration sessions."""
from tarvix.bases.dialect_classes import connection_classes
from tarvix.plugins.eos.dialect import DIALECT
from tarvix.plugins.eos.getters import GETTERS

(EosSingleRpConnection,) = connection_classes(__name__, DIALECT, "a router of the eos CLI", getters=GETTERS)
